#!/bin/sh
# Checks that the kit's own programs carry none of its signatures in clear,
# so that no byte-signature scanner takes them for Vorl: copies every given
# program into the drivers folder of a scratch Windows folder as a .sys file
# and runs the native drvscan on it. Fails on any finding, and when a
# program was not walked.
#
# Usage: check_self_scan.sh DRVSCAN PROGRAM...

set -u

if [ $# -lt 2 ]; then
  echo "usage: $0 DRVSCAN PROGRAM..." >&2
  exit 2
fi
drvscan=$(realpath "$1") || exit 2
shift

scratch=$(mktemp -d) || exit 2
trap 'rm -rf "$scratch"' EXIT
drivers=$scratch/Windows/System32/drivers
mkdir -p "$drivers"

status=0
names=
for program in "$@"; do
  if [ ! -f "$program" ]; then
    echo "FAIL: $program is missing"
    status=1
    continue
  fi
  # One name per program: its build folder and its file name.
  build=$(basename "$(dirname "$(dirname "$program")")")
  name=$build-$(basename "$program" .exe).sys
  cp "$program" "$drivers/$name"
  names="$names $name"
done

console=$(cd "$scratch" && SystemRoot="$scratch/Windows" "$drvscan" scan.log)
log=$(iconv -f UTF-16LE -t UTF-8 "$scratch/scan.log")
for name in $names; do
  if printf '%s\n' "$console" | grep -qxF "INFO: Checking file $name"; then
    echo "ok: $name scanned"
  else
    echo "FAIL: $name was not scanned"
    status=1
  fi
done
if printf '%s\n' "$log" | grep -F SUSPICIOUS ||
   printf '%s\n' "$console" | grep -qF SUSPICIOUS; then
  echo "FAIL: the programs above carry signatures in clear"
  status=1
fi
exit $status
