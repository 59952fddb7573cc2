#!/usr/bin/env bash
# Runs the kit on the sample Windows folder, as an operator would on a
# mounted volume, and shows the collected log as text and as kitreport's
# records.
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
