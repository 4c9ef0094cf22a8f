#!/bin/bash
# The suite again and again, as a machine under other work runs it: configures and builds each preset
# (warnings as errors), runs its ctest N times with -j2 and prints one line per run: passed or failed,
# the failing tests and the load average before and after. Exit status 1 when any run failed.
#   scripts/soak.sh [PRESET...] [--runs N]      (default: dev release asan tsan, 3 runs)
set -uo pipefail
cd "$(dirname "$0")/.."

runs=3
presets=()
while (($#)); do
  case "$1" in
    --runs) runs=$2 && shift ;;
    --runs=*) runs=${1#--runs=} ;;
    -h | --help) sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//' && exit 0 ;;
    *) presets+=("$1") ;;
  esac
  shift
done
((${#presets[@]})) || presets=(dev release asan tsan)
load() { cut -d' ' -f1 /proc/loadavg; }

mkdir -p build/logs
rows=()
failed=0
for preset in "${presets[@]}"; do
  log=build/logs/soak-$preset
  if ! cmake --preset "$preset" -DVELKSCAN_WERROR=ON >"$log-build.log" 2>&1 ||
    ! nice cmake --build --preset "$preset" -j2 >>"$log-build.log" 2>&1; then
    rows+=("$(printf '%-8s  build  failed  see %s-build.log' "$preset" "$log")")
    failed=1
    continue
  fi
  for ((run = 1; run <= runs; ++run)); do
    before=$(load)
    start=$SECONDS
    if ctest --preset "$preset" -j2 >"$log-$run.log" 2>&1; then
      verdict=passed names=
    else
      verdict=failed failed=1
      names=$(sed 's/^[0-9]*://' "build/$preset/Testing/Temporary/LastTestsFailed.log" 2>/dev/null | tr '\n' ' ')
    fi
    row=$(printf '%-8s  %5d  %-6s  %4d s  load %5s -> %5s  %s' "$preset" "$run" "$verdict" $((SECONDS - start)) \
      "$before" "$(load)" "$names")
    echo "$row"
    rows+=("$row")
  done
done
echo
echo "preset      run  result  time    load before and after  failing tests (logs: build/logs/soak-*)"
printf '%s\n' "${rows[@]}"
exit $failed
