#!/usr/bin/env bash
# The whole test suite: installs what is missing, then checks and builds and tests
#   format the C++ sources as clang-format writes them (scripts/check-format.sh)
#   asan   native debug build under AddressSanitizer and UndefinedBehaviorSanitizer:
#          every unit and end-to-end test (the fuzz targets replay their seeds)
#   deb    optimised, with Debian's hardening flags: the same tests on the
#          programs the .deb holds, and the benchmarks built
#   tsan   the scan-job and velkscan-cli tests under ThreadSanitizer
#   win-u  32-bit Windows, wide characters, optimised as shipped: tests under
#          wine (the end-to-end test drives the deb tree's velkgen and velkscan-cli)
#   win-a  32-bit Windows, narrow characters: the same
#   win64-u, win64-a  the same sources as 64-bit programs, tested under wine:
#          added by themselves where this machine cannot run 32-bit programs
#          (a kernel without 32-bit support); win-u and win-a then build only
#          the programs users get and check their imports, and say that their
#          other tests did not run; where wine cannot be installed at all
#          (a package mirror out of step), they do the same, and the summary's
#          NOT RUN line names the tests that did not run
#   fuzz   each libFuzzer target for VELKSCAN_FUZZ_SECONDS (default 10), after it
#          has run its whole seed corpus (the other native stages replay those
#          corpora too): the seven targets take about 40 s on two processors
#   package  scripts/package.sh packs the deb and win-u/win-a trees' programs
#          (built and tested above), then tests/package/package_test.sh tests
#          the .deb (unpacked and run, lintian, metadata) and the Windows zip
# Every preset here turns warnings into errors. Each stage prints its time on
# the clock and the processor time it took (the second does not grow with
# other work on the machine); full logs go to build/logs/. Exits non-zero
# when anything failed.
#
# The Windows stages run in a lane of their own beside the others: their tests
# mostly wait (for wine, the display, the input), while the other stages keep
# both processors busy. The lane builds both trees first, then tests them.
# Its output follows the other stages' when it ends, each stage's lines
# together. Every build runs at a lowered priority (nice),
# every test but the fuzzers at the priority it was started with, so the builds
# beside them take none of the tests' time. The Windows tests wait for the deb
# tree's build, whose velkgen and velkscan-cli they drive. VELKSCAN_SERIAL=1
# runs every stage in turn instead.
#
#   scripts/test.sh [PRESET...]       (default: all of the above)
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(format deb asan tsan win-u win-a fuzz package)
jobs=${VELKSCAN_JOBS:-$(nproc)}
fuzz_seconds=${VELKSCAN_FUZZ_SECONDS:-10}
logs=$root/build/logs

install_start=$SECONDS
deps_status=0
bash scripts/install-deps.sh || deps_status=$?
[ "$deps_status" -eq 0 ] || [ "$deps_status" -eq 3 ] || exit 1
export VELKSCAN_DEPS_CHECKED=1  # for scripts/package.sh
echo "install-deps: $((SECONDS - install_start)) s"
mkdir -p "$logs"

# wine's 32-bit loader is the probe: on a kernel without 32-bit support it
# cannot even print its version. Where wine could not be installed at all
# (install-deps said so with 3), the Windows programs are built and their
# imports checked, and the summary says that their tests did not run.
runs_32bit=true no_wine=''
if [ "$deps_status" -eq 3 ]; then
  runs_32bit=false
  no_wine="wine could not be installed on this machine"
elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  runs_32bit=false
  [ $# -gt 0 ] || presets=(format deb asan tsan win-u win-a win64-u win64-a fuzz package)
fi

passed=0
failed=0
skipped=0
failures=()
failures_not_run=()

# The processor time of the children waited for so far, in whole seconds,
# into $cpu_now (the builtin times, in this shell: a $(...) would ask a subshell).
# The lane's own time joins this shell's children's when the lane has ended
# and been waited for (bash does so as soon as it ends): taken off again, so
# that each stage's figure is its own.
lane_pid='' lane_cpu=0
lane_reaped() { [ -n "$lane_pid" ] && ! kill -0 "$lane_pid" 2>/dev/null; }
cpu() {
  local file=$logs/times.$BASHPID before after # this shell's (the lane's is another)
  while :; do
    lane_reaped && before=1 || before=0
    times >"$file"
    lane_reaped && after=1 || after=0
    [ "$before" = "$after" ] && break
  done
  cpu_now=$(sed -n 2p "$file" | awk '{ t = 0; for (i = 1; i <= 2; ++i) { split($i, p, "m"); t += p[1] * 60 + p[2] } printf "%d", t }')
  if [ "$after" = 1 ]; then
    [ -s "$lane_state" ] && lane_cpu=$(sed -n 's/^lane_cpu=//p' "$lane_state")
    cpu_now=$((cpu_now - ${lane_cpu:-0}))
  fi
}
timings=()
# elapsed START CPU_START: the clock's and the processor's time since then.
elapsed() {
  cpu
  elapsed_now="$((SECONDS - $1)) s (processor $((cpu_now - $2)) s)"
}

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
  if [ -n "$no_wine" ]; then
    echo "$preset: $no_wine: only the imports are checked here; the Windows tests DID NOT RUN"
    skipped=$((skipped + 1))
    failures_not_run+=("$preset tests ($no_wine)")
  else
    echo "$preset: this machine cannot run 32-bit programs: only the imports are checked here" \
      "(the Windows tests run in win64-u and win64-a)"
  fi
  objdump=$(sed -n 's/^CMAKE_OBJDUMP:[A-Z]*=//p' "build/$preset/CMakeCache.txt")
  if cmake -DOBJDUMP="$objdump" -DDIR="$root/build/$preset" -P cmake/check-imports.cmake >"$log" 2>&1; then
    passed=$((passed + 1))
    echo "$preset: windows.imports passed"
  else
    fail_step "$preset" windows.imports "$log"
  fi
}

# run_preset PRESET [all|build|test]: configures, builds and tests, or only
# the first two or the last (after its build phase).
declare -A built_in=()
run_preset() {
  local preset=$1 phase=${2:-all} start=$SECONDS cpu_start built
  echo
  case $phase in
    all) echo "== $preset" ;;
    build) echo "== $preset: build" ;;
    test) echo "== $preset: tests" ;;
  esac
  # The Windows end-to-end test drives the deb tree's programs: built by now.
  if [[ "$preset" == win* && "$phase" != build ]] && $with_deb; then
    until [ -e "$deb_built" ]; do sleep 1; done
    start=$SECONDS
  fi
  cpu && cpu_start=$cpu_now
  if [ "$phase" = test ]; then
    # A build that failed has been reported.
    [ "${built_in[$preset]:-failed}" != failed ] || return
    built=${built_in[$preset]}
  else
    build_preset "$preset" || { built_in[$preset]=failed; return; }
    elapsed "$start" "$cpu_start" && built=$elapsed_now built_in[$preset]=$elapsed_now
    echo "$preset: configured and built in $built"
    [ "$phase" = all ] || return
    cpu && start=$SECONDS cpu_start=$cpu_now
  fi
  test_preset "$preset" "$built" "$start" "$cpu_start"
}

build_preset() {
  local preset=$1
  local log_cfg=$logs/$preset-configure.log log_build=$logs/$preset-build.log
  local extra=() targets=()
  [ "$preset" = fuzz ] && extra=(-DVELKSCAN_FUZZ_SECONDS="$fuzz_seconds")
  # The Windows end-to-end test takes the native programs the deb stage builds
  # (or has built).
  [[ "$preset" == win* ]] && { $with_deb || [ -f build/deb/CMakeCache.txt ]; } &&
    extra=(-DVELKSCAN_NATIVE_BUILD="$root/build/deb")
  # Where their tests cannot run, only the programs users get are built.
  local kind=${preset#win-}
  ! $runs_32bit && [[ "$preset" == win-[ua] ]] && targets=(--target "Velkscan${kind^^}")
  if ! cmake --preset "$preset" "${extra[@]}" >"$log_cfg" 2>&1; then
    fail_step "$preset" configure "$log_cfg"
    [ "$preset" != deb ] || : >"$deb_built"
    return 1
  fi
  if ! nice -n 10 cmake --build --preset "$preset" --parallel "$jobs" "${targets[@]}" >"$log_build" 2>&1; then
    fail_step "$preset" build "$log_build"
    [ "$preset" != deb ] || : >"$deb_built"
    return 1
  fi
  [ "$preset" != deb ] || : >"$deb_built"
}

# test_preset PRESET BUILT START CPU_START
test_preset() {
  local preset=$1 built=$2 start=$3 cpu_start=$4
  local log_test=$logs/$preset-test.log junit=$logs/$preset-junit.xml
  rm -f "$junit"
  if ! $runs_32bit && [[ "$preset" == win-[ua] ]]; then
    check_imports_only "$preset" "$log_test"
    elapsed "$start" "$cpu_start"
    timings+=("$preset: built in $built, imports checked in $elapsed_now")
    return
  fi
  local status=0
  if [[ "$preset" == win* ]]; then
    # The report box's tests open windows: they need a display.
    on_display ctest --preset "$preset" --parallel "$jobs" --output-junit "$junit" >"$log_test" 2>&1 || status=$?
  elif [ "$preset" = fuzz ]; then
    # The fuzzers only compute, for a fixed time: lowered as the builds are.
    nice -n 10 ctest --preset "$preset" --parallel "$jobs" --output-junit "$junit" >"$log_test" 2>&1 || status=$?
  else
    ctest --preset "$preset" --parallel "$jobs" --output-junit "$junit" >"$log_test" 2>&1 || status=$?
  fi
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
  local tested
  elapsed "$start" "$cpu_start" && tested=$elapsed_now
  echo "$preset: tests ran in $tested"
  timings+=("$preset: built in $built, tested in $tested")
}

# on_display COMMAND...: runs it with DISPLAY set, on an Xvfb of its own
# where none is set (Xvfb takes a free display and names it once it serves
# it: two at once never take the same one).
on_display() {
  [ -z "${DISPLAY:-}" ] || { "$@"; return; }
  local fifo status=0 xvfb number
  fifo=$(mktemp -u "$logs/display-XXXXXX")
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
  xvfb=$!
  if ! read -r number <"$fifo"; then
    rm -f "$fifo"
    echo "Xvfb did not start"
    return 1
  fi
  rm -f "$fifo"
  DISPLAY=:$number "$@" || status=$?
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  return "$status"
}

# The packages as users get them: one step, one test in the summary.
run_package() {
  local start=$SECONDS log_build=$logs/package-build.log log_test=$logs/package-test.log cpu_start
  cpu && cpu_start=$cpu_now
  echo
  echo "== package"
  if ! VELKSCAN_JOBS=$jobs bash scripts/package.sh >"$log_build" 2>&1; then
    fail_step package build "$log_build"
    return
  fi
  local built
  elapsed "$start" "$cpu_start" && built=$elapsed_now
  echo "package: built in $built"
  cpu && start=$SECONDS cpu_start=$cpu_now
  if bash tests/package/package_test.sh build/dist >"$log_test" 2>&1; then
    passed=$((passed + 1))
    grep -E '^(Depends|lintian|package test)' "$log_test"
  else
    failed=$((failed + 1))
    failures+=("package tests")
    cat "$log_test"
  fi
  local tested
  elapsed "$start" "$cpu_start" && tested=$elapsed_now
  echo "package: tested in $tested"
  timings+=("package: built in $built, tested in $tested")
}

# The sources' format: one step, one test in the summary.
run_format() {
  local log=$logs/format.log
  echo
  echo "== format"
  if bash scripts/check-format.sh >"$log" 2>&1; then
    passed=$((passed + 1))
    cat "$log"
  else
    fail_step format check "$log"
  fi
}

run_stage() {
  case $1 in
    format) run_format ;;
    package) run_package ;;
    *) run_preset "$@" ;;
  esac
}

# The Windows stages in their lane (unless serial), the package stage after
# both lanes (it packs what both built), the others in turn.
with_deb=false
deb_built=$logs/deb.built
rm -f "$deb_built"
lane=() others=() last=()
for preset in "${presets[@]}"; do
  [ "$preset" != deb ] || with_deb=true
  case $preset in
    win*) lane+=("$preset") ;;
    package) last+=("$preset") ;;
    *) others+=("$preset") ;;
  esac
done
if [ "${VELKSCAN_SERIAL:-0}" = 1 ] || [ ${#lane[@]} -eq 0 ] || [ ${#others[@]} -eq 0 ]; then
  others=("${presets[@]}") lane=() last=()
  with_deb=false
fi

cpu && total_start=$SECONDS total_cpu=$cpu_now
lane_out=$logs/lane.out lane_state=$logs/lane.state
rm -f "$lane_state"
if [ ${#lane[@]} -gt 0 ]; then
  echo
  echo "== ${lane[*]}: beside the stages below; their output follows when they end"
  (
    passed=0 failed=0 skipped=0 failures=() failures_not_run=() timings=()
    # Their builds first, beside the deb stage's build, then their tests,
    # which mostly wait: beside the other stages' builds, not their tests
    # (whose checkers run at idle priority, behind any build).
    for preset in "${lane[@]}"; do run_stage "$preset" build; done
    for preset in "${lane[@]}"; do run_stage "$preset" test; done
    {
      echo "lane_counts=($passed $failed $skipped)"
      [ ${#failures[@]} -eq 0 ] || echo "lane_failures=($(printf '%q ' "${failures[@]}"))"
      [ ${#failures_not_run[@]} -eq 0 ] || echo "lane_not_run=($(printf '%q ' "${failures_not_run[@]}"))"
      [ ${#timings[@]} -eq 0 ] || echo "lane_timings=($(printf '%q ' "${timings[@]}"))"
      # Its whole processor time: its shell's and its children's.
      times >"$logs/times.lane"
      echo "lane_cpu=$(awk '{ for (i = 1; i <= 2; ++i) { split($i, p, "m"); t += p[1] * 60 + p[2] } } END { printf "%d", t }' "$logs/times.lane")"
    } >"$lane_state.new"
    mv "$lane_state.new" "$lane_state"
  ) >"$lane_out" 2>&1 </dev/null &
  lane_pid=$!
fi
for preset in "${others[@]}"; do run_stage "$preset"; done
if [ ${#lane[@]} -gt 0 ]; then
  wait "$lane_pid"
  cat "$lane_out"
  lane_counts=() lane_failures=() lane_not_run=() lane_timings=()
  # shellcheck source=/dev/null
  [ -s "$lane_state" ] && source "$lane_state"
  if [ ${#lane_counts[@]} -eq 3 ]; then
    passed=$((passed + lane_counts[0])) failed=$((failed + lane_counts[1])) skipped=$((skipped + lane_counts[2]))
    failures+=("${lane_failures[@]}") failures_not_run+=("${lane_not_run[@]}") timings+=("${lane_timings[@]}")
  else
    failed=$((failed + 1))
    failures+=("${lane[*]}: ended without a summary")
  fi
fi
for preset in "${last[@]}"; do run_stage "$preset"; done

# The wine test runs leave one wineserver per prefix for a while; end them.
for prefix in build/win-u/wine build/win-a/wine build/win64-u/wine build/win64-a/wine; do
  if [ -d "$prefix" ]; then WINEPREFIX=$root/$prefix wineserver -k 2>/dev/null || true; fi
done

echo
printf '%s\n' "${timings[@]}"
elapsed "$total_start" "$total_cpu"
echo "== ${presets[*]}: $elapsed_now after install-deps"
if [ "$lane_cpu" -gt 0 ]; then
  total=$((cpu_now - total_cpu + lane_cpu))
  echo "   processor time of every stage, the Windows lane's $lane_cpu s included: $total s" \
    "($((total / 2)) s over two processors)"
fi
if [ ${#failures[@]} -gt 0 ]; then
  echo "Failed: ${failures[*]}"
fi
if [ ${#failures_not_run[@]} -gt 0 ]; then
  echo "NOT RUN: ${failures_not_run[*]}"
fi
if [ "$skipped" -gt 0 ]; then
  echo "Summary: $passed passed, $failed failed, $skipped skipped"
else
  echo "Summary: $passed passed, $failed failed"
fi
[ ${#failures[@]} -eq 0 ] && [ "$failed" -eq 0 ]
