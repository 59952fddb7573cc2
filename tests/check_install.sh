#!/bin/sh
# Checks that the programs build and install with just a compiler and CMake:
# configures SOURCE with the tests switched off and GoogleTest out of reach,
# builds, installs into a fresh prefix below WORK and checks what is there:
# the three programs and kit.sh, which answer --version and --help, and their
# manual pages, which render without warnings and carry the version.
#
# Usage: check_install.sh SOURCE WORK VERSION
# Prints what fails; exits 1 when any check fails, 2 on bad usage.

set -u

if [ $# -ne 3 ]; then
  echo "usage: $0 SOURCE WORK VERSION" >&2
  exit 2
fi
source=$1
work=$2
version=$3
prefix=$work/prefix

rm -rf "$work"
if ! cmake -S "$source" -B "$work/build" -G Ninja -D CMAKE_BUILD_TYPE=Release \
    -D BUILD_TESTING=OFF -D CMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    >"$work.log" 2>&1 ||
  ! cmake --build "$work/build" >>"$work.log" 2>&1 ||
  ! cmake --install "$work/build" --prefix "$prefix" >>"$work.log" 2>&1; then
  cat "$work.log" >&2
  echo "check_install: building or installing without the tests failed" >&2
  exit 1
fi

status=0
fail() {
  echo "check_install: $*" >&2
  status=1
}

for tool in drvscan noisegauge pairscan kitreport; do
  got=$("$prefix/bin/$tool" --version 2>&1)
  [ "$got" = "$tool (vorlkit) $version" ] ||
    fail "$tool --version printed '$got'"
done
"$prefix/bin/kit.sh" --help | grep -q '^Usage: kit.sh \[logfile\]$' ||
  fail "kit.sh --help printed no usage"

for page in drvscan noisegauge pairscan kit.sh kitreport; do
  file=$prefix/share/man/man1/$page.1
  if [ ! -f "$file" ]; then
    fail "$file is missing"
    continue
  fi
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page.1 renders with warnings: $warnings"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" 2>/dev/null)
  # kitreport reads logs rather than Windows folders: its page says less.
  needed_words="vorlkit $version|SUSPICIOUS:|EXIT STATUS"
  [ "$page" = kitreport ] ||
    needed_words="$needed_words|VORLKIT_WINDOWS|INFO:|WARNING:|ERROR:|iconv -f UTF-16LE -t UTF-8"
  IFS='|'
  for needed in $needed_words; do
    case $text in
      *"$needed"*) ;;
      *) fail "$page.1 does not say '$needed'" ;;
    esac
  done
  unset IFS
done

[ $status -eq 0 ] && rm -rf "$work" "$work.log"
exit $status
