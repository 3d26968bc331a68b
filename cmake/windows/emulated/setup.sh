#!/bin/sh
# Runs once inside the emulated i386 machine, on a root that debootstrap's
# first stage unpacked on the host: installs the packages (their maintainer
# scripts are i386 programs), makes the GBK locale and the 32-bit Wine
# prefix that every test run then starts from.
set -eu
export PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root

echo "setup: installing the packages"
/debootstrap/debootstrap --second-stage
# debootstrap unmounts /proc when it is done; Wine finds its own files
# through /proc/self/exe.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys

# The names a test looks up: debootstrap leaves the file to the installer.
printf '127.0.0.1\tlocalhost\n127.0.1.1\tkiv-i386\n::1\tlocalhost ip6-localhost ip6-loopback\n' \
  >/etc/hosts

echo "setup: the zh_CN.GBK locale"
localedef -i zh_CN -f GBK zh_CN.GBK

echo "setup: the Wine prefix"
export WINEPREFIX=/root/wine32 WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot -i
wineserver -w
test -f "$WINEPREFIX/system.reg"
# A prefix that a crashed Wine made cannot load kernel32.dll: prove it works.
wine cmd /c exit 7 || status=$?
test "${status:-0}" = 7
wineserver -w
# Windows has no zlib1.dll in its system folder; Wine's stand-in there would
# be found before the folders of PATH. (Wine's own user32.dll needs one, so
# from now on a program runs with the shipped zlib1.dll on its path, as the
# build's programs do.)
rm -f "$WINEPREFIX/drive_c/windows/system32/zlib1.dll"

# Nothing of the installation is needed again; later installations (by
# hand) sync their files as usual.
rm -f /etc/dpkg/dpkg.cfg.d/kiv-unsafe-io
apt-get clean
rm -rf /var/lib/apt/lists/* /debootstrap
echo "setup: done"
