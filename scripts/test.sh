#!/usr/bin/env bash
# The whole test suite: installs what is missing, then checks and builds and tests
#   format the C++ sources as clang-format writes them (scripts/check-format.sh)
#   asan   native debug build under AddressSanitizer and UndefinedBehaviorSanitizer:
#          every unit and end-to-end test (the fuzz targets replay their seeds)
#   deb    optimised, with Debian's hardening flags: the same tests on the
#          programs the .deb holds, and the benchmarks built (so that they
#          cannot rot; measured in the release preset); the tests' and the
#          benchmarks' own sources at -O1 (VELKSCAN_TEST_FLAGS), which halves
#          their compile time, the libraries and programs as shipped
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
# The asan, tsan and fuzz trees are unity builds (CMAKE_UNITY_BUILD); deb and
# the Windows trees compile file by file, so a missing include fails there.
# Every preset here turns warnings into errors. Each stage prints its time on
# the clock and the processor time it took (the second grows far less with
# other work on the machine); full logs go to build/logs/. Exits non-zero
# when anything failed.
#
# The stages run in three lanes, since the two processors are the limit:
#   builds   the native trees one after the other (deb, asan, tsan, fuzz), each
#            with both processors, at a lowered priority (nice)
#   tests    the format check, then each native tree's tests as soon as that
#            tree is built, beside the next build (tests mostly wait, for the
#            programs they start, a display, a file; the build fills the
#            processors meanwhile); the packing after the deb tree's tests
#            (it waits for the Windows builds, whose programs it packs)
#   windows  the Windows trees' builds, then their tests (which wait for the
#            deb tree, whose velkgen and velkscan-cli they drive)
# Tests run at the priority they were started with, the fuzzers lowered as
# the builds are. The build lane's lines come as it goes; the other lanes'
# follow when they end, each stage's lines together. VELKSCAN_SERIAL=1 runs
# every stage in turn instead, as does a run of one stage.
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
# into $cpu_now (the builtin times, in this shell: a $(...) would ask a
# subshell). A lane runs in a subshell of its own, so its figures are its own
# stages' alone; the main shell runs no stage while lanes run, and counts them
# all once it has waited for them.
cpu() {
  local file=$logs/times.$BASHPID
  times >"$file"
  cpu_now=$(sed -n 2p "$file" | awk '{ t = 0; for (i = 1; i <= 2; ++i) { split($i, p, "m"); t += p[1] * 60 + p[2] } printf "%d", t }')
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

# A tree's build leaves $logs/PRESET.built: "ok" and its time, or "failed"
# (reported by the lane that built it). wait_built PRESET waits for it while
# the build lane runs.
builder=''
mark_built() { echo "$2" >"$logs/$1.built.new" && mv "$logs/$1.built.new" "$logs/$1.built"; }
wait_built() {
  until [ -e "$logs/$1.built" ] || [ -z "$builder" ] || ! kill -0 "$builder" 2>/dev/null; do sleep 1; done
}

# run_preset PRESET [all|build|test]: configures, builds and tests, or only
# the first two or the last (once its build phase has ended).
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
    wait_built deb
    start=$SECONDS
  fi
  if [ "$phase" = test ]; then
    wait_built "$preset"
    local state
    state=$(cat "$logs/$preset.built" 2>/dev/null)
    # A build that failed has been reported.
    [[ "$state" == ok* ]] || return
    built=${state#ok }
    start=$SECONDS
    cpu && cpu_start=$cpu_now
  else
    cpu && cpu_start=$cpu_now
    build_preset "$preset" || { mark_built "$preset" failed; return; }
    elapsed "$start" "$cpu_start" && built=$elapsed_now
    mark_built "$preset" "ok $built"
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
    return 1
  fi
  if ! nice -n 10 cmake --build --preset "$preset" --parallel "$jobs" "${targets[@]}" >"$log_build" 2>&1; then
    fail_step "$preset" build "$log_build"
    return 1
  fi
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

# Three lanes, unless serial: the native trees' builds one after the other
# (each at both processors, lowered); their tests, each once its tree is
# built, beside the next build (the format check first, the packing after the
# deb tree's tests); and the Windows stages. Tests mostly wait (for a child
# process, a display, wine), so the builds beside them fill the processors;
# the last build's tests, the fuzzers, keep them busy alone at the end.
with_deb=false
formats=() natives=() wins=() packs=()
for preset in "${presets[@]}"; do
  [ "$preset" != deb ] || with_deb=true
  case $preset in
    format) formats+=("$preset") ;;
    win*) wins+=("$preset") ;;
    package) packs+=("$preset") ;;
    *) natives+=("$preset") ;;
  esac
done
rm -f "$logs"/*.built
parallel=true
if [ "${VELKSCAN_SERIAL:-0}" = 1 ] || [ ${#natives[@]} -eq 0 ] || [ ${#presets[@]} -eq 1 ]; then
  parallel=false with_deb=false
fi

# lane_summary FILE: a lane's counts, failures and times, for the main shell.
lane_summary() {
  {
    echo "lane_counts=($passed $failed $skipped)"
    [ ${#failures[@]} -eq 0 ] || echo "lane_failures=($(printf '%q ' "${failures[@]}"))"
    [ ${#failures_not_run[@]} -eq 0 ] || echo "lane_not_run=($(printf '%q ' "${failures_not_run[@]}"))"
    [ ${#timings[@]} -eq 0 ] || echo "lane_timings=($(printf '%q ' "${timings[@]}"))"
  } >"$1.new"
  mv "$1.new" "$1"
}

# The packing waits for the Windows lane's builds (it packs their programs).
run_packing() {
  if $parallel; then
    local preset
    for preset in "${wins[@]}"; do
      [[ "$preset" != win-[ua] ]] || until [ -e "$logs/$preset.built" ] || ! kill -0 "$winlane" 2>/dev/null; do sleep 1; done
    done
  fi
  run_stage package
}

cpu && total_start=$SECONDS total_cpu=$cpu_now
if ! $parallel; then
  for preset in "${presets[@]}"; do run_stage "$preset"; done
else
  lanes=()
  (
    passed=0 failed=0 skipped=0 failures=() failures_not_run=() timings=()
    for preset in "${natives[@]}"; do run_stage "$preset" build; done
    lane_summary "$logs/lane-build.state"
  ) </dev/null &
  builder=$! lanes+=(build)
  winlane=''
  if [ ${#wins[@]} -gt 0 ]; then
    echo
    echo "== ${wins[*]}: in a lane beside the others; their output follows when they end"
    (
      passed=0 failed=0 skipped=0 failures=() failures_not_run=() timings=()
      # Their builds first, beside the deb tree's build, then their tests,
      # which mostly wait.
      for preset in "${wins[@]}"; do run_stage "$preset" build; done
      for preset in "${wins[@]}"; do run_stage "$preset" test; done
      lane_summary "$logs/lane-win.state"
    ) >"$logs/lane-win.out" 2>&1 </dev/null &
    winlane=$! lanes+=(win)
  fi
  echo
  echo "== ${formats[*]} ${natives[*]} ${packs[*]} tests: in a lane beside the builds; their output follows when they end"
  (
    passed=0 failed=0 skipped=0 failures=() failures_not_run=() timings=()
    for preset in "${formats[@]}"; do run_stage "$preset"; done
    packed=false
    for preset in "${natives[@]}"; do
      run_stage "$preset" test
      if [ "$preset" = deb ] && [ ${#packs[@]} -gt 0 ]; then run_packing; packed=true; fi
    done
    $packed || [ ${#packs[@]} -eq 0 ] || run_packing
    lane_summary "$logs/lane-test.state"
  ) >"$logs/lane-test.out" 2>&1 </dev/null &
  lanes+=(test)
  wait
  for lane in build test win; do
    [[ " ${lanes[*]} " == *" $lane "* ]] || continue
    [ "$lane" = build ] || cat "$logs/lane-$lane.out"
    lane_counts=() lane_failures=() lane_not_run=() lane_timings=()
    # shellcheck source=/dev/null
    [ -s "$logs/lane-$lane.state" ] && source "$logs/lane-$lane.state"
    if [ ${#lane_counts[@]} -eq 3 ]; then
      passed=$((passed + lane_counts[0])) failed=$((failed + lane_counts[1])) skipped=$((skipped + lane_counts[2]))
      failures+=("${lane_failures[@]}") failures_not_run+=("${lane_not_run[@]}") timings+=("${lane_timings[@]}")
    else
      failed=$((failed + 1))
      failures+=("the $lane lane: ended without a summary")
    fi
  done
fi

# The wine test runs leave one wineserver per prefix for a while; end them.
for prefix in build/win-u/wine build/win-a/wine build/win64-u/wine build/win64-a/wine; do
  if [ -d "$prefix" ]; then WINEPREFIX=$root/$prefix wineserver -k 2>/dev/null || true; fi
done

echo
printf '%s\n' "${timings[@]}"
elapsed "$total_start" "$total_cpu"
echo "== ${presets[*]}: $elapsed_now after install-deps"
total=$((cpu_now - total_cpu))
echo "   processor time of every stage: $total s ($((total / 2)) s over two processors)"
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
