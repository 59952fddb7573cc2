#!/usr/bin/env bash
# Sets this machine up to run the 32-bit Windows programs as on 64-bit
# Windows: Wine's 32-bit half (wine32:i386) beside wine64 in one prefix, and
# i386 ELF programs handed to bookworm-backports' qemu-i386 through
# binfmt_misc, since the kernel runs none by itself.
#
# As root it does what is missing and says what it did. Otherwise it prints
# the commands to run and exits 1. bookworm-backports comes from the archive
# that the machine's own sources name for bookworm, so that a machine behind
# its own mirror or proxy keeps to it.
#
#   scripts/ensure-wow64.sh [--self-check]
#
# --self-check only reads sample sources in a temporary folder and says
# whether the archive was taken from each as it should be.
set -euo pipefail

binfmt=/proc/sys/fs/binfmt_misc
qemu=/usr/bin/qemu-i386
backports_list=/etc/apt/sources.list.d/bookworm-backports.sources
# The ELF header of an i386 executable or shared object, and which bits of it
# to compare: the kernel's usual i386 entry.
elf_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
elf_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
registration=":qemu-i386:M::${elf_magic}:${elf_mask}:${qemu}:F"

# Prints the URI of the Debian archive that the apt configuration in ETC
# (normally /etc/apt) takes bookworm's main component from: the first URI of
# the first enabled stanza of sources.list.d/debian.sources whose suites
# include bookworm, else that of the first `deb` line for bookworm in
# sources.list. Prints nothing when neither has one.
debian_archive() {
  local etc=$1 uri=""
  if [[ -r $etc/sources.list.d/debian.sources ]]; then
    uri=$(awk '
      function reset() { deb = 0; bookworm = 0; main = 0; enabled = 1; uri = "" }
      function stanza_end() {
        if (deb && bookworm && main && enabled && uri != "") {
          print uri
          reset()  # for the END rule that exit runs
          exit
        }
        reset()
      }
      BEGIN { reset() }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { stanza_end(); next }
      /^[ \t]/ { next }  # a value continued, such as an inline key
      {
        colon = index($0, ":")
        if (colon == 0) next
        field = tolower(substr($0, 1, colon - 1))
        count = split(substr($0, colon + 1), words, /[ \t]+/)
        for (i = 1; i <= count; i++) {
          if (words[i] == "") continue
          if (field == "types" && words[i] == "deb") deb = 1
          if (field == "suites" && words[i] == "bookworm") bookworm = 1
          if (field == "components" && words[i] == "main") main = 1
          if (field == "enabled" && tolower(words[i]) == "no") enabled = 0
          if (field == "uris" && uri == "") uri = words[i]
        }
      }
      END { stanza_end() }' "$etc/sources.list.d/debian.sources")
  fi
  if [[ -z $uri && -r $etc/sources.list ]]; then
    # deb [ option=value ... ] uri suite component...
    uri=$(awk '
      /^[ \t]*deb[ \t]/ {
        line = $0
        gsub(/\[[^]]*\]/, " ", line)
        count = split(line, words, /[ \t]+/)
        first = words[1] == "" ? 2 : 1
        if (words[first + 2] != "bookworm") next
        for (i = first + 3; i <= count; i++) {
          if (words[i] == "main") {
            print words[first + 1]
            exit
          }
        }
      }' "$etc/sources.list")
  fi
  echo "$uri"
}

# Compares what debian_archive takes from sample sources with what it
# should; exits 1 when one differs.
self_check() {
  local root failed=0
  root=$(mktemp -d)
  # The sample NAME (a folder below root) must give the archive URI.
  expect() {
    local found
    found=$(debian_archive "$root/$1")
    if [[ $found == "$2" ]]; then
      echo "ok: $1"
    else
      echo "FAILED: $1: \"$found\" instead of \"$2\""
      failed=1
    fi
  }
  mkdir -p "$root"/{deb822,disabled,one-line,neither,fallback}/sources.list.d

  cat >"$root/deb822/sources.list.d/debian.sources" <<'END'
Types: deb
URIs: file:/srv/mirror/debian-security
Suites: bookworm-security
Components: main

Types: deb deb-src
# the archive, through the site's proxy
URIs: file:/srv/proxy/debian
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: file:/srv/later/debian
Suites: bookworm
Components: main
END
  expect deb822 file:/srv/proxy/debian

  cat >"$root/disabled/sources.list.d/debian.sources" <<'END'
Types: deb
URIs: file:/srv/old/debian
Suites: bookworm
Components: main
Enabled: no

types: deb
uris:file:/srv/a/debian/ file:/srv/b/debian/
suites: bookworm
components: non-free main
signed-by:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 Suites: bookworm
 .
 -----END PGP PUBLIC KEY BLOCK-----
END
  expect disabled file:/srv/a/debian/

  cat >"$root/one-line/sources.list" <<'END'
# deb file:/srv/commented/debian bookworm main
deb-src file:/srv/source/debian bookworm main
deb file:/srv/updates/debian bookworm-updates main
deb [arch=amd64 signed-by=/etc/apt/keyrings/tool.gpg] file:/srv/tool/debian bookworm stable
  deb [ arch=amd64 ] file:/srv/mirror/debian bookworm contrib main
END
  expect one-line file:/srv/mirror/debian

  echo "deb file:/srv/mirror/debian bullseye main" \
    >"$root/neither/sources.list"
  expect neither ""

  printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\n' \
    file:/srv/a/debian >"$root/fallback/sources.list.d/debian.sources"
  echo "deb file:/srv/b/debian bookworm main" \
    >"$root/fallback/sources.list"
  expect fallback file:/srv/b/debian

  rm -rf "$root"
  return "$failed"
}

if [[ ${1:-} == --self-check ]]; then
  self_check
  exit
fi

archive=$(debian_archive /etc/apt)

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

no_archive="Neither /etc/apt/sources.list.d/debian.sources nor /etc/apt/sources.list
names a Debian archive for bookworm: put the URI of your Debian mirror in
$backports_list in place of ARCHIVE."

if [[ $(id -u) -ne 0 ]]; then
  cat >&2 <<EOF
The 32-bit Windows programs need Wine's WoW64 set-up. As root, run:
  dpkg --add-architecture i386
  printf 'Types: deb\nURIs: ${archive:-ARCHIVE}\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' > $backports_list
  apt-get update
  apt-get install -t bookworm-backports qemu-user
  apt-get install wine32:i386
  mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt
  echo '$registration' > $binfmt/register
EOF
  [[ -n $archive ]] || echo "$no_archive" >&2
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
  if [[ -z $archive ]]; then
    echo "$no_archive" >&2
    exit 1
  fi
  echo "Adding the bookworm-backports suite of $archive in $backports_list"
  cat >"$backports_list" <<EOF
Types: deb
URIs: $archive
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
