#!/usr/bin/env bash
# Sets this machine up to run the 32-bit Windows programs as on 64-bit
# Windows: Wine's 32-bit half (wine32:i386) beside wine64 in one prefix, and
# i386 ELF programs handed to bookworm-backports' qemu-i386 through
# binfmt_misc, since the kernel runs none by itself.
#
# As root it does what is missing and says what it did. Otherwise it prints
# the commands to run and exits 1.
set -euo pipefail

binfmt=/proc/sys/fs/binfmt_misc
qemu=/usr/bin/qemu-i386
backports_list=/etc/apt/sources.list.d/bookworm-backports.sources
# The ELF header of an i386 executable or shared object, and which bits of it
# to compare: the kernel's usual i386 entry.
elf_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
elf_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
registration=":qemu-i386:M::${elf_magic}:${elf_mask}:${qemu}:F"

installed() {
  [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true) == \
     "install ok installed" ]]
}

# qemu-user of bookworm itself starts each 32-bit Wine process in about a
# minute; the one of bookworm-backports in under a second.
qemu_from_backports() {
  installed qemu-user &&
    [[ $(dpkg-query -W -f='${Version}' qemu-user) == *bpo* ]]
}

registered() {
  [[ -f $binfmt/qemu-i386 ]] && grep -q '^enabled' "$binfmt/qemu-i386"
}

ready() {
  dpkg --print-foreign-architectures | grep -qx i386 &&
    qemu_from_backports && installed wine32:i386 && registered
}

ready && exit 0

if [[ $(id -u) -ne 0 ]]; then
  cat >&2 <<EOF
The 32-bit Windows programs need Wine's WoW64 set-up. As root, run:
  dpkg --add-architecture i386
  printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' > $backports_list
  apt-get update
  apt-get install -t bookworm-backports qemu-user
  apt-get install wine32:i386
  mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt
  echo '$registration' > $binfmt/register
EOF
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
updated=
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture to dpkg"
  dpkg --add-architecture i386
  updated=no
fi
if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "Adding the bookworm-backports suite in $backports_list"
  cat >"$backports_list" <<EOF
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  updated=no
fi
if [[ -n $updated ]] || ! qemu_from_backports || ! installed wine32:i386; then
  apt-get update -qq
fi
if ! qemu_from_backports; then
  echo "Installing qemu-user from bookworm-backports"
  apt-get install -y -qq --no-install-recommends -t bookworm-backports \
    qemu-user >/dev/null
fi
if ! installed wine32:i386; then
  echo "Installing wine32:i386"
  apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null
fi
if ! mountpoint -q "$binfmt"; then
  echo "Mounting binfmt_misc on $binfmt"
  mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if ! registered; then
  [[ -f $binfmt/qemu-i386 ]] && echo -1 >"$binfmt/qemu-i386"
  echo "Registering $qemu for i386 ELF programs in binfmt_misc"
  echo "$registration" >"$binfmt/register"
fi
