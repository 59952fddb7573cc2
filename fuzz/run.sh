#!/usr/bin/env bash
# Runs every fuzzer for a bounded time, starting from its committed corpus in
# tests/fuzz_corpus/<fuzzer>/, and offers what it found back to that corpus.
# Fails when any fuzzer finds a crash or a difference; the input that shows
# it is left in WORK/<fuzzer>-crash-* (or -leak-, -timeout-).
#
#   fuzz/run.sh BIN_DIR WORK_DIR SECONDS_EACH
#
# The committed corpus stays small: only inputs under MAX_SEED_BYTES that add
# coverage are merged into it, and no more than MAX_SEEDS files a fuzzer.
set -uo pipefail

mkdir -p "$2"
bin=$(realpath "$1")
work=$(realpath "$2")
seconds=$3
cd "$(dirname "$0")/.."
seeds=tests/fuzz_corpus
MAX_SEED_BYTES=${MAX_SEED_BYTES:-4096}
MAX_SEEDS=${MAX_SEEDS:-50}
FUZZERS=(buffer_scan_fuzzer window_entropy_fuzzer format_fuzzer stem_fuzzer
         text_fuzzer log_line_fuzzer image_fuzzer ntfs_fuzzer wof_fuzzer)

failed=()
summary=()
for fuzzer in "${FUZZERS[@]}"; do
  corpus=$work/corpus/$fuzzer
  mkdir -p "$corpus" "$seeds/$fuzzer"
  options=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1
           -artifact_prefix="$work/$fuzzer-")
  [[ -f fuzz/$fuzzer.dict ]] && options+=(-dict="fuzz/$fuzzer.dict")
  # Its seeds are whole volumes, larger than libFuzzer's usual inputs.
  [[ $fuzzer == image_fuzzer || $fuzzer == ntfs_fuzzer ]] &&
    options+=(-max_len=3200000)

  echo "== $fuzzer: ${seconds}s"
  log=$work/$fuzzer.log
  # New inputs land in the first folder, the working corpus.
  "$bin/$fuzzer" "${options[@]}" "$corpus" "$seeds/$fuzzer" >"$log" 2>&1
  status=$?
  runs=$(awk '/^stat::number_of_executed_units:/ {print $2}' "$log")
  rate=$(awk '/^stat::average_exec_per_sec:/ {print $2}' "$log")
  summary+=("$fuzzer: ${runs:-?} executions in ${seconds}s (${rate:-?}/s)")
  if [[ $status -ne 0 ]]; then
    failed+=("$fuzzer")
    grep -v -E '^#[0-9]+' "$log" | tail -40
    continue
  fi

  # Offer the small new inputs to the committed corpus; merging keeps only
  # those that reach something the corpus does not.
  before=$(ls "$seeds/$fuzzer" | wc -l)
  if [[ $before -lt $MAX_SEEDS ]]; then
    staging=$work/staging/$fuzzer
    rm -rf "$staging" && mkdir -p "$staging"
    find "$corpus" -type f -size -"$MAX_SEED_BYTES"c -exec cp {} "$staging" \;
    ls -t "$seeds/$fuzzer" >"$work/$fuzzer.before"
    "$bin/$fuzzer" -merge=1 "$seeds/$fuzzer" "$staging" >>"$log" 2>&1
    # Over the cap, the newest additions go again.
    extra=$(( $(ls "$seeds/$fuzzer" | wc -l) - MAX_SEEDS ))
    if [[ $extra -gt 0 ]]; then
      ls -t "$seeds/$fuzzer" | grep -v -x -F -f "$work/$fuzzer.before" |
        head -n "$extra" | sed "s|^|$seeds/$fuzzer/|" | xargs rm -f
    fi
  fi
  after=$(ls "$seeds/$fuzzer" | wc -l)
  echo "   corpus: $after files ($((after - before)) new)"
done

echo
printf '%s\n' "${summary[@]}"
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "FAILED: ${failed[*]} (inputs in $work)" >&2
  exit 1
fi
