#!/bin/busybox sh
# The emulated i386 machine's first and only process: loads the disk and
# shared-folder drivers, mounts the root image and the host's shared folder
# at the host's own path, runs one job in the root, then powers the machine
# off whatever the job did. Kernel parameters: kiv.share=PATH (the host
# folder shared as "kivshare"), kiv.job=PATH (a script under it).
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

say() { echo "kiv-machine: $*" >/dev/console; }
halt() {
  sync
  umount -r /root/"$share" /root/dev/pts /root/dev/shm /root/tmp /root/dev /root/sys /root/proc /root 2>/dev/null
  poweroff -f
}

# Parameters from the kernel command line.
share=
job=
for word in $(cat /proc/cmdline); do
  case "$word" in
    kiv.share=*) share=${word#kiv.share=} ;;
    kiv.job=*) job=${word#kiv.job=} ;;
  esac
done

while read -r module; do
  insmod "/modules/$module" || say "cannot load $module"
done </modules/order

# The disk appears once its driver has probed it.
tries=0
while [ ! -b /dev/vda ] && [ "$tries" -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
mkdir -p /root
if ! mount -t ext4 /dev/vda /root; then
  say "cannot mount the root image"
  halt
fi
mount -t proc proc /root/proc
mount -t sysfs sys /root/sys
mount -t devtmpfs dev /root/dev
mkdir -p /root/dev/pts /root/dev/shm
mount -t devpts devpts /root/dev/pts
mount -t tmpfs shm /root/dev/shm
mount -t tmpfs tmp /root/tmp
ip link set lo up
hostname kiv-i386

if [ -n "$share" ]; then
  mkdir -p "/root/$share"
  if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,cache=loose kivshare "/root/$share"; then
    say "cannot mount the shared folder $share"
    halt
  fi
fi
if [ -n "$job" ]; then
  say "job $job starts"
  # Through a pipe, as on a build machine: no program takes the console for
  # a terminal (and colours its output).
  (
    chroot /root /bin/sh -c 'cd / && exec /bin/sh "$0"' "$job" </dev/null 2>&1
    echo $? >/job-status
  ) | cat >/dev/console
  say "job exit status $(cat /job-status)"
else
  say "no job given"
fi
halt
