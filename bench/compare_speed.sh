#!/usr/bin/env bash
# velkscan-cli of this tree against the program at an older commit (by
# default ecb2c8d), side by side, on the same velkgen files in one run.
#
#   bench/compare_speed.sh [SIZE_MB] [ROUNDS] [COMMIT]   (defaults 200, 5, ecb2c8d)
#
# Builds both in Release (the old one from a git worktree of COMMIT in
# build/bench-speed/), writes the file sets once, then runs the two
# programs in turn, ROUNDS times each, and reports the best round of each:
# MB/s, ns per prefix-code word and the ratio, by processor time (user +
# system: steady on a busy machine; the ratio of the medians too) and by
# wall time. Sets: a music
# library of SIZE_MB mixing every stream version (with -j 1 and -j 2), the
# exhaustive profile, damaged files, and files broken at their first frames.
# Checking only: nothing is written to the files.
#
# Each line ends with the bound of the design: the checking path's table
# look-ups per code word (bench/count_words counts them), each a load the
# next one waits on, times the time of one such look-up's chain on this
# processor (a load from the first-level cache and the shifts between two);
# two frames in flight halve it.
set -euo pipefail
cd "$(dirname "$0")/.."

size_mb=${1:-200}
rounds=${2:-5}
baseline_commit=${3:-ecb2c8d}
out=build/bench-speed
jobs=$(nproc)

echo "building this tree and $baseline_commit (Release) ..."
cmake -S . -B "$out/current" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKSCAN_TESTS=OFF -DVELKSCAN_BENCH=ON >/dev/null
cmake --build "$out/current" --target velkscan-cli velkgen count_words -j "$jobs" >/dev/null
# A source tree and build of their own per commit.
baseline=$out/baseline-$baseline_commit
if [ ! -e "$baseline-src/.git" ]; then
  git worktree add --detach "$baseline-src" "$baseline_commit" >/dev/null 2>&1
fi
cmake -S "$baseline-src" -B "$baseline" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKSCAN_TESTS=OFF \
  -DVELKSCAN_BENCH=OFF >/dev/null
cmake --build "$baseline" --target velkscan-cli -j "$jobs" >/dev/null
new=$out/current/src/cli/velkscan-cli
old=$baseline/src/cli/velkscan-cli
gen=$out/current/tools/velkgen/velkgen

# The file sets, written once.
sets=$out/sets-$size_mb
if [ ! -e "$sets/.complete" ]; then
  rm -rf "$sets"
  mkdir -p "$sets/exhaustive" "$sets/damaged" "$sets/first-frames"
  echo "writing the file sets in $sets ..."
  "$gen" --library "$sets/music" --size-mb "$size_mb" --seed 7 >/dev/null
  for v in 4 5 6 7 23; do
    "$gen" --stream-version "$v" --profile exhaustive --frames 6000 --seed "$v" "$sets/exhaustive/v$v.vlk" >/dev/null
    i=0
    for damage in truncate flip zero insert delete overclaim; do
      i=$((i + 1))
      "$gen" --stream-version "$v" --frames 3000 --damage "$damage" --seed "$((v * 10 + i))" \
        "$sets/damaged/$damage-v$v.vlk" >/dev/null
    done
    for s in $(seq 1 60); do
      "$gen" --stream-version "$v" --frames 2 --damage flip --seed "$s" "$sets/first-frames/v$v-$s.vlk" >/dev/null
    done
  done
  touch "$sets/.complete"
fi

TIMEFORMAT='%R %U %S'
# Wall and processor seconds of one run: "wall cpu".
run() {
  local t
  t=$({ time "$@" --priority normal >/dev/null 2>&1; } 2>&1) || true
  awk '{ printf "%.4f %.4f\n", $1, $2 + $3 }' <<<"$t"
}
smaller() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }
median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { print (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'; }

# compare NAME DIR [JOBS] [ROUNDS]: best of the rounds for each program, in turn.
compare() {
  local name=$1 dir=$2 j=${3:-1} n=${4:-$rounds}
  local bytes words lookups load chain
  bytes=$(find "$dir" -type f \( -iname '*.vlk' -o -iname '*.vkq' -o -iname '*.vqk' \) -print0 | du -cb --files0-from=- |
    tail -n 1 | cut -f 1)
  read -r _ _ words _ lookups load chain < <("$out/current/bench/count_words" "$dir")
  find "$dir" -type f -exec cat {} + >/dev/null  # page cache
  local old_wall="" old_cpu="" new_wall="" new_cpu="" old_cpus="" new_cpus=""
  for _ in $(seq 1 "$n"); do
    read -r w c < <(run "$old" -j "$j" "$dir")
    old_wall=$(smaller "$w" "$old_wall") old_cpu=$(smaller "$c" "$old_cpu") old_cpus+=" $c"
    read -r w c < <(run "$new" -j "$j" "$dir")
    new_wall=$(smaller "$w" "$new_wall") new_cpu=$(smaller "$c" "$new_cpu") new_cpus+=" $c"
  done
  awk -v n="$name -j $j" -v b="$bytes" -v w="$words" -v ow="$old_wall" -v oc="$old_cpu" -v nw="$new_wall" \
    -v nc="$new_cpu" -v om="$(median "$old_cpus")" -v nm="$(median "$new_cpus")" -v l="$lookups" -v ld="$load" -v ch="$chain" 'BEGIN {
      mb = b / 1048576
      printf "%-22s %7.1f MB %11.0f words | cpu: old %7.1f MB/s %5.2f ns/word  new %7.1f MB/s %5.2f ns/word  %5.2fx (median %5.2fx) | wall: old %7.1f new %7.1f MB/s %5.2fx | bound: %.3f look-ups/word x %.2f ns (load %.2f) = %.2f ns/word, %.2f in two lanes\n",
        n, mb, w, mb / oc, oc * 1e9 / w, mb / nc, nc * 1e9 / w, oc / nc, om / nm, mb / ow, mb / nw, ow / nw,
        l / w, ch, ld, l / w * ch, l / w * ch / 2
    }'
  echo "$old_wall $new_wall" >"$out/last-walls"
}

echo "$(nproc) processors; best of $rounds rounds, old ($baseline_commit) and new in turn"
compare music "$sets/music" 1
read -r old1 new1 <"$out/last-walls"
compare music "$sets/music" 2
read -r old2 new2 <"$out/last-walls"
awk -v o1="$old1" -v n1="$new1" -v o2="$old2" -v n2="$new2" \
  'BEGIN { printf "-j 2 against -j 1 (wall): old %.2fx, new %.2fx\n", o1 / o2, n1 / n2 }'
compare exhaustive "$sets/exhaustive" 1
compare damaged "$sets/damaged" 1
# A fraction of a second per run: more rounds against the noise.
compare first-frames "$sets/first-frames" 1 $((rounds * 4))
