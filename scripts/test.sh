#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and tests
#   dev    native debug build: unit and end-to-end tests
#   asan   the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan   the scan-job and velkscan-cli tests under ThreadSanitizer
#   win-u  32-bit Windows, wide characters: tests under wine
#   win-a  32-bit Windows, narrow characters: tests under wine
#   win64-u, win64-a  the same sources as 64-bit programs, tested under wine:
#          added by themselves where this machine cannot run 32-bit programs
#          (a kernel without 32-bit support); win-u and win-a are then built
#          and their imports checked, and say that their other tests did not run
#   fuzz   each libFuzzer target for VELKSCAN_FUZZ_SECONDS (default 40: the six
#          targets together take at most about four minutes)
#   package  scripts/package.sh, then tests/package/package_test.sh on the
#          .deb (unpacked and run, lintian, metadata) and the Windows zip
# Full logs go to build/logs/. Exits non-zero when anything failed.
#
#   scripts/test.sh [PRESET...]       (default: all of the above)
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(dev asan tsan win-u win-a fuzz package)
jobs=${VELKSCAN_JOBS:-$(nproc)}
fuzz_seconds=${VELKSCAN_FUZZ_SECONDS:-40}
logs=$root/build/logs

bash scripts/install-deps.sh || exit 1
mkdir -p "$logs"

# wine's 32-bit loader is the probe: on a kernel without 32-bit support it
# cannot even print its version.
runs_32bit=true
/usr/lib/wine/wine --version >/dev/null 2>&1 || runs_32bit=false
if ! $runs_32bit && [ $# -eq 0 ]; then
  presets=(dev asan tsan win-u win-a win64-u win64-a fuzz package)
fi

passed=0
failed=0
skipped=0
failures=()

elapsed() { echo "$((SECONDS - $1)) s"; }

# Adds up the counts of ctest's JUnit file (its first tests=, failures=
# and skipped= belong to the test suite element).
count_results() {
  local n f s
  n=$(grep -m1 -o 'tests="[0-9]*"' "$1" | tr -dc 0-9) || return 1
  f=$(grep -m1 -o 'failures="[0-9]*"' "$1" | tr -dc 0-9) || return 1
  s=$(grep -m1 -o 'skipped="[0-9]*"' "$1" | tr -dc 0-9) || s=0
  passed=$((passed + n - f - ${s:-0}))
  failed=$((failed + f))
  skipped=$((skipped + ${s:-0}))
}

fail_step() {
  local preset=$1 what=$2 log=$3
  echo "$preset: $what FAILED; the end of $log:"
  tail -n 60 "$log"
  failed=$((failed + 1))
  failures+=("$preset $what")
}

# Where 32-bit programs cannot run, ctest cannot even list a 32-bit build's
# tests (that runs them), so only the imports check runs, outside ctest.
check_imports_only() {
  local preset=$1 log=$2 objdump
  echo "$preset: this machine cannot run 32-bit programs: only the imports are checked here" \
    "(the Windows tests run in win64-u and win64-a)"
  objdump=$(sed -n 's/^CMAKE_OBJDUMP:[A-Z]*=//p' "build/$preset/CMakeCache.txt")
  if cmake -DOBJDUMP="$objdump" -DDIR="$root/build/$preset" -P cmake/check-imports.cmake >"$log" 2>&1; then
    passed=$((passed + 1))
    echo "$preset: windows.imports passed"
  else
    fail_step "$preset" windows.imports "$log"
  fi
}

run_preset() {
  local preset=$1 start=$SECONDS
  local log_cfg=$logs/$preset-configure.log log_build=$logs/$preset-build.log
  local log_test=$logs/$preset-test.log junit=$logs/$preset-junit.xml
  echo
  echo "== $preset"
  local extra=()
  [ "$preset" = fuzz ] && extra=(-DVELKSCAN_FUZZ_SECONDS="$fuzz_seconds")
  if ! cmake --preset "$preset" "${extra[@]}" >"$log_cfg" 2>&1; then
    fail_step "$preset" configure "$log_cfg"
    return
  fi
  if ! cmake --build --preset "$preset" --parallel "$jobs" >"$log_build" 2>&1; then
    fail_step "$preset" build "$log_build"
    return
  fi
  echo "$preset: configured and built in $(elapsed "$start")"
  start=$SECONDS
  rm -f "$junit"
  if ! $runs_32bit && [[ "$preset" == win-[ua] ]]; then
    check_imports_only "$preset" "$log_test"
    return
  fi
  # The Windows tests open windows (the report box's): they need a display.
  local display=()
  [[ "$preset" == win* && -z "${DISPLAY:-}" ]] && display=(xvfb-run -a)
  "${display[@]}" ctest --preset "$preset" --parallel "$jobs" --output-junit "$junit" >"$log_test" 2>&1
  local status=$?
  if [ "$status" -ne 0 ]; then
    # Everything but the lines of starting and passing tests: the failures' output.
    grep -v -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|^ +Start +[0-9]+: ' "$log_test" | tail -n 300
    failures+=("$preset tests")
  else
    sed -n '/tests passed, /,$p' "$log_test"
  fi
  local failed_before=$failed
  if ! count_results "$junit"; then
    [ "$status" -ne 0 ] || failures+=("$preset tests")
  fi
  # A run that failed without a failed test (no tests found, a crash in
  # discovery) still counts as one failure.
  if [ "$failed" -eq "$failed_before" ] && { [ "$status" -ne 0 ] || [ ! -s "$junit" ]; }; then
    failed=$((failed + 1))
  fi
  echo "$preset: tests ran in $(elapsed "$start")"
}

# The packages as users get them: one step, one test in the summary.
run_package() {
  local start=$SECONDS log_build=$logs/package-build.log log_test=$logs/package-test.log
  echo
  echo "== package"
  if ! VELKSCAN_JOBS=$jobs bash scripts/package.sh >"$log_build" 2>&1; then
    fail_step package build "$log_build"
    return
  fi
  echo "package: built in $(elapsed "$start")"
  start=$SECONDS
  if bash tests/package/package_test.sh build/dist >"$log_test" 2>&1; then
    passed=$((passed + 1))
    grep -E '^(Depends|lintian|package test)' "$log_test"
  else
    failed=$((failed + 1))
    failures+=("package tests")
    cat "$log_test"
  fi
  echo "package: tested in $(elapsed "$start")"
}

total_start=$SECONDS
for preset in "${presets[@]}"; do
  if [ "$preset" = package ]; then run_package; else run_preset "$preset"; fi
done

# The wine test runs leave one wineserver per prefix for a while; end them.
for prefix in build/win-u/wine build/win-a/wine build/win64-u/wine build/win64-a/wine; do
  if [ -d "$prefix" ]; then WINEPREFIX=$root/$prefix wineserver -k 2>/dev/null || true; fi
done

echo
echo "== ${presets[*]}: $(elapsed "$total_start")"
if [ ${#failures[@]} -gt 0 ]; then
  echo "Failed: ${failures[*]}"
fi
if [ "$skipped" -gt 0 ]; then
  echo "Summary: $passed passed, $failed failed, $skipped skipped"
else
  echo "Summary: $passed passed, $failed failed"
fi
[ ${#failures[@]} -eq 0 ] && [ "$failed" -eq 0 ]
