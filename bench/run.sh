#!/usr/bin/env bash
# Races drvscan and noisegauge against the programs that do the same work
# plainly, against YARA and against cat, on real machine code: the Windows
# libraries that Wine installs, copied as *.sys drivers and as *.pnf files
# into a Windows folder below WORK, with a few files holding the signatures
# or packed data, so that reporting runs too.
#
#   bench/run.sh BIN WORK
#
# BIN holds drvscan, noisegauge and the benchmark's programs. Every contender
# runs once to warm up, then RUNS times (SLOW_RUNS times for the two plain
# programs, which take a minute each), in turns, with all files in the page
# cache; the median wall-clock time of each counts, shown with the median
# count of minor page faults of its processes. The contenders must agree on
# what they find, or the race fails.
set -euo pipefail

BIN=$(realpath "$1")
WORK=$(realpath -m "$2")
RUNS=${RUNS:-5}
SLOW_RUNS=${SLOW_RUNS:-3}
LIBRARIES=${LIBRARIES:-/usr/lib/x86_64-linux-gnu/wine/x86_64-windows}
PNF_COUNT=300

CORPUS=$WORK/Windows
DRIVERS=$CORPUS/system32/drivers
INF=$CORPUS/inf

die() {
  echo "bench: $*" >&2
  exit 1
}

[[ -d $LIBRARIES ]] || die "no $LIBRARIES: install wine64 for the corpus"

# Writes the bytes given in hex ("b8 5c 17") into FILE at OFFSET.
plant() {
  local file=$1 offset=$2 hex=$3 escaped=""
  for byte in $hex; do escaped+="\\x$byte"; done
  printf "%b" "$escaped" | dd of="$file" bs=1 seek="$offset" conv=notrunc \
    status=none
}

# Copies the corpus and plants the signatures of the rule in vorl.yar.
make_corpus() {
  rm -rf "$CORPUS" "$WORK/linear100" "$WORK/linear200"
  mkdir -p "$DRIVERS" "$INF"
  local libraries=("$LIBRARIES"/*) largest
  largest=$(find "$LIBRARIES" -maxdepth 1 -type f -printf "%s %p\n" |
    sort -n | tail -n 1 | cut -d" " -f2-)
  for library in "${libraries[@]}"; do
    cp "$library" "$DRIVERS/$(basename "$library").sys"
  done
  for library in "${libraries[@]:0:$PNF_COUNT}"; do
    cp "$library" "$INF/$(basename "$library").pnf"
  done

  # Every signature once in the largest library, a megabyte apart; in a
  # smaller file, one across the boundary of two 64 KiB reads and one in
  # the last bytes.
  local hexes=()
  mapfile -t hexes < <(sed -n 's/.*= { \(.*\) }.*/\1/p' "$WORK/vorl.yar")
  cp "$largest" "$DRIVERS/planted_all.sys"
  local offset=4096
  for hex in "${hexes[@]}"; do
    plant "$DRIVERS/planted_all.sys" "$offset" "$hex"
    offset=$((offset + 1000000))
  done
  head -c 200000 "$largest" >"$DRIVERS/planted_edges.sys"
  plant "$DRIVERS/planted_edges.sys" 65530 "${hexes[10]}"
  plant "$DRIVERS/planted_edges.sys" $((200000 - 5)) "${hexes[0]}"

  # Packed data is dense: its average entropy is reported.
  gzip -9n <"$largest" >"$INF/packed.pnf"
  head -c 100 "$INF/packed.pnf" >"$INF/short.pnf"

  # One file of 100 MiB of machine code and one of 200 MiB, each the only
  # driver and the only *.pnf file of a Windows folder of its own.
  mkdir -p "$WORK/linear100/system32/drivers" "$WORK/linear100/inf" \
    "$WORK/linear200/system32/drivers" "$WORK/linear200/inf"
  local big=$WORK/linear100/system32/drivers/big.sys
  # The loop ends when head has enough and cat finds the pipe closed.
  while cat "${libraries[@]}" 2>/dev/null; do :; done |
    head -c $((100 * 1024 * 1024)) >"$big"
  cat "$big" "$big" >"$WORK/linear200/system32/drivers/big.sys"
  for size in 100 200; do
    ln "$WORK/linear$size/system32/drivers/big.sys" \
      "$WORK/linear$size/inf/big.pnf"
  done
  # The corpus is remade when the signatures change.
  cp "$WORK/vorl.yar" "$WORK/corpus.stamp"
}

mkdir -p "$WORK"
"$BIN/plain_signature_search" --yara-rule >"$WORK/vorl.yar"
if ! cmp -s "$WORK/vorl.yar" "$WORK/corpus.stamp"; then
  echo "Copying the corpus from $LIBRARIES to $WORK"
  make_corpus
fi

bytes_in() { find "$1" -maxdepth 1 -type f -name "$2" -printf '%s\n' |
  awk '{s += $1} END {print s}'; }
DRIVER_BYTES=$(bytes_in "$DRIVERS" '*.sys')
INF_BYTES=$(bytes_in "$INF" '*.pnf')

HAVE_YARA=1
if ! command -v yara >/dev/null; then
  HAVE_YARA=0
  echo "yara is not installed (make bench installs it when run as root):" \
    "racing the others"
fi

# The contenders, each a command line run from WORK.
drvscan() { SystemRoot=$1 "$BIN/drvscan" "$WORK/bench.log"; }
noisegauge() { SystemRoot=$1 "$BIN/noisegauge" "$WORK/bench.log"; }
cat_drivers() { cat "$DRIVERS"/*.sys; }
cat_inf() { cat "$INF"/*.pnf; }
yara_drivers() { yara -p 1 "$WORK/vorl.yar" "$DRIVERS"; }
plain_search() { "$BIN/plain_signature_search" "$DRIVERS"; }
plain_reader() { "$BIN/plain_pnf_reader" "$INF"; }

# --- Agreement: the same findings from every contender. -------------------
echo "Checking that the contenders agree"
rm -f "$WORK/bench.log"
drvscan "$CORPUS" >"$WORK/drvscan.out"
iconv -f UTF-16LE -t UTF-8 "$WORK/bench.log" | tr -d '\r' |
  sed -n 's/^SUSPICIOUS: File \(.*\) matches pattern called \(.*\)$/\1: \2/p' |
  sort >"$WORK/drvscan.found"
plain_search | sort >"$WORK/plain.found"
cmp -s "$WORK/drvscan.found" "$WORK/plain.found" ||
  die "drvscan and the plain search disagree (see $WORK/*.found)"
[[ -s $WORK/drvscan.found ]] || die "the planted signatures were not found"
if ((HAVE_YARA)); then
  yara_drivers | sed 's|.*/||' | sort >"$WORK/yara.files"
  cut -d: -f1 "$WORK/drvscan.found" | sort -u |
    cmp -s - "$WORK/yara.files" ||
    die "drvscan and YARA flag different files (see $WORK/yara.files)"
fi
noisegauge "$CORPUS" | tr -d '\r' | grep '^SUSPICIOUS' |
  sort >"$WORK/noisegauge.found" || true
plain_reader | sort >"$WORK/reader.found"
cmp -s "$WORK/noisegauge.found" "$WORK/reader.found" ||
  die "noisegauge and the plain reader disagree (see $WORK/*.found)"
[[ -s $WORK/noisegauge.found ]] || die "the packed file was not reported"

# --- The race. ------------------------------------------------------------
# Sets FAULTS to the minor page faults of the processes that this (sub)shell
# has waited for, as the kernel counts them.
faults_waited() {
  local stat
  read -r -a stat <"/proc/$BASHPID/stat"
  FAULTS=${stat[10]}
}

# Wall-clock nanoseconds and minor page faults of one run, its output
# discarded; run in a subshell of its own, so that only the run's processes
# count.
measure() {
  local start end before
  start=$(date +%s%N)
  faults_waited
  before=$FAULTS
  "$@" >/dev/null 2>&1
  faults_waited
  end=$(date +%s%N)
  echo "$((end - start)) $((FAULTS - before))"
}

median() { sort -n | awk '{t[NR] = $1} END {print t[int((NR + 1) / 2)]}'; }

# Runs the contenders named in turn, RUNS rounds after a warm-up; a
# contender named with a trailing "!" gets SLOW_RUNS rounds. Sets SECONDS_OF
# and FAULTS_OF, each a median.
declare -A SECONDS_OF FAULTS_OF
race() {
  local name rounds run
  declare -A times faults
  for name in "$@"; do "${name%!}" >/dev/null 2>&1 || true; done
  for ((round = 0; round < RUNS; round++)); do
    for name in "$@"; do
      rounds=$RUNS
      [[ $name == *! ]] && rounds=$SLOW_RUNS
      ((round < rounds)) || continue
      run=$(measure "${name%!}")
      times[$name]+="${run% *} "
      faults[$name]+="${run#* } "
    done
  done
  for name in "$@"; do
    SECONDS_OF[${name%!}]=$(tr ' ' '\n' <<<"${times[$name]}" | grep . |
      median | awk '{printf "%.3f", $1 / 1e9}')
    FAULTS_OF[${name%!}]=$(tr ' ' '\n' <<<"${faults[$name]}" | grep . | median)
  done
}

declare -A LABEL=(
  [cat_drivers]="cat" [drvscan_corpus]="drvscan" [yara_drivers]="yara -p 1"
  [plain_search]="plain search, 11 passes" [cat_inf]="cat"
  [noisegauge_corpus]="noisegauge" [plain_reader]="plain reader, 2 calls/window"
  [drvscan_100]="drvscan, 100 MiB" [drvscan_200]="drvscan, 200 MiB"
  [noisegauge_100]="noisegauge, 100 MiB" [noisegauge_200]="noisegauge, 200 MiB"
)

# Prints a row: contender, median seconds, MB/s (10^6 bytes) over BYTES and
# the median count of minor page faults, which shows memory taken afresh.
row() {
  awk -v name="${LABEL[$1]}" -v s="${SECONDS_OF[$1]}" -v bytes="$2" \
    -v faults="${FAULTS_OF[$1]}" \
    'BEGIN {printf "  %-30s %8.3f s %9.1f MB/s %9d page faults\n", name, s,
            bytes / s / 1e6, faults}'
}

# Prints "what: A/B = ratio (target)" and whether the target is met;
# `atleast` or `atmost` gives the target's direction.
MISSED=0
ratio() {
  local what=$1 value=$2 direction=$3 target=$4 verdict
  verdict=$(awk -v v="$value" -v t="$target" -v d="$direction" \
    'BEGIN {print ((d == "atleast" ? v >= t : v <= t) ? "met" : "MISSED")}')
  [[ $verdict == met ]] || MISSED=1
  printf "  %-44s %6.2f   (target %s %s: %s)\n" "$what" "$value" \
    "${direction/at/at }" "$target" "$verdict"
}

divide() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.4f", a / b}'; }

echo "Racing, $RUNS runs each ($SLOW_RUNS for the plain programs)," \
  "medians of wall-clock time"
drivers_contenders=(cat_drivers drvscan_corpus)
drvscan_corpus() { drvscan "$CORPUS"; }
noisegauge_corpus() { noisegauge "$CORPUS"; }
((HAVE_YARA)) && drivers_contenders+=(yara_drivers)
drivers_contenders+=(plain_search!)
race "${drivers_contenders[@]}"
race cat_inf noisegauge_corpus plain_reader!

echo
echo "$(grep -m 1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')," \
  "$(nproc) cores, $(free -g | awk '/^Mem/ {print $2}') GB; page cache warm"
echo "drivers: $(find "$DRIVERS" -name '*.sys' | wc -l) files," \
  "$((DRIVER_BYTES / 1000000)) MB"
row cat_drivers "$DRIVER_BYTES"
row drvscan_corpus "$DRIVER_BYTES"
((HAVE_YARA)) && row yara_drivers "$DRIVER_BYTES"
row plain_search "$DRIVER_BYTES"
echo "inf: $(find "$INF" -name '*.pnf' | wc -l) files, $((INF_BYTES / 1000000)) MB"
row cat_inf "$INF_BYTES"
row noisegauge_corpus "$INF_BYTES"
row plain_reader "$INF_BYTES"

# --- Linear in the data: 100 MiB and 200 MiB. -----------------------------
drvscan_100() { drvscan "$WORK/linear100"; }
drvscan_200() { drvscan "$WORK/linear200"; }
noisegauge_100() { noisegauge "$WORK/linear100"; }
noisegauge_200() { noisegauge "$WORK/linear200"; }
race drvscan_100 drvscan_200 noisegauge_100 noisegauge_200
echo "one file of 100 MiB and one of 200 MiB"
for name in drvscan_100 drvscan_200 noisegauge_100 noisegauge_200; do
  row $name $((${name##*_} * 1024 * 1024))
done

echo
echo "Ratios"
if ((HAVE_YARA)); then
  ratio "drvscan's throughput / YARA's" \
    "$(divide "${SECONDS_OF[yara_drivers]}" "${SECONDS_OF[drvscan_corpus]}")" \
    atleast 3.5
fi
ratio "drvscan's time / cat's" \
  "$(divide "${SECONDS_OF[drvscan_corpus]}" "${SECONDS_OF[cat_drivers]}")" \
  atmost 1.05
ratio "drvscan's throughput / the plain search's" \
  "$(divide "${SECONDS_OF[plain_search]}" "${SECONDS_OF[drvscan_corpus]}")" \
  atleast 1
ratio "noisegauge's throughput / the plain reader's" \
  "$(divide "${SECONDS_OF[plain_reader]}" \
    "${SECONDS_OF[noisegauge_corpus]}")" atleast 10
ratio "noisegauge's time / cat's" \
  "$(divide "${SECONDS_OF[noisegauge_corpus]}" "${SECONDS_OF[cat_inf]}")" \
  atmost 3
for tool in drvscan noisegauge; do
  ratio "$tool: time for 200 MiB / for 100 MiB" \
    "$(divide "${SECONDS_OF[${tool}_200]}" "${SECONDS_OF[${tool}_100]}")" \
    atmost 2.3
done

# --- Evidence images: the drivers corpus in an NTFS volume. ----------------
# drvscan on the raw image against drvscan on the same files in a folder, and
# on an E01 of it against the way without the kit's image reading: ewfmount,
# ntfs-3g on its raw view, drvscan on the mount. Making the images takes
# root, FUSE, mkntfs, ntfs-3g and ewf-tools.
image_race() {
  local image=$WORK/images/corpus.img mnt=$WORK/images/mnt ewf=$WORK/images/ewf
  local need
  for need in mkntfs ntfs-3g ewfacquire ewfmount; do
    command -v "$need" >/dev/null || { echo "no $need: no image race"; return; }
  done
  [[ $(id -u) -eq 0 && -e /dev/fuse ]] ||
    { echo "not root or no /dev/fuse: no image race"; return; }
  mkdir -p "$mnt" "$ewf"
  if ! cmp -s "$WORK/vorl.yar" "$WORK/images/stamp"; then
    echo "Writing the drivers corpus into an NTFS image and an E01"
    rm -f "$image" "$WORK"/images/corpus.E*
    truncate -s $((DRIVER_BYTES / 1048576 * 12 / 10 + 64))M "$image"
    mkntfs -F -q -f "$image" >/dev/null 2>&1
    ntfs-3g "$image" "$mnt"
    mkdir -p "$mnt/Windows/System32/drivers"
    cp "$DRIVERS"/*.sys "$mnt/Windows/System32/drivers/"
    umount "$mnt"
    ewfacquire -u -q -c none -S 2GiB -t "$WORK/images/corpus" "$image" \
      >/dev/null
    cp "$WORK/vorl.yar" "$WORK/images/stamp"
  fi
  drvscan_raw_image() { VORLKIT_IMAGE=$image "$BIN/drvscan" "$WORK/bench.log"; }
  drvscan_e01() {
    VORLKIT_IMAGE=$WORK/images/corpus.E01 "$BIN/drvscan" "$WORK/bench.log"
  }
  mounted_e01() {
    ewfmount "$WORK/images/corpus.E01" "$ewf" >/dev/null &&
      ntfs-3g -o ro "$ewf/ewf1" "$mnt" &&
      drvscan "$mnt/Windows"
    umount "$mnt" 2>/dev/null
    umount "$ewf" 2>/dev/null
  }
  rm -f "$WORK/bench.log"
  drvscan_raw_image | grep -v '^INFO: Examining' >"$WORK/image.out"
  drvscan "$CORPUS" >"$WORK/folder.out"
  cmp -s "$WORK/image.out" "$WORK/folder.out" ||
    die "drvscan on the image and on the folder disagree (see $WORK/*.out)"
  LABEL[drvscan_raw_image]="drvscan, raw NTFS image"
  LABEL[drvscan_e01]="drvscan, E01"
  LABEL[mounted_e01]="ewfmount + ntfs-3g + drvscan"
  race drvscan_corpus drvscan_raw_image drvscan_e01 mounted_e01
  echo "the drivers corpus in an NTFS image, and as an E01"
  for name in drvscan_corpus drvscan_raw_image drvscan_e01 mounted_e01; do
    row $name "$DRIVER_BYTES"
  done
  ratio "drvscan's time on the raw image / on the files" \
    "$(divide "${SECONDS_OF[drvscan_raw_image]}" \
      "${SECONDS_OF[drvscan_corpus]}")" atmost 1.0
  ratio "drvscan's time on the E01 / the mount path's" \
    "$(divide "${SECONDS_OF[drvscan_e01]}" "${SECONDS_OF[mounted_e01]}")" \
    atmost 0.8
  wof_race
  shadow_race
}

# The same drivers as CompactOS keeps them: an NTFS image of the corpus with
# every driver compressed by WOF, with XPRESS4K (what `compact /exe` takes
# by default) and with LZX, against the uncompressed image. Called by
# image_race, whose tools and rights it takes.
wof_race() {
  local mnt=$WORK/images/mnt
  local algorithm wof pid
  for algorithm in xpress4k lzx; do
    wof=$WORK/images/corpus_$algorithm.img
    cmp -s "$WORK/vorl.yar" "$WORK/images/stamp_$algorithm" && continue
    echo "Writing the drivers corpus into an NTFS image, compressed by WOF" \
      "($algorithm)"
    rm -f "$wof"
    truncate -s $((DRIVER_BYTES / 1048576 * 12 / 10 + 64))M "$wof"
    mkntfs -F -q -f "$wof" >/dev/null 2>&1
    # In the foreground, so that its end shows that everything is written.
    ntfs-3g -o streams_interface=windows,no_detach "$wof" "$mnt" \
      >/dev/null 2>&1 &
    pid=$!
    until mountpoint -q "$mnt"; do
      kill -0 "$pid" 2>/dev/null || die "ntfs-3g did not mount $wof"
      sleep 0.1
    done
    mkdir -p "$mnt/Windows/System32/drivers"
    "$BIN/wof_compact" "$algorithm" "$mnt/Windows/System32/drivers" \
      "$DRIVERS"/*.sys || { umount "$mnt"; die "wof_compact failed"; }
    umount "$mnt"
    wait "$pid"
    cp "$WORK/vorl.yar" "$WORK/images/stamp_$algorithm"
  done
  drvscan_wof_xpress4k() {
    VORLKIT_IMAGE=$WORK/images/corpus_xpress4k.img "$BIN/drvscan" \
      "$WORK/bench.log"
  }
  drvscan_wof_lzx() {
    VORLKIT_IMAGE=$WORK/images/corpus_lzx.img "$BIN/drvscan" "$WORK/bench.log"
  }
  for algorithm in xpress4k lzx; do
    "drvscan_wof_$algorithm" | grep -v '^INFO: Examining' >"$WORK/wof.out"
    cmp -s "$WORK/wof.out" "$WORK/folder.out" ||
      die "drvscan on the $algorithm image and on the folder disagree" \
        "(see $WORK/wof.out and $WORK/folder.out)"
  done
  LABEL[drvscan_wof_xpress4k]="drvscan, WOF XPRESS4K image"
  LABEL[drvscan_wof_lzx]="drvscan, WOF LZX image"
  race drvscan_raw_image drvscan_wof_xpress4k drvscan_wof_lzx
  echo "the drivers corpus in NTFS images, plain and compressed by WOF"
  for name in drvscan_raw_image drvscan_wof_xpress4k drvscan_wof_lzx; do
    row $name "$DRIVER_BYTES"
  done
  ratio "drvscan's time, XPRESS4K image / plain image" \
    "$(divide "${SECONDS_OF[drvscan_wof_xpress4k]}" \
      "${SECONDS_OF[drvscan_raw_image]}")" atmost 2.5
  printf "  %-44s %6.2f   (no target)\n" \
    "drvscan's time, LZX image / plain image" \
    "$(divide "${SECONDS_OF[drvscan_wof_lzx]}" \
      "${SECONDS_OF[drvscan_raw_image]}")"
}
# The findings of the last run's log, each after "volume: " or "copy N: ",
# the walk that holds it.
findings_by_walk() {
  iconv -f UTF-16LE -t UTF-8 "$WORK/bench.log" | tr -d '\r' |
    awk '/^INFO: Examining shadow copy / {walk = "copy " $5}
         /^SUSPICIOUS: / {print (walk ? walk : "volume") ": " $0}'
}

# The drivers on a volume that keeps three shadow copies, each older state
# different from the next in 5 % of the drivers (bench/shadow_image.cc),
# against the same current volume without them. A driver with a signature
# lives only in the oldest copy: drvscan must report it in that copy's walk
# and find on the volume what it finds without the copies. Called by
# image_race, whose tools and rights it takes.
shadow_race() {
  local shadows=$WORK/images/shadows need
  for need in vshadowinfo vshadowmount; do
    command -v "$need" >/dev/null ||
      { echo "no $need: no shadow copy race"; return; }
  done
  if ! cmp -s "$WORK/vorl.yar" "$shadows/stamp"; then
    echo "Writing the drivers corpus into an NTFS image with three shadow" \
      "copies (a quarter of an hour)"
    rm -rf "$shadows"
    mkdir -p "$shadows"
    local libraries=("$LIBRARIES"/*) hexes=()
    mapfile -t hexes < <(sed -n 's/.*= { \(.*\) }.*/\1/p' "$WORK/vorl.yar")
    cp "${libraries[49]}" "$shadows/vorlsvc.sys"
    plant "$shadows/vorlsvc.sys" 5000 "${hexes[3]}"
    "$BIN/shadow_image" "$DRIVERS" "$shadows/vorlsvc.sys" "$shadows" ||
      die "shadow_image failed"
    cp "$WORK/vorl.yar" "$shadows/stamp"
  fi
  drvscan_current() {
    VORLKIT_IMAGE=$shadows/current.img "$BIN/drvscan" "$WORK/bench.log"
  }
  drvscan_shadows() {
    VORLKIT_IMAGE=$shadows/shadowed.img "$BIN/drvscan" "$WORK/bench.log"
  }
  rm -f "$WORK/bench.log"
  drvscan_current | grep -v '^INFO: Examining' >"$WORK/current.out"
  cmp -s "$WORK/current.out" "$WORK/folder.out" ||
    die "drvscan on the current image and on the folder disagree" \
      "(see $WORK/current.out and $WORK/folder.out)"
  findings_by_walk >"$WORK/shadows.expected"
  echo "copy 1: SUSPICIOUS: File vorlsvc.sys matches pattern called" \
    "imul magic1" >>"$WORK/shadows.expected"
  rm -f "$WORK/bench.log"
  drvscan_shadows >/dev/null
  findings_by_walk >"$WORK/shadows.found"
  cmp -s "$WORK/shadows.found" "$WORK/shadows.expected" ||
    die "drvscan with the shadow copies found otherwise than expected" \
      "(see $WORK/shadows.found and $WORK/shadows.expected)"
  LABEL[drvscan_current]="drvscan, image without copies"
  LABEL[drvscan_shadows]="drvscan, with 3 shadow copies"
  race drvscan_current drvscan_shadows
  echo "the drivers corpus in an NTFS image, without and with shadow copies"
  for name in drvscan_current drvscan_shadows; do
    row $name "$DRIVER_BYTES"
  done
  ratio "drvscan's time, with the shadow copies / without" \
    "$(divide "${SECONDS_OF[drvscan_shadows]}" \
      "${SECONDS_OF[drvscan_current]}")" atmost 1.5
}

echo
image_race

if [[ -x $BIN/kit_microbench ]]; then
  echo
  echo "The inner loops alone (Google Benchmark, on $LIBRARIES/shell32.dll)"
  KIT_BENCH_SAMPLE=$LIBRARIES/shell32.dll "$BIN/kit_microbench" 2>&1 |
    grep -v 'built as DEBUG'
fi
((MISSED == 0)) || echo "bench: a target was missed" >&2
