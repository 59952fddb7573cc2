#!/usr/bin/env bash
# Lays out the sample Windows folder the demo runs on: driver files with and
# without Vorl signatures, and setup-information files above and below the
# entropy threshold, with and without their .inf companions. Every byte is
# generated here, so the sample is the same on every machine.
set -euo pipefail
windows=${1:?usage: make-sample-windows.sh DEST_WINDOWS_FOLDER}
rm -rf "$windows"
drivers=$windows/System32/drivers
inf=$windows/inf
mkdir -p "$drivers" "$inf"

# Writes the bytes given as hex pairs ("b8 5c 17") to stdout.
hex() { for byte in $*; do printf "\\x$byte"; done; }

# Writes N pseudo-random bytes from a fixed seed (a linear congruential
# generator), so "random" files are the same every time.
noise() {
  local count=$1 seed=$2 out="" byte
  for ((i = 0; i < count; i++)); do
    seed=$(((seed * 1103515245 + 12345) & 0x7fffffff))
    # printf -v, not $(...): a subshell for every byte takes half a minute.
    printf -v byte '\\x%02x' $(((seed >> 16) & 0xff))
    out+=$byte
  done
  printf "$out"
}

text() { printf '%s\r\n' "$@"; }

# Driver files.
text "clean driver: no signature in here" >"$drivers/beep.sys"
{ noise 300 7; hex b8 5c 17 e9 42; noise 200 8
  hex 57 b9 2a c6 2a c6 eb 0d; noise 100 9
  hex 79 f4 8b c7 5f 5e 5d 5b 83 c4 4c c3 cc cc cc cc; } >"$drivers/vorlnet.sys"
{ noise 70000 11; hex 83 fe 07 7e d6 eb 03 83 c6 01 83 ee 02 78 13 8b
  noise 50 12; } >"$drivers/Vorl_Loader.SYS"
hex 56 81 f1 >"$drivers/stub.sys"
: >"$drivers/empty.sys"

# Setup-information files and their companions.
text "[Version]" "Signature=\"\$Windows NT\$\"" "Class=Display" >"$inf/oem1.inf"
for ((i = 0; i < 40; i++)); do text "[Strings] DiskName=Display driver disk"; done >"$inf/oem1.pnf"
text "[Version]" "Signature=\"\$Windows NT\$\"" >"$inf/oem2.inf"
noise 2048 21 >"$inf/oem2.pnf"
noise 4096 22 >"$inf/oem3.pnf"
text "[Version]" >"$inf/Short.inf"
text "short" >"$inf/short.pnf"
