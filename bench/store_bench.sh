#!/usr/bin/env bash
# What remembering checks costs: velkscan-cli on a generated library without
# a store, with one (content hash and inserts), and --changed over the same
# unchanged library; then --changed over many small unchanged files, at -j 1
# and at the default -j, beside a bare walk that reads the same stamps
# (find), with peak memory, and the store's size per file. Processor time
# (user + system), best of three.
#
#   bench/store_bench.sh [SIZE_MB] [SMALL_FILES]      (default 200, 100000)
#
# Builds Release in build/bench-store and generates the files there once.
set -euo pipefail
cd "$(dirname "$0")/.."

size_mb=${1:-200}
small_files=${2:-100000}
build=build/bench-store
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKSCAN_TESTS=OFF -DVELKSCAN_BENCH=OFF >/dev/null
cmake --build "$build" --target velkgen velkscan-cli -j "$(nproc)" >/dev/null
cli=$build/src/cli/velkscan-cli
velkgen=$build/tools/velkgen/velkgen

library=$build/library-$size_mb
if [ ! -e "$library/.complete" ]; then
  rm -rf "$library"
  "$velkgen" --library "$library" --size-mb "$size_mb" --seed 7 | tail -n 1
  touch "$library/.complete"
fi
small=$build/small-$small_files
if [ ! -e "$small/.complete" ]; then
  rm -rf "$small"
  mkdir -p "$small"
  "$velkgen" --stream-version 7 --frames 4 --seed 3 "$small/one.vlk" >/dev/null
  # One folder of up to 1,000 copies, then the folder copied whole: a
  # process per folder, not per file.
  mkdir "$small/0"
  for ((i = 0; i < small_files && i < 1000; i++)); do cp "$small/one.vlk" "$small/0/$i.vlk"; done
  for ((d = 1; d * 1000 < small_files; d++)); do cp -r "$small/0" "$small/$d"; done
  rm "$small/one.vlk"
  touch "$small/.complete"
fi
find "$library" -type f -print0 | xargs -0 cat >/dev/null  # warm the page cache

# Processor seconds of the best of three runs.
cpu() {
  local best=""
  for _ in 1 2 3; do
    local t
    /usr/bin/time -o "$build/time" -f "%U %S" "$@" >/dev/null 2>&1 || true
    # The last line: a command that exits non-zero gets a line before it.
    t=$(tail -n 1 "$build/time" | awk '{ print $1 + $2 }')
    best=$(awk -v t="$t" -v b="$best" 'BEGIN { if (b == "" || t < b) b = t; print b }')
  done
  echo "$best"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f %%", (b > 0 ? 100 * a / b : 0) }'; }

store=$build/checks.sqlite
fresh() { rm -f "$store" "$store-wal" "$store-shm"; }
echo "library: $(du -sm "$library" | cut -f1) MB, $(find "$library" -type f | wc -l) files"
for jobs in 1 2; do
  plain=$(cpu "$cli" --priority normal -j "$jobs" "$library")
  fresh
  recorded=$(cpu "$cli" --priority normal -j "$jobs" --db "$store" "$library")
  [ "$jobs" = 1 ] && plain1=$plain
  echo "-j $jobs: no store $plain s, recording $recorded s ($(ratio "$(awk -v a="$recorded" -v b="$plain" 'BEGIN { print a - b }')" "$plain") more)"
done
changed=$(cpu "$cli" --priority normal -j 1 --db "$store" --changed "$library")
echo "--changed, nothing changed: $changed s ($(ratio "$changed" "$plain1") of a check at -j 1)"
fresh
"$cli" --priority normal --db "$store" "$library" >/dev/null || true
rows=$(find "$library" -type f | wc -l)
echo "store: $(stat -c %s "$store") bytes for $rows checks, $(( $(stat -c %s "$store") / rows )) bytes each"

fresh
"$cli" --priority normal --db "$store" "$small" >/dev/null || true
# Wall time, processor time and peak memory of the best of three (the page
# cache warm after the first), "wall cpu MB".
best3() {
  local best=""
  for _ in 1 2 3; do
    /usr/bin/time -o "$build/time" -f "%e %U %S %M" "$@" >/dev/null 2>&1 || true
    local t
    t=$(tail -n 1 "$build/time")
    best=$(awk -v t="$t" -v b="$best" 'BEGIN { split(t, x, " "); split(b, y, " ");
      if (b == "" || x[2] + x[3] < y[2] + y[3]) b = t; print b }')
  done
  awk -v t="$best" 'BEGIN { split(t, x, " "); printf "%.2f %.2f %.1f", x[1], x[2] + x[3], x[4] / 1024 }'
}
# The bare walk that reads the same stamps (size, times, inode) of every file.
read -r fwall fcpu fmem <<<"$(best3 find "$small" -type f -printf '%s %T@ %C@ %i\n')"
echo "over $small_files unchanged small files (wall, processor, peak memory; load average $(cut -d' ' -f1-3 /proc/loadavg)):"
printf '  find -printf (stamps)       %6.2f s  %6.2f s  %6.1f MB\n' "$fwall" "$fcpu" "$fmem"
for jobs in 1 ""; do
  read -r cwall ccpu cmem <<<"$(best3 "$cli" --priority normal ${jobs:+-j "$jobs"} --db "$store" --changed "$small")"
  printf '  velkscan-cli --changed %-4s %6.2f s  %6.2f s  %6.1f MB   %s times find'"'"'s processor time\n' \
    "-j ${jobs:-$(nproc)}" "$cwall" "$ccpu" "$cmem" "$(awk -v a="$ccpu" -v b="$fcpu" 'BEGIN { printf "%.1f", (b > 0 ? a / b : 0) }')"
done
echo "store: $(stat -c %s "$store") bytes for $small_files checks"
