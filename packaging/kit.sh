#!/bin/sh
# Runs drvscan, noisegauge and pairscan one after the other, all three
# writing to one log. Usage: kit.sh [logfile]
# The Windows folder to examine is named by SystemRoot, for example
#   SystemRoot=/mnt/evidence/Windows kit.sh case.log
# Without a log path each program uses its default, zazovavadera_log.txt in
# the current folder. The programs are taken from this script's folder when
# they are there, otherwise from PATH. Stops with exit code 1 at the first
# program that fails (one that cannot open the log exits with 1).

kit_dir=$(dirname -- "$0")

if [ -z "${SystemRoot:-}" ]; then
  echo "kit.sh: SystemRoot is not set; the programs will report that the" \
    "Windows folder cannot be retrieved." >&2
fi

for tool in drvscan noisegauge pairscan; do
  if [ -x "$kit_dir/$tool" ] && [ ! -d "$kit_dir/$tool" ]; then
    program="$kit_dir/$tool"
  else
    program=$tool
  fi
  if [ -n "${1:-}" ]; then
    "$program" "$1" || exit 1
  else
    "$program" || exit 1
  fi
done
exit 0
