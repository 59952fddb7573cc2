#!/usr/bin/env bash
# Runs the kit on the sample Windows folder, as an operator would on a
# mounted volume, and shows the collected log as text and as kitreport's
# records; then runs it again on a FAT32 disk image of the same folder, read
# as it is (VORLKIT_IMAGE), as an operator would on an evidence image.
set -euo pipefail
bin=$(realpath "${1:?usage: demo.sh BIN_FOLDER WORK_FOLDER}")
work=${2:?usage: demo.sh BIN_FOLDER WORK_FOLDER}
here=$(dirname "$(realpath "$0")")

mkdir -p "$work"
work=$(realpath "$work")
"$here/make-sample-windows.sh" "$work/Windows"
log=$work/vorl_log.txt
rm -f "$log"

cd "$work"
for tool in drvscan noisegauge pairscan; do
  [[ -x "$bin/$tool" ]] || continue
  echo "=== $tool"
  SystemRoot="$work/Windows" "$bin/$tool" "$log"
  echo
done
echo "=== $log (UTF-16LE), as text:"
iconv -f UTF-16LE -t UTF-8 "$log" | tr -d '\r'
echo
echo "=== kitreport --format csv vorl_log.txt:"
# Exit code 1 says that the log holds findings, as the sample's does.
"$bin/kitreport" --format csv vorl_log.txt || [[ $? -eq 1 ]]

# mtools writes the image without root or a mount.
image=$work/sample-fat32.img
image_log=$work/vorl_image_log.txt
rm -f "$image" "$image_log"
truncate -s 40M "$image"
mkfs.fat -F 32 -n SAMPLE "$image" >/dev/null
MTOOLS_SKIP_CHECK=1 mcopy -s -i "$image" "$work/Windows" ::/
echo
for tool in drvscan noisegauge pairscan; do
  [[ -x "$bin/$tool" ]] || continue
  echo "=== VORLKIT_IMAGE=sample-fat32.img $tool"
  VORLKIT_IMAGE="$image" "$bin/$tool" "$image_log"
  echo
done
echo "=== $image_log, as text:"
iconv -f UTF-16LE -t UTF-8 "$image_log" | tr -d '\r'
