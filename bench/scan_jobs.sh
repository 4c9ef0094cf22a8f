#!/usr/bin/env bash
# Throughput of velkscan-cli with one and two files checked at a time, and of
# cat on the same files (the read limit), on a generated music-like library;
# then the cost per file of many small files at -j 1, 64 and 1024, which
# must not grow with the number of jobs (with the context switches).
#
#   bench/scan_jobs.sh [SIZE_MB] [SMALL_FILES] [OTHER_CLI...]   (default 200, 20000)
#
# The small files' cost is given by wall time and by processor time (user +
# system, steady on a busy machine), and beyond the time their bytes take to
# check (the library's processor time per byte at -j 1). OTHER_CLI, other
# velkscan-cli programs (say the old one compare_speed.sh builds), are
# measured on the small files alongside, in turn, ROUNDS times (environment,
# default 5): best and median, with the load average before and after.
#
# Builds Release in build/bench-scan, generates the library there once, warms
# the page cache, then takes the best of three runs of each. Checking only:
# nothing is written. --priority normal, so other load on the machine does
# not starve the measurement.
set -euo pipefail
cd "$(dirname "$0")/.."

size_mb=${1:-200}
small_files=${2:-20000}
other_cli=("${@:3}")
rounds=${ROUNDS:-5}
build=build/bench-scan
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKSCAN_TESTS=OFF -DVELKSCAN_BENCH=OFF >/dev/null
cmake --build "$build" --target velkgen velkscan-cli -j "$(nproc)" >/dev/null
cli=$build/src/cli/velkscan-cli

library=$build/library-$size_mb
if [ ! -e "$library/.complete" ]; then
  rm -rf "$library"
  echo "generating a ${size_mb} MB library in $library ..."
  "$build/tools/velkgen/velkgen" --library "$library" --size-mb "$size_mb" --seed 7 | tail -n 1
  touch "$library/.complete"
fi

mapfile -d '' files < <(find "$library" -type f \( -iname '*.vlk' -o -iname '*.vkq' -o -iname '*.vqk' \) -print0)
bytes=$(cat "${files[@]}" | wc -c)
megabytes=$(awk -v b="$bytes" 'BEGIN { printf "%.1f", b / 1048576 }')
echo "${#files[@]} Velk files, $megabytes MB; $(nproc) processors"

now() { date +%s.%N; }

# Best time of three runs of a command, in seconds.
best_of_three() {
  local best=""
  for _ in 1 2 3; do
    local start end
    start=$(now)
    "$@" >/dev/null || true
    end=$(now)
    best=$(awk -v s="$start" -v e="$end" -v b="$best" 'BEGIN { t = e - s; if (b == "" || t < b) b = t; printf "%.4f", b }')
  done
  echo "$best"
}

report() {
  awk -v name="$1" -v t="$2" -v mb="$megabytes" -v base="${3:-}" 'BEGIN {
    line = sprintf("%-26s %8.3f s %9.1f MB/s", name, t, mb / t)
    if (base != "") line = line sprintf("   %.2fx -j 1", base / t)
    print line
  }'
}

cat "${files[@]}" >/dev/null  # warm the page cache
cat_time=$(best_of_three cat "${files[@]}")
one=$(best_of_three "$cli" -j 1 --priority normal "$library")
# Processor seconds of one run: user + system.
cpu_of() {
  local t
  t=$({ /usr/bin/time -f "%U %S" "$@" >/dev/null; } 2>&1 | tail -n 1)
  awk '{ printf "%.3f", $1 + $2 }' <<<"$t"
}
library_cpu=$(cpu_of "$cli" -j 1 --priority normal "$library")
two=$(best_of_three "$cli" -j 2 --priority normal "$library")
report "cat (read limit)" "$cat_time"
report "velkscan-cli -j 1" "$one"
report "velkscan-cli -j 2" "$two" "$one"

# Many small files: one two-frame file, hard-linked (checking only reads).
small=$build/small-$small_files
if [ ! -e "$small/.complete" ]; then
  rm -rf "$small"
  mkdir -p "$small"
  "$build/tools/velkgen/velkgen" --frames 2 --seed 3 "$small/0.vlk" >/dev/null
  perl -e 'my ($dir, $n) = @ARGV; link "$dir/0.vlk", "$dir/$_.vlk" or die "$!" for 1 .. $n - 1' "$small" "$small_files"
  touch "$small/.complete"
fi
small_bytes=$(stat -c %s "$small/0.vlk")
programs=("$cli" "${other_cli[@]}")
echo
echo "$small_files small files of $small_bytes bytes: processor time per file at -j 1, $rounds rounds in turn"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
declare -A times
for _ in $(seq "$rounds"); do
  for program in "${programs[@]}"; do
    times[$program]+="$(cpu_of "$program" -j 1 --priority normal "$small") "
  done
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"
for program in "${programs[@]}"; do
  tr ' ' '\n' <<<"${times[$program]}" | grep . | sort -g |
    awk -v p="$program" -v n="$small_files" -v lc="$library_cpu" -v lb="$bytes" -v sb="$small_bytes" '
      { v[NR] = $1 }
      END {
        check = lc / lb * sb * 1e6
        best = v[1] * 1e6 / n; median = (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 * 1e6 / n
        printf "%s\n    best %5.1f us, median %5.1f us per file; beyond its bytes best %5.1f, median %5.1f us (%.1f us to check them)\n",
          p, best, median, best - check, median - check, check
      }'
done
echo
echo "$small_files small files: cost per file by jobs (wall time)"
for jobs in 1 64 1024; do
  stats=$( { /usr/bin/time -f "%e %c %w" "$cli" -j "$jobs" --priority normal "$small" >/dev/null; } 2>&1 | tail -n 1)
  read -r seconds involuntary voluntary <<<"$stats"
  awk -v j="$jobs" -v s="$seconds" -v n="$small_files" -v c=$((involuntary + voluntary)) 'BEGIN {
    printf "velkscan-cli -j %-5s %8.3f s %8.1f us per file %10d context switches (%.2f per file)\n", j, s, s * 1e6 / n, c, c / n
  }'
done
