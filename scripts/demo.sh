#!/usr/bin/env bash
# The main job on a fresh machine: build, generate a sample library with the
# stream generator, and check it with velkscan-cli.
#
#   scripts/demo.sh
#
# The library goes to samples/ (good, broken, tagged and unrecognised files in
# nested folders, and some other files the scan skips). The first run only
# checks and changes nothing; the second repairs the broken headers on a copy
# (build/demo/samples-repaired/), keeping a journal, and a last check shows
# what is left. Then --map lists every damaged stretch of the broken files and
# --salvage writes copies of the frames behind the damage (build/demo/samples-salvaged/),
# which a last check finds whole. Last, the store of remembered checks: the
# library checked and recorded, checked again with --changed (nothing is
# read), then a byte of a tag changed with the file's times put back, which
# only --verify finds.
set -euo pipefail
cd "$(dirname "$0")/.."

# 3: everything but wine, which the demo does not need.
if [ -x scripts/install-deps.sh ]; then scripts/install-deps.sh || [ $? -eq 3 ]; fi

build=build/demo
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKSCAN_TESTS=OFF -DVELKSCAN_BENCH=OFF >/dev/null
cmake --build "$build" --target velkgen velkscan-cli -j "$(nproc)" >/dev/null
velkgen=$build/tools/velkgen/velkgen
cli=$build/src/cli/velkscan-cli

copy=$build/samples-repaired
rm -rf samples "$copy" "$copy.journal"
echo "== velkgen --library samples --size-mb 20 --seed 1"
"$velkgen" --library samples --size-mb 20 --seed 1 | tail -n 1
echo

run() {
  echo "== velkscan-cli $*"
  local status=0
  "$cli" "$@" || status=$?
  echo "(exit status $status)"
  echo
}

# Check only: nothing is written.
run samples

cp -a samples "$copy"
run --repair --journal "$copy.journal" "$copy/Broken"
echo "== $(grep -c '^velkscan-repair' "$copy.journal") repairs in the journal $copy.journal (undo: velkscan-cli --undo FILE)"
echo
run "$copy/Broken"

# After the damage: every damaged stretch of the broken files, and salvaged
# copies of the frames behind it (the originals are only read).
salvaged=$build/samples-salvaged
rm -rf "$salvaged"
run --map --salvage "$salvaged" samples/Broken
run "$salvaged"

# Remembered checks, in a store of the demo's own.
store=$build/checks.sqlite
rm -f "$store" "$store-wal" "$store-shm"
run --db "$store" samples
run --db "$store" --changed samples | tail -n 4
tagged=$(find samples/Tagged -name '*.vlk' | sort | head -n 1)
touch -r "$tagged" "$build/times"
printf 'X' | dd of="$tagged" bs=1 seek=12 conv=notrunc status=none
touch -r "$build/times" "$tagged"
run "$tagged"
run --db "$store" --verify "$tagged"
run --db "$store" --history "$tagged"
