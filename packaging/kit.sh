#!/bin/sh
# Runs drvscan, noisegauge and pairscan one after the other, all three
# writing to one log. Usage: kit.sh [logfile], or kit.sh --help
# The Windows folder to examine is named by VORLKIT_WINDOWS or SystemRoot,
# for example
#   VORLKIT_WINDOWS=/mnt/evidence/Windows kit.sh case.log
# Without a log path each program uses its default, zazovavadera_log.txt in
# the current folder. The programs are taken from this script's folder when
# they are there, otherwise from PATH. Stops with exit code 1 at the first
# program that fails (one that cannot open the log exits with 1).

kit_dir=$(dirname -- "$0")

if [ $# -eq 1 ] && { [ "$1" = --help ] || [ "$1" = -h ]; }; then
  cat <<'EOF'
Usage: kit.sh [logfile]

Runs drvscan, noisegauge and pairscan one after the other on one Windows
folder: drvscan searches the drivers folder below system32 for the byte
signatures of the Vorl malware, noisegauge reports the *.pnf files of the
inf folder whose bytes look encrypted or packed, and pairscan those without
an .inf file of the same stem. The programs are taken from this script's
folder when they are there, otherwise from PATH.

Progress and findings are printed on the console and all three append to
one log: logfile, or zazovavadera_log.txt in the current folder when no
logfile is given. The log is UTF-16LE without a byte-order mark;
iconv -f UTF-16LE -t UTF-8 shows it. Findings begin with SUSPICIOUS:,
progress with INFO:, failures with ERROR:.

The Windows folder to examine:
  VORLKIT_WINDOWS  when set and not empty, this folder, used as given,
                   and its system32 folder
  SystemRoot       the Windows folder when VORLKIT_WINDOWS is not set

Exit codes:
  0  all three programs walked their folders, findings or not (or this
     text was shown)
  1  a program failed: the log could not be opened

  -h, --help  show this text
EOF
  exit 0
fi

if [ -z "${VORLKIT_WINDOWS:-}" ] && [ -z "${SystemRoot:-}" ]; then
  echo "kit.sh: neither VORLKIT_WINDOWS nor SystemRoot is set; the programs" \
    "will report that the Windows folder cannot be retrieved." >&2
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
