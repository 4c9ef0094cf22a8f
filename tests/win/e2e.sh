#!/usr/bin/env bash
# End-to-end test of VelkscanU.exe or VelkscanA.exe under Xvfb and wine,
# driven from outside by velkscan_driver.exe (tests/win/driver.cpp):
#
#   1. main job: files from the first start's command line, a second start
#      with more (exit 0, the queued count in the first window), a second
#      start without arguments, WM_COPYDATA from a window or without data
#      (ignored) and as a second start sends it; Scan; the report equals
#      velkscan-cli's for the same files (paths aside), and so do the
#      repaired files; a screenshot of the finished job
#   2. a WM_COPYDATA during a scan is ignored; Stop in the middle of a large
#      file leaves it untouched; closing the window during a scan ends the
#      program with 0 and leaves the file untouched
#   3. names outside the code page: the wide build scans them like the
#      terminal does; the narrow build reports them as files that could not
#      be opened and never touches them or their best-fit look-alikes
#   4. a second start that comes before the first window exists waits for
#      it; two starts at the same moment give one window with both files
#   5. the two builds side by side
#
#   e2e.sh --source DIR --exe X.exe --driver DRIVER.exe --prefix WINEPREFIX
#          --work DIR --native DIR --sibling-build DIR --sibling-program NAME
#          --sibling-wide ON|OFF --shots DIR
#
# --native is a build directory for the Linux velkgen and velkscan-cli, and
# --sibling-build the Windows build of the other character type (both are
# configured there if missing, and brought up to date). Runs under its own
# Xvfb; the wine server of the prefix is ended at the end.
set -euo pipefail

args=("$@")
while [ $# -gt 0 ]; do
  case $1 in
    --source) source=$2 ;;
    --exe) exe=$2 ;;
    --driver) driver=$2 ;;
    --prefix) prefix=$2 ;;
    --work) work=$2 ;;
    --native) native=$2 ;;
    --sibling-build) sibling_build=$2 ;;
    --sibling-program) sibling_program=$2 ;;
    --sibling-wide) sibling_wide=$2 ;;
    --shots) shots=$2 ;;
    *)
      echo "e2e: unknown argument $1" >&2
      exit 2
      ;;
  esac
  shift 2
done

if [ -z "${VELKSCAN_E2E_INNER:-}" ]; then
  export VELKSCAN_E2E_INNER=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "${args[@]}"
fi

jobs=${VELKSCAN_JOBS:-2}
program=$(basename "$exe" .exe)
case $program in
  VelkscanU) kind=wide mutex="Velkscan U" ;;
  VelkscanA) kind=narrow mutex="Velkscan A" ;;
  *)
    echo "e2e: $exe is neither VelkscanU.exe nor VelkscanA.exe" >&2
    exit 2
    ;;
esac

say() { echo "e2e [$program]: $*"; }
trap 'echo "e2e [$program]: FAILED at line $LINENO" >&2' ERR
fail() {
  echo "e2e [$program]: FAILED: $*" >&2
  exit 1
}

# --- Wine ---

W() { "$source/cmake/wine-run.sh" "$prefix" "$@"; }
# The driver's lines end in "\r\n".
D() { W "$driver" "$@" </dev/null | tr -d '\r'; }
pid_of() { sed -n 's/^pid //p' <<<"$1"; }
# A Linux path as wine names it.
win() {
  local path=$1
  printf 'Z:%s' "${path//\//\\}"
}

cleanup() {
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
}
# A server left from an earlier run may belong to a display that is gone.
cleanup
trap cleanup EXIT

# --- Tools: the Linux velkgen and velkscan-cli, the other build's program ---

mkdir -p "$work" "$shots"
say "building velkgen and velkscan-cli in $native"
if [ ! -f "$native/CMakeCache.txt" ]; then
  cmake -S "$source" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKSCAN_TESTS=OFF \
    -DVELKSCAN_BENCH=OFF >"$work/native.log" 2>&1 || { cat "$work/native.log"; fail "configuring $native"; }
fi
cmake --build "$native" --target velkgen velkscan-cli --parallel "$jobs" >"$work/native.log" 2>&1 ||
  { tail -n 40 "$work/native.log"; fail "building velkgen and velkscan-cli"; }
velkgen=$native/tools/velkgen/velkgen
cli=$native/src/cli/velkscan-cli

say "building $sibling_program in $sibling_build"
if [ ! -f "$sibling_build/CMakeCache.txt" ]; then
  cmake -S "$source" -B "$sibling_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Debug -DVELKSCAN_WIDE="$sibling_wide" -DVELKSCAN_TESTS=ON -DVELKSCAN_BENCH=OFF \
    >"$work/sibling.log" 2>&1 || { cat "$work/sibling.log"; fail "configuring $sibling_build"; }
fi
cmake --build "$sibling_build" --target "$sibling_program" --parallel "$jobs" >"$work/sibling.log" 2>&1 ||
  { tail -n 40 "$work/sibling.log"; fail "building $sibling_program"; }
sibling_exe=$sibling_build/src/app/win32/$sibling_program.exe

# Under Xvfb there is no window manager: wine draws the captions itself.
W reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
# The first program that touches the desktop starts wine's desktop
# process, which keeps that program's output open: let it be this one.
W "$driver" windows </dev/null >/dev/null 2>&1

EXE=$(win "$exe")
SIBLING=$(win "$sibling_exe")

# --- Sample files ---

orig=$work/orig   # as generated
files=$work/files # the window's copies
clid=$work/cli    # velkscan-cli's copies
rm -rf "$orig" "$files" "$clid"
mkdir -p "$orig/names" "$orig/walk/Łódź"
gen() {
  local out=$1
  shift
  "$velkgen" "$@" "$orig/$out" >/dev/null
}
say "generating sample files"
gen good1.vlk --stream-version 7 --frames 300 --seed 11
gen "b r o k e n.vlk" --stream-version 5 --frames 400 --damage flip --seed 12
gen tagged.vlk --stream-version 7 --frames 200 --id3 --seed 13
printf 'not a Velk stream at all\n' >"$orig/notes.vlk"
gen extra.vkq --stream-version 23 --frames 150 --damage truncate --seed 14
gen café.vlk --stream-version 6 --frames 250 --damage zero --seed 15
gen good2.vlk --stream-version 4 --frames 100 --seed 16
# Broken at the very end: only a scan that reaches it rewrites the header.
gen medium.vlk --stream-version 7 --frames 40000 --damage overclaim --seed 17
gen big.vlk --stream-version 7 --frames 80000 --damage overclaim --seed 18
# Code page 1252 holds none of ł, ź, Ł; best fit makes "łódź" "lódz" and
# "źdźbło" "zdzblo": those look-alikes exist and must stay untouched.
gen names/łódź.vlk --stream-version 7 --frames 120 --damage flip --seed 19
gen names/lódz.vlk --stream-version 7 --frames 120 --damage flip --seed 20
gen names/źdźbło.vlk --stream-version 5 --frames 120 --damage flip --seed 21
gen names/zdzblo.vlk --stream-version 5 --frames 120 --damage flip --seed 22
gen walk/Łódź/inner.vlk --stream-version 6 --frames 120 --damage flip --seed 23
# Many small files broken at their end: a report line, and so a display
# update, for every one of them.
mkdir -p "$orig/many"
gen many/0.vlk --stream-version 7 --frames 100 --damage overclaim --seed 24
for i in $(seq 1 299); do cp "$orig/many/0.vlk" "$orig/many/$i.vlk"; done
cp -r "$orig" "$files"
cp -r "$orig" "$clid"

F=$(win "$files")
q() { printf '"%s\\%s"' "$F" "${1//\//\\}"; } # a quoted Windows path below files/

# The report as velkscan-cli writes it, paths relative to its folder.
cli_report() {
  local out=$1
  shift
  local status=0
  (cd "$clid" && "$cli" --repair --jobs 1 --priority normal "$@") >"$out.raw" || status=$?
  [ "$status" -le 3 ] || fail "velkscan-cli ended with $status"
  sed "s#^$clid/##" "$out.raw" >"$out"
}

# A report box's text (UTF-8, "\r\n") with the files' folder left out and
# "\" as "/" in what is left of the paths; as velkscan-cli writes it.
window_report() {
  local in=$1 out=$2 text
  text=$(tr -d '\r' <"$in")
  text=${text//"$F\\"/}
  text=${text//\\//}
  printf '%s\n' "$text" >"$out"
}

expect_same_files() {
  local name
  for name in "$@"; do
    cmp -s "$files/$name" "$clid/$name" || fail "$name differs from velkscan-cli's repaired copy"
  done
}
expect_untouched() {
  local name
  for name in "$@"; do
    cmp -s "$files/$name" "$orig/$name" || fail "$name was changed"
  done
}

# A picture for people to look at; the test does not depend on it.
screenshot() {
  if import -window root "$shots/$1.png" 2>/dev/null; then
    say "screenshot $shots/$1.png"
  else
    say "no screenshot (import failed)"
  fi
}

# Waits for the report box to show a display text after a change.
expect_box() {
  D wait-report "$1" "$2" "$(win "$work/box.txt")" 10000 >/dev/null
  D expect-report "$1" "$2"
}
prompt="Drag and drop files/directories you want to scan..."

# --- 1. The main job ---

say "1. main job"
out=$(D launch "$EXE" "$(q good1.vlk) $(q "b r o k e n.vlk")")
pid=$(pid_of "$out")
[ -n "$pid" ] || fail "no window: $out"
D check-window "$pid"
expect_box "$pid" "2 files waiting for scanning..."
D expect-button "$pid" Scan 1

# A second start with more files (two spaces: an empty argument).
D second "$EXE" "$(q tagged.vlk) $(q notes.vlk)  $(q missing.vlk)"
expect_box "$pid" "5 files waiting for scanning..."
# Without arguments: ends at once, well before the wait for a window would.
D second "$EXE" "" 4000
D expect-report "$pid" "5 files waiting for scanning..."

# WM_COPYDATA from a window, or without data: ignored; as a second start
# sends it: taken.
D copydata "$pid" "$kind" from-window "$(q extra.vkq)"
D copydata "$pid" "$kind" no-data "$(q extra.vkq)"
D expect-report "$pid" "5 files waiting for scanning..."
D copydata "$pid" "$kind" "$(q extra.vkq)"
expect_box "$pid" "6 files waiting for scanning..."
# A path too long to open is not cut short and added: the window says so.
long=$(printf 'a%.0s' $(seq 1 300))
D copydata "$pid" "$kind" "\"$F\\$long.vlk\""
D overlong-box "$pid" "$long.vlk"
D expect-report "$pid" "6 files waiting for scanning..."
# A name outside ASCII that the code page holds.
D second "$EXE" "$(q café.vlk)"
expect_box "$pid" "7 files waiting for scanning..."

# Escape does nothing; Enter presses the default button, Scan.
D key "$pid" escape
D key "$pid" return
D wait-report "$pid" "Scanned 7 files" "$(win "$work/main.txt")" 60000 >/dev/null
D expect-button "$pid" Scan 0
[ "$(D progress "$pid")" = "progress 0" ] || fail "the progress bar is not back at 0"
screenshot "$program-finished"
window_report "$work/main.txt" "$work/main.window"
cli_report "$work/main.cli" good1.vlk "b r o k e n.vlk" tagged.vlk notes.vlk missing.vlk extra.vkq café.vlk
diff -u "$work/main.cli" "$work/main.window" || fail "the report differs from velkscan-cli's"
expect_same_files good1.vlk "b r o k e n.vlk" tagged.vlk notes.vlk extra.vkq café.vlk
cmp -s "$orig/b r o k e n.vlk" "$clid/b r o k e n.vlk" && fail "velkscan-cli did not repair b r o k e n.vlk"
say "report and repairs as velkscan-cli's"

# --- 2. During a scan ---

say "2. during a scan"
D copydata "$pid" "$kind" "$(q medium.vlk)"
expect_box "$pid" "1 file waiting for scanning..."
D copydata-midway "$pid" "$kind" "$(q good2.vlk)"
D wait-report "$pid" "Scanned " "$(win "$work/during.txt")" 60000 >/dev/null
grep -q "Scanned 1 file, errors with 1." "$work/during.txt" || fail "a file forwarded during the scan was taken"
# Nothing waits either: the message was dropped, not kept for later.
D expect-button "$pid" Scan 0

D copydata "$pid" "$kind" "$(q big.vlk)"
expect_box "$pid" "1 file waiting for scanning..."
D stop-midway "$pid"
expect_box "$pid" "$prompt"
D expect-button "$pid" Scan 0
[ "$(D progress "$pid")" = "progress 0" ] || fail "the progress bar is not back at 0 after Stop"
expect_untouched big.vlk
# A scan to the end would have rewritten it.
"$cli" --repair --jobs 1 --priority normal "$clid/big.vlk" >/dev/null || true
cmp -s "$orig/big.vlk" "$clid/big.vlk" && fail "big.vlk is not broken at its end"

# Stop while the worker is updating the display all the time: neither
# thread may wait for the other (the dialog waits for the worker to end).
for round in 1 2 3; do
  cp "$orig"/many/* "$files/many/"
  D copydata "$pid" "$kind" "$(q many)"
  expect_box "$pid" "300 files waiting for scanning..."
  D stop-midway "$pid"
  expect_box "$pid" "$prompt"
done

D copydata "$pid" "$kind" "$(q big.vlk)"
expect_box "$pid" "1 file waiting for scanning..."
D close-midway "$pid"
expect_untouched big.vlk
say "Stop and close during a scan leave the file untouched"

# --- 3. Names outside the code page ---

say "3. names outside the code page"
out=$(D launch "$EXE" "$(q names/łódź.vlk)")
pid=$(pid_of "$out")
[ -n "$pid" ] || fail "no window: $out"
expect_box "$pid" "1 file waiting for scanning..."
D second "$EXE" "$(q walk) $(q names/źdźbło.vlk)"
expect_box "$pid" "3 files waiting for scanning..."
D click "$pid"
D wait-report "$pid" "Scanned 3 files" "$(win "$work/names.txt")" 60000 >/dev/null
screenshot "$program-names"
window_report "$work/names.txt" "$work/names.window"
if [ "$kind" = wide ]; then
  cli_report "$work/names.cli" names/łódź.vlk walk names/źdźbło.vlk
  diff -u "$work/names.cli" "$work/names.window" || fail "the report differs from velkscan-cli's"
  expect_same_files names/łódź.vlk names/źdźbło.vlk walk/Łódź/inner.vlk
else
  printf '%s\n' "Scanning 3 files..." \
    "names/?ód?.vlk: file open failed." \
    "walk/?ód?/inner.vlk: file open failed." \
    "names/?d?b?o.vlk: file open failed." \
    "----------" \
    "Scanned 3 files, errors with 3." >"$work/names.expected"
  diff -u "$work/names.expected" "$work/names.window" || fail "names outside the code page were not refused"
  expect_untouched names/łódź.vlk names/źdźbło.vlk walk/Łódź/inner.vlk
fi
expect_untouched names/lódz.vlk names/zdzblo.vlk
D close "$pid"
say "names outside the code page as expected, look-alikes untouched"

# --- 4. Starting twice ---

say "4. a second start before the window, and two at once"
[ "$(D windows | head -n 1)" = "windows 0" ] || fail "a window is left over"
out=$(D late-first "$EXE" "$mutex" "$(q good1.vlk)")
pid=$(pid_of "$out")
[ -n "$pid" ] || fail "no window: $out"
expect_box "$pid" "1 file waiting for scanning..."
D close "$pid"
for round in 1 2 3; do
  out=$(D race "$EXE" "$(q good1.vlk)" "$(q tagged.vlk)")
  pid=$(pid_of "$out")
  [ -n "$pid" ] || fail "no window: $out"
  expect_box "$pid" "2 files waiting for scanning..."
  D close "$pid"
done

# --- 5. Side by side ---

say "5. side by side with $sibling_program"
out=$(D launch "$EXE" "$(q good1.vlk)")
pid=$(pid_of "$out")
out=$(D launch "$SIBLING" "$(q good2.vlk) $(q tagged.vlk)")
other=$(pid_of "$out")
[ -n "$pid" ] && [ -n "$other" ] || fail "the two builds do not start side by side"
[ "$(D windows | head -n 1)" = "windows 2" ] || fail "not two windows"
D check-window "$other"
expect_box "$pid" "1 file waiting for scanning..."
expect_box "$other" "2 files waiting for scanning..."
D second "$EXE" "" 4000
D second "$SIBLING" "" 4000
D click "$pid"
D click "$other"
D wait-report "$pid" "Scanned 1 file" "$(win "$work/side1.txt")" 60000 >/dev/null
D wait-report "$other" "Scanned 2 files" "$(win "$work/side2.txt")" 60000 >/dev/null
D close "$pid"
D close "$other"

rm -rf "$orig" "$files" "$clid"
say "all passed"
