#!/bin/sh
# Checks that a release zip holds exactly the operator's files: the four
# 32-bit programs (three tools and kitreport), kit.cmd and README.txt at the
# top and the four 64-bit programs in x64/, each program built for its
# machine type and the two texts with CR LF line ends.
# Usage: check_release.sh ZIP
# Exits 0 when the zip is right; otherwise names what is wrong and exits 1.

if [ $# -ne 1 ]; then
  echo "usage: $0 ZIP" >&2
  exit 2
fi
zip=$1
if [ ! -f "$zip" ]; then
  echo "check_release: $zip does not exist" >&2
  exit 1
fi
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

expected="README.txt
drvscan.exe
kit.cmd
kitreport.exe
noisegauge.exe
pairscan.exe
x64/drvscan.exe
x64/kitreport.exe
x64/noisegauge.exe
x64/pairscan.exe"

# Folder entries carry no content of their own and are left out.
if ! unzip -Z1 "$zip" >"$work/listing"; then
  echo "check_release: cannot list $zip" >&2
  exit 1
fi
grep -v '/$' "$work/listing" | LC_ALL=C sort >"$work/actual"
printf '%s\n' "$expected" >"$work/expected"
if ! cmp -s "$work/expected" "$work/actual"; then
  echo "check_release: $zip does not hold the expected entries" \
    "(- missing, + unexpected):" >&2
  diff "$work/expected" "$work/actual" | grep '^[<>]' |
    sed 's/^</  -/; s/^>/  +/' >&2
  exit 1
fi

# The machine field of a program's PE header: 14c for i386, 8664 for x86-64.
pe_machine() {
  unzip -p "$zip" "$1" >"$work/program"
  header=$(od -An -tu1 -j60 -N4 "$work/program" |
    awk '{ print $1 + $2 * 256 + $3 * 65536 + $4 * 16777216 }')
  od -An -tu1 -j$((header + 4)) -N2 "$work/program" |
    awk '{ printf "%x", $1 + $2 * 256 }'
}

status=0
for tool in drvscan noisegauge pairscan kitreport; do
  for entry in "$tool.exe:14c" "x64/$tool.exe:8664"; do
    name=${entry%:*}
    want=${entry#*:}
    got=$(pe_machine "$name")
    if [ "$got" != "$want" ]; then
      echo "check_release: $name has machine type 0x$got, expected 0x$want" >&2
      status=1
    fi
  done
done

# cmd.exe and old Notepad want CR LF line ends: every line ends in CR.
cr=$(printf '\r')
for text in kit.cmd README.txt; do
  unzip -p "$zip" "$text" >"$work/text"
  lines=$(wc -l <"$work/text")
  crlf=$(grep -c "$cr\$" "$work/text")
  if [ "$lines" -eq 0 ] || [ "$lines" -ne "$crlf" ]; then
    echo "check_release: $text does not have CR LF line ends" >&2
    status=1
  fi
done
exit $status
