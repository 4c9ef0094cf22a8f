#!/usr/bin/env bash
# End-to-end smoke of one Windows build under Xvfb and wine, with real input
# (xdotool; probe.exe reads the window): a second start from another folder
# forwards a relative name (repaired as velkscan-cli repairs it, the window's
# namesake untouched); Escape does nothing; Ctrl+A, Ctrl+C copy the report;
# forwarded paths beyond 260 characters, missing or during a scan; Tab; Ctrl+A
# and PageDown at $MANY rows; under a flood of $FLOOD report lines, Stop and
# closing change no file after the input but the one checked.
#   e2e.sh --source DIR --exe X.exe --probe P.exe --prefix DIR --work DIR --native DIR
set -euo pipefail
FLOOD=${FLOOD:-6000}
MANY=${MANY:-10000}
while [ $# -gt 0 ]; do
  case $1 in --source | --exe | --probe | --prefix | --work | --native) declare "${1#--}=$2" ;; esac
  shift 2
done
fail() {
  echo "e2e: FAILED: $*" >&2
  exit 1
}
for tool in Xvfb xdotool inotifywait xinput; do command -v $tool >/dev/null || fail "$tool is missing (scripts/install-deps.sh)"; done

# The Linux velkgen and velkscan-cli (scripts/test.sh gives its deb tree's, built already).
if [ ! -f "$native/CMakeCache.txt" ]; then
  cmake -S "$source" -B "$native" -DCMAKE_BUILD_TYPE=Release -DVELKSCAN_TESTS=OFF -DVELKSCAN_BENCH=OFF >/dev/null
fi
cmake --build "$native" --target velkgen velkscan-cli >/dev/null
velkgen=$native/tools/velkgen/velkgen
cli=$native/src/cli/velkscan-cli

rm -rf "$work" && mkdir -p "$work/a" "$work/b" "$work/cli" "$work/flood"
# The display server, window manager and input come first, as a desktop's
# do, so that the busy machine does not hold up the input on its way. Xvfb
# takes a free display and names it once it serves it.
rt=()
chrt -f 10 true 2>/dev/null && rt=(chrt -f 10)
mkfifo "$work/displayfd"
"${rt[@]}" Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/displayfd" &
trap 'kill $(jobs -p) 2>/dev/null; WINEPREFIX=$prefix wineserver -k 2>/dev/null || true' EXIT
read -r number <"$work/displayfd" || fail "Xvfb did not start"
export DISPLAY=:$number
# The window manager only closes on Alt+F4: a mouse binding would hold every
# click back until the manager has acted on it, counted against the program.
printf '%s' '<openbox_config xmlns="http://openbox.org/3.4/rc"><keyboard><keybind key="A-F4"><action name="Close"/>' \
  '</keybind></keyboard><mouse><context name="Client"/></mouse></openbox_config>' >"$work/openbox.xml"
command -v openbox >/dev/null && { "${rt[@]}" openbox --config-file "$work/openbox.xml" >/dev/null 2>&1 & }
run() { "$source/cmake/wine-run.sh" "$prefix" "$@"; }
probe() { run "$probe" "$@" | tr -d '\r'; }
await() { for _ in $(seq "$2"); do grep -q "$1" <<<"$(probe text 1000)" && break; sleep 0.1; done; }
# The probe first: a new prefix takes the kind of the program run in it.
probe gone && run reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1

"$velkgen" --frames 30 --damage truncate --seed 1 "$work/a/t.vlk" >/dev/null
"$velkgen" --frames 40 --damage truncate --seed 2 "$work/b/t.vlk" >/dev/null
"$velkgen" --frames 16 --damage truncate --seed 3 "$work/flood.bin" >/dev/null
cp "$work/a/t.vlk" "$work/a.orig"
cp "$work/b/t.vlk" "$work/cli/t.vlk"
mapfile -t names < <(seq -f "$work/flood/f%05g.vlk" 1 "$FLOOD")

# The window runs in folder a; the second start in folder b names t.vlk.
(cd "$work/a" && run "$exe") &
probe wait || fail "no window"
(cd "$work/b" && run "$exe" t.vlk) || fail "the second start failed"
await 'waiting for scanning' 50
xdotool search --sync --onlyvisible --name '^Velkscan$' windowactivate --sync 2>/dev/null || true
# Escape with the report box focused does nothing: the Return after it, taken
# in order, still scans.
read -r x y < <(probe where 1000)
xdotool mousemove "$x" "$y" click 1 key Escape

xdotool key Return
await 'Scanned 1 file' 100
probe text 1000 | grep -q 'Scanned 1 file, errors with 1' ||
  fail "Escape closed the window, or the forwarded file was not scanned: $(probe text 1000)"
(cd "$work/cli" && "$cli" --repair t.vlk >/dev/null) || [ $? -eq 1 ] || fail "velkscan-cli"
cmp -s "$work/b/t.vlk" "$work/cli/t.vlk" || fail "b/t.vlk is not repaired as velkscan-cli repairs it"
cmp -s "$work/a/t.vlk" "$work/a.orig" || fail "a/t.vlk, which nobody named, was changed"
# Ctrl+A and Ctrl+C in the report box copy the whole report.
xdotool mousemove "$x" "$y" click 1 key ctrl+a key ctrl+c
report=$(probe text 1000)
for _ in $(seq 50); do [ "$(probe clipboard)" = "$report" ] && break; sleep 0.1; done
[ "$(probe clipboard)" = "$report" ] || fail "Ctrl+A, Ctrl+C copied '$(probe clipboard)'"

# A path up to the walk's limit is taken as an argument too, and checked; a
# longer one is named whole in a notice no wider than the screen; a missing
# name with a Velk extension is listed (its open fails), one without gets a line.
long=long/$(printf '%0100d' 0)/$(printf '%0100d' 1)/$(printf '%090d' 2)
over=$long/$(printf '%0250d' 3)/$(printf '%0200d' 4).vlk
mkdir -p "$work/$long"
"$velkgen" --frames 50 --damage truncate --seed 4 "$work/$long/t.vlk" >/dev/null
cp "$work/$long/t.vlk" "$work/cli/long.vlk"
(cd "$work" && run "$exe" "$long/t.vlk" "$over" missing.vlk nothere) || fail "the second start failed"
for _ in $(seq 100); do box=$(xdotool search --onlyvisible --name 'paths not added') && break; sleep 0.1; done
# The message box's text is its control 0xFFFF.
[[ "$(probe text 65535 'Velkscan: paths not added' | tr -d '\n')" == *"Z:${work//\//\\}\\${over//\//\\}" ]] ||
  fail "the notice does not name the path"
read -r width < <(xdotool getwindowgeometry "$box" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
read -r screen _ < <(xdotool getdisplaygeometry)
[ "$width" -le "$screen" ] || fail "the notice is $width pixels wide on a screen of $screen"
xdotool key Return
for _ in $(seq 50); do xdotool search --onlyvisible --name "paths not added" >/dev/null || break; sleep 0.1; done
[ "$(probe text 1000)" = "2 files waiting for scanning..." ] || fail "after the second start: $(probe text 1000)"
# Tab into the box: its caret's row shows a frame (dots on its top line).
read -r left top right _ < <(probe client 1000)
xdotool key Tab
for _ in $(seq 30); do dots=$(import -window root -crop "$((right - left))x1+$left+$top" txt:- | grep -vc 'white\|#FFFFFF') && [ "$dots" -gt 1 ] && break; sleep 0.1; done
[ "$dots" -gt 1 ] || fail "no focus cue in the report box after Tab"
xdotool key shift+Tab Return
await 'Scanned 2 files' 100
probe text 1000 | grep -q 'Scanned 2 files, errors with 4' || fail "the missing names: $(probe text 1000)"
(cd "$work/cli" && "$cli" --repair long.vlk >/dev/null) || [ $? -eq 1 ] || fail "velkscan-cli"
cmp -s "$work/$long/t.vlk" "$work/cli/long.vlk" || fail "the long path was not repaired: $(probe text 1000)"

# Selecting among many rows is served at once: the time from Ctrl+A and
# PageDown to the clipboard's change by the Ctrl+C after them (one row).
mkdir "$work/many" && (cd "$work/many" && seq -f 'e%05g.vlk' 1 "$MANY" | xargs touch)
(cd "$work" && run "$exe" many) || fail "the second start failed"
xdotool key Return
await "Scanned $MANY files" 600
xdotool mousemove "$x" "$y" click 1
rm -f "$work/ready"
probe watch clip "Z:${work//\//\\}\\ready" >"$work/clip" &
until [ -e "$work/ready" ]; do sleep 0.01; done
given=${EPOCHREALTIME/./}
xdotool key ctrl+a Next ctrl+c
wait $!
read -r done lines < <(tr -d '\r' <"$work/clip")
took=$(((done - given) / 1000))
[ "$lines" = 1 ] || fail "Ctrl+A, PageDown, Ctrl+C copied $lines lines"
echo "e2e: $(basename "$exe"): at $MANY rows, Ctrl+A and PageDown served within $took ms"
[ "$took" -le 1000 ] || fail "selecting among $MANY rows is slow"

# The flood, stopped by a click on Stop, by Enter, closed with Alt+F4, each
# in a new window: no file changed after the input beyond the one being
# checked. One xdotool reads the inputs (latency printed from the line given).
exec 7> >(exec "${rt[@]}" xdotool - >/dev/null 2>&1)
xdotool key alt+F4
probe gone || fail "the window did not close"
for input in "click 1" "key Return" "key alt+F4"; do
  tee "${names[@]}" <"$work/flood.bin" >/dev/null
  (cd "$work/b" && run "$exe" ../flood) &
  pid=$!
  probe wait || fail "no window"
  xdotool search --sync --onlyvisible --name '^Velkscan$' windowactivate --sync >/dev/null 2>&1 || true
  read -r x y < <(probe where 1)
  echo "mousemove $x $y" >&7
  # The changes in the kernel's order (file times are too coarse), from before the scan.
  rm -f "$work/ready" "$work/flood/mark" "$work/flood/end" "$work/watching" "$work/xi"
  inotifywait -m -e create,modify --format %f "$work/flood" >"$work/events" 2>"$work/watching" &
  watcher=$!
  until grep -qs established "$work/watching"; do sleep 0.01; done
  xdotool key Return
  # While the flood is in full swing: a few dozen files repaired.
  for _ in $(seq 300); do [ "$(wc -l <"$work/events")" -ge 40 ] && break; sleep 0.02; done
  [ "$(probe text 1)" = Stop ] || fail "the scan ended before $input"
  if [ "$input" = "click 1" ]; then
    # A name forwarded during the scan is not added, and the window says so.
    (cd "$work/b" && run "$exe" t.vlk) || fail "the second start failed"
    grep -qF '\b\t.vlk: not added (a scan is running).' <<<"$(probe text 1000)" ||
      fail "no line for a name forwarded during a scan"
  fi
  # The mark, once the display server has taken the input.
  "${rt[@]}" bash -c "stdbuf -oL xinput test-xi2 --root | tee '$work/xi' |
    { grep -q -m1 'Raw\(Key\|Button\)Press' && : >'$work/flood/mark'; }" &
  probe watch "$([ "$input" = "key alt+F4" ] && echo 0 || echo 1)" "Z:${work//\//\\}\\ready" >"$work/done" &
  until [ -e "$work/ready" ] && grep -qs core "$work/xi"; do sleep 0.01; done
  given=${EPOCHREALTIME/./}
  echo "$input" >&7
  wait $!
  served=$((($(tr -d '\r' <"$work/done") - given) / 1000))
  [ "$input" = "key alt+F4" ] || xdotool key alt+F4
  probe gone || fail "the window did not close"
  wait $pid || fail "the program did not end cleanly after $input"
  # Every change up to the program's end has been read once the end mark has.
  : >"$work/flood/end"
  for _ in $(seq 500); do grep -qx end "$work/events" && break; sleep 0.01; done
  kill $watcher
  grep -qx mark "$work/events" || fail "the display server did not report $input"
  changed=$(sed '0,/^mark$/d;/^end$/,$d' "$work/events" | sort -u | wc -l)
  echo "e2e: $(basename "$exe"): $input during a scan of $FLOOD files: served within" \
    "$served ms; $changed files changed after it"
  [ "$changed" -le 1 ] || fail "$changed files changed after $input, up to the program's end"
done
echo "e2e: passed"
