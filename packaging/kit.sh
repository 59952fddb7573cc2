#!/bin/sh
# Runs drvscan, noisegauge and pairscan one after the other, all three
# writing to one log. Usage: kit.sh [logfile], or kit.sh --help
# The Windows folder to examine is named by VORLKIT_WINDOWS or SystemRoot,
# or lies inside the evidence image named by VORLKIT_IMAGE, for example
#   VORLKIT_WINDOWS=/mnt/evidence/Windows kit.sh case.log
#   VORLKIT_IMAGE=/cases/host17.E01 kit.sh host17.log
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
  VORLKIT_IMAGE    when set and not empty, the Windows folder inside this
                   evidence image (raw, split .001, E01, VHD, VHDX, VMDK,
                   AFF, QCOW2 or QCOW with its backing files, or a block
                   device), read as it is, without mounting: on the first
                   volume that holds \Windows\System32
  VORLKIT_VOLUME   with VORLKIT_IMAGE, the byte offset of another volume
  VORLKIT_SHADOWS  with VORLKIT_IMAGE, 0 to leave out the volume's shadow
                   copies, which are otherwise examined after the volume
                   itself, newest first
  VORLKIT_WINDOWS  when set and not empty, this folder, used as given,
                   and its system32 folder; with VORLKIT_IMAGE, the folder
                   inside the volume (\WINNT, any case)
  SystemRoot       the Windows folder when VORLKIT_WINDOWS is not set

  An image that cannot be examined is one ERROR line with a Windows code
  (0x2 missing, 0x5 a folder, 0x3ed no readable volume, 0x3 no Windows
  folder, 0x80310000 BitLocker, 0x57 a bad VORLKIT_VOLUME, 0x1772 an
  encrypted QCOW image); for a QCOW image whose backing file is missing
  (0x2) or cannot be read, the line says "its backing file cannot be
  opened". Nothing else is examined then. A read that fails inside the
  image is the file's read error with 0x45d (the image cannot be read
  there) or 0x570 (damaged file system structures).

  Shadow copies: on an NTFS volume that keeps them (System Restore,
  backups), a driver that the attacker deleted often lives on in a shadow
  copy. After the volume, each program walks the same folder in each copy,
  newest first, for the files that the volume does not hold or holds with
  other bytes; each copy begins with a line
  "INFO: Examining shadow copy 2 of 6, made <UTC time>, of the ... volume",
  and one that cannot be read is an ERROR line with its number (0 for a
  damaged catalog of copies).

Exit codes:
  0  all three programs walked their folders, findings or not (or this
     text was shown)
  1  a program failed: the log could not be opened

  -h, --help  show this text
EOF
  exit 0
fi

if [ -z "${VORLKIT_IMAGE:-}" ] && [ -z "${VORLKIT_WINDOWS:-}" ] &&
  [ -z "${SystemRoot:-}" ]; then
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
