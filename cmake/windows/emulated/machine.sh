#!/usr/bin/env bash
# An emulated 32-bit x86 machine (qemu-system-i386, software emulation) for
# running the 32-bit Windows build under 32-bit Wine on hosts whose kernel
# cannot run 32-bit programs.
#
#   machine.sh image DIR
#       Makes the machine in DIR, once: a Debian i386 root with Wine, the
#       zh_CN.GBK locale and a 32-bit Wine prefix (DIR/root.img), the kernel
#       and a small initramfs. DIR/stamp holds the key it was made with; a
#       machine whose key matches is kept.
#   machine.sh exec DIR SHARE SECONDS COMMAND [ARGUMENT...]
#       Boots the machine, shares the host folder SHARE (which holds DIR) at
#       the same path inside it, runs COMMAND as root in the current folder
#       (which SHARE holds too) with the variables KIV_*, LANG, LC_ALL and
#       WINEDEBUG of this one and KIV_WINE_PREFIX naming the image's Wine
#       prefix, and powers off. The image itself is never changed (writes go
#       to a throw-away overlay). Ends the machine after SECONDS whatever it
#       is doing. Exits with the command's status (124 when the time ran
#       out, 125 when the machine stopped without finishing the command).
#
# Packages come from the host's own configured Debian sources; nothing is
# changed on the host outside DIR.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
log() { printf '==> %s\n' "$*" >&2; }

# What the root holds: Wine for 32-bit programs, the locale tools, ctest, and
# a static busybox for the initramfs.
PACKAGES=wine,wine32,locales,cmake,busybox-static
# The drivers the initramfs loads, with what they need (in loading order
# after the dependencies are resolved): the virtio disk and its ext4 file
# system, and the virtio 9p shared folder.
MODULES=(virtio_pci virtio_blk crc32c_generic ext4 9pnet_virtio 9p)

# The release this host runs, and the address of its Debian archive, as its
# apt sources name it (one-line or deb822 entries).
codename() { . /etc/os-release && printf '%s\n' "$VERSION_CODENAME"; }
mirror() {
  local suite file
  suite=$(codename)
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    awk -v suite="$suite" '$1 == "deb" { i = 2; if ($2 ~ /^\[/) while ($i !~ /\]$/) i++
                                          if ($2 ~ /^\[/) i++
                                          if ($(i + 1) == suite) { print $i; exit } }' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk -v suite="$suite" 'function flush() { if (deb && match_suite && uri != "" && !off) { print uri; exit }
                                               deb = 0; match_suite = 0; uri = ""; off = 0 }
         /^[[:space:]]*$/ { flush(); next }
         /^[[:space:]]*#/ { next }
         $1 == "Types:" { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
         $1 == "URIs:" { uri = $2 }
         $1 == "Suites:" { for (i = 2; i <= NF; i++) if ($i == suite) match_suite = 1 }
         tolower($1) == "enabled:" && tolower($2) == "no" { off = 1 }
         END { flush() }' "$file"
  done | head -n 1
}

# A field of one package's stanza in a Packages index.
package_field() {
  awk -v package="$2" -v field="$3:" '$1 == "Package:" { on = ($2 == package) }
                                       on && $1 == field { print $2; exit }' "$1"
}

# The kernel of the release's linux-image-686, downloaded and checked against
# the signed index that debootstrap verified, unpacked into DIR/kernel.
fetch_kernel() {
  local dir=$1 mirror=$2 index package file sum
  index=$(ls "$dir"/root/var/lib/apt/lists/*_binary-i386_Packages)
  package=$(package_field "$index" linux-image-686 Depends)
  file=$(package_field "$index" "$package" Filename)
  sum=$(package_field "$index" "$package" SHA256)
  [ -n "$file" ] && [ -n "$sum" ] || { log "no kernel package in $index"; return 1; }
  log "downloading $package"
  curl -fsS --retry 3 -o "$dir/kernel.deb" "$mirror/$file"
  echo "$sum  $dir/kernel.deb" | sha256sum -c --quiet
  rm -rf "$dir/kernel"
  dpkg-deb -x "$dir/kernel.deb" "$dir/kernel"
  rm "$dir/kernel.deb"
}

# The initramfs: the root's static busybox, the drivers in loading order and
# init.sh as /init.
make_initramfs() {
  local dir=$1 modules work busybox
  modules=$(echo "$dir"/kernel/lib/modules/*)
  work=$dir/initramfs
  rm -rf "$work"
  mkdir -p "$work"/{bin,modules,proc,sys,dev,root}
  busybox=$(ls "$dir"/root/var/cache/apt/archives/busybox-static_*_i386.deb)
  dpkg-deb --fsys-tarfile "$busybox" | tar -xO ./bin/busybox >"$work/bin/busybox"
  chmod 755 "$work/bin/busybox"
  cp "$here/init.sh" "$work/init"
  chmod 755 "$work/init"
  local -A seen=()
  local order=()
  add_module() {
    local name=$1 file depends dep
    [ -z "${seen[$name]:-}" ] || return 0
    seen[$name]=1
    file=$(find "$modules/kernel" \( -name "$name.ko" -o -name "${name//_/-}.ko" \) | head -n 1)
    [ -n "$file" ] || { log "no module $name in the kernel package"; return 1; }
    depends=$(strings -a "$file" | sed -n 's/^depends=//p' | head -n 1)
    for dep in ${depends//,/ }; do add_module "$dep"; done
    cp "$file" "$work/modules/"
    order+=("$(basename "$file")")
  }
  for module in "${MODULES[@]}"; do add_module "$module"; done
  printf '%s\n' "${order[@]}" >"$work/modules/order"
  (cd "$work" && find . | cpio -o -H newc --quiet) | gzip -1 >"$dir/initrd.gz"
  cp "$modules"/../../../boot/vmlinuz-* "$dir/vmlinuz"
  rm -rf "$work" "$dir/kernel"
}

# boot DIR LOG SECONDS KERNEL-PARAMETERS [QEMU-OPTIONS...]: the machine until
# it powers off or SECONDS pass; its console goes to LOG and, as it comes, to
# standard output.
boot() {
  local dir=$1 console=$2 seconds=$3 parameters=$4
  shift 4
  local status
  # Without -smap,-smep every Wine process dies on its first return from the
  # kernel (the emulator reports a supervisor-access fault).
  timeout --kill-after=10 "$seconds" qemu-system-i386 -m 3000 -smp "$(nproc)" -accel tcg,thread=multi \
    -cpu max,-smap,-smep -kernel "$dir/vmlinuz" -initrd "$dir/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 $parameters" \
    -drive "file=$dir/root.img,if=virtio,format=raw,cache=unsafe" \
    -display none -monitor none -serial stdio -no-reboot -nic none "$@" \
    </dev/null 2>&1 | sed -u 's/\r$//' | tee "$console" |
    grep --line-buffered -v -E '^kiv-machine: job|^\[ *[0-9]+\.[0-9]+\] '
  status=${PIPESTATUS[0]}
  if [ "$status" = 124 ] || [ "$status" = 137 ]; then return 124; fi
  local job
  job=$(sed -n 's/^kiv-machine: job exit status \([0-9]*\).*/\1/p' "$console" | tail -n 1)
  [ -n "$job" ] || return 125
  return "$job"
}

# What the image is made from: the release, the packages and drivers, the
# scripts that run inside it, and the steps of image() (count up
# IMAGE_RECIPE when they change).
IMAGE_RECIPE=1
key() {
  printf 'release=%s packages=%s modules=%s recipe=%s-%s\n' "$(codename)" "$PACKAGES" \
    "${MODULES[*]}" "$IMAGE_RECIPE" "$(cat "$here/init.sh" "$here/setup.sh" | sha256sum | cut -c1-16)"
}

image() {
  local dir=$1
  if [ -f "$dir/stamp" ] && [ "$(cat "$dir/stamp")" = "$(key)" ]; then
    log "the emulated i386 machine is up to date in $dir"
    return 0
  fi
  local mirror started
  mirror=$(mirror)
  [ -n "$mirror" ] || { log "no Debian archive for $(codename) in this machine's apt sources"; return 1; }
  rm -rf "$dir"
  mkdir -p "$dir"
  started=$(date +%s)
  log "making the emulated i386 machine in $dir from $mirror"
  if ! debootstrap --foreign --arch=i386 --variant=minbase --include="$PACKAGES" \
      "$(codename)" "$dir/root" "$mirror" >"$dir/debootstrap.log" 2>&1; then
    log "debootstrap failed; see $dir/debootstrap.log"
    tail -n 5 "$dir/debootstrap.log" >&2
    return 1
  fi
  fetch_kernel "$dir" "$mirror"
  make_initramfs "$dir"
  cp "$here/setup.sh" "$dir/root/kiv-setup.sh"
  # The image is made anew if its set-up fails, so dpkg need not sync each
  # file it writes (and under emulation, every sync is slow).
  echo force-unsafe-io >"$dir/root/etc/dpkg/dpkg.cfg.d/kiv-unsafe-io"
  mke2fs -q -t ext4 -d "$dir/root" "$dir/root.img" 6G
  rm -rf "$dir/root"
  log "installing Wine inside the machine (a few minutes under emulation)"
  local status=0
  boot "$dir" "$dir/setup.log" 3600 "kiv.job=/kiv-setup.sh" >/dev/null || status=$?
  if [ "$status" != 0 ]; then
    log "the machine's set-up failed (status $status); see $dir/setup.log"
    tail -n 20 "$dir/setup.log" >&2
    return 1
  fi
  key >"$dir/stamp"
  log "the emulated i386 machine is ready ($(( $(date +%s) - started )) s)"
}

exec_command() {
  local dir share seconds=$3 status=0
  dir=$(cd "$1" && pwd)
  share=$(cd "$2" && pwd)
  shift 3
  [ -f "$dir/stamp" ] || { log "no machine in $dir: make it with '$0 image $dir'"; return 1; }
  case "$dir/" in "$share"/*) ;; *) log "$dir is not inside the shared folder $share"; return 2 ;; esac
  case "$PWD/" in "$share"/*) ;; *) log "$PWD is not inside the shared folder $share"; return 2 ;; esac
  local job=$dir/job.sh name
  {
    echo '# Written by machine.sh for one run of the emulated machine.'
    echo 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root'
    echo 'export KIV_WINE_PREFIX=/root/wine32'
    for name in $(compgen -e); do
      case "$name" in
        KIV_WINE_PREFIX) ;;
        KIV_* | LANG | LC_ALL | WINEDEBUG) printf 'export %s=%q\n' "$name" "${!name}" ;;
      esac
    done
    printf 'cd %q || exit 125\n' "$PWD"
    printf '%q ' exec "$@"
    echo
  } >"$job"
  boot "$dir" "$dir/console.log" "$seconds" "kiv.share=$share kiv.job=$job" -snapshot \
    -virtfs "local,path=$share,mount_tag=kivshare,security_model=none,id=kivshare" || status=$?
  case "$status" in
    124) log "the emulated machine ran out of its $seconds s and was stopped" ;;
    125) log "the emulated machine stopped before the job finished; see $dir/console.log" ;;
  esac
  return "$status"
}

case "${1:-}" in
  image) image "$2" ;;
  exec) shift; exec_command "$@" ;;
  *) echo "usage: $0 image DIR | exec DIR SHARE SECONDS COMMAND [ARGUMENT...]" >&2; exit 2 ;;
esac
