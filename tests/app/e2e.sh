#!/usr/bin/env bash
# The Linux window under Xvfb and openbox with real input: under a flood of $FLOOD lines, a
# click on Stop, Enter and Alt+F4 change at most one file after the display server took the
# input (xinput; changes seen by inotifywait), the one whose write had its turn, and Stop keeps the
# report; a second start's files join a running scan; the keys reach every choice and add files; the scan runs a checker per
# processor beside the worker, all idle-class (processor and I/O), the window's thread at the priority it was
# started with, before and during the scan; latency: until every idle-class thread has gone.
#   e2e.sh --program velkscan --velkgen velkgen --failio libfailio.so --work DIR    (77: a tool is missing)
set -euo pipefail
FLOOD=${FLOOD:-6000}
while [ $# -gt 0 ]; do
  case $1 in --program | --velkgen | --failio | --work) declare "${1#--}=$2" ;; esac
  shift 2
done
fail() { echo "e2e: FAILED: $*" >&2 && exit 1; }
for tool in Xvfb openbox xdotool inotifywait xinput; do
  command -v $tool >/dev/null || { echo "e2e: SKIPPED: $tool is missing (scripts/install-deps.sh)" && exit 77; }
done

rm -rf "$work" && mkdir -p "$work/run"
chmod 700 "$work/run"
# The flood on a memory file system where there is one: on a busy disk it takes seconds.
flood=$(mktemp -d "$([ -d /dev/shm ] && echo /dev/shm || echo "$work")/velkscan-e2e-XXXXXX")
# A socket of its own: another window of this user is not this test's.
export XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=xcb
# Settings of its own: each start opens at the first size, where the button is below.
export XDG_CONFIG_HOME=$work/config
# Display server, window manager and input first, as a desktop's, so the busy machine does
# not hold up the input. The server names a free display once it is ready.
rt=()
chrt -f 10 true 2>/dev/null && rt=(chrt -f 10)
"${rt[@]}" Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$work/display" &
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$flood"' EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")
# Only Alt+F4 bound: a mouse binding would hold clicks back, counted against the program.
printf '%s' '<openbox_config xmlns="http://openbox.org/3.4/rc"><keyboard><keybind key="A-F4"><action name="Close"/>' \
  '</keybind></keyboard><mouse><context name="Client"/></mouse></openbox_config>' >"$work/openbox.xml"
"${rt[@]}" openbox --config-file "$work/openbox.xml" >/dev/null 2>&1 &

"$velkgen" --frames 16 --damage truncate --seed 3 "$work/flood.bin" >/dev/null
mapfile -t names < <(seq -f "$flood/f%05g.vlk" 1 "$FLOOD")
idle() { grep -l '^policy *: *5$' /proc/"$1"/task/*/sched 2>/dev/null | cut -d/ -f5; }
# A thread lowered: its nice value not the test's, or idle in I/O or processor class.
lowered() {
  [ "$(ps -o ni= -p "$1")" != "$(ps -o ni= -p $$)" ] || [[ $(ionice -p "$1") == idle* ]] || grep -qx "$1" <<<"$(idle "$1")"
}
# The worker and a checker per processor (one processor: the worker checks).
checkers=$(nproc)
want=$((checkers > 1 ? checkers + 1 : 1))

# Ctrl+S into a new file $1, its name typed into the dialog; waits for the file.
save() {
  xdotool key ctrl+s
  timeout 10 xdotool search --sync --onlyvisible --name '^Save the report$' >/dev/null || fail "no dialog to save in"
  xdotool type "$1" && xdotool key Return
  for _ in $(seq 200); do [ -s "$1" ] && return; sleep 0.05; done
  fail "no report saved in $1"
}

# One xdotool reads the inputs, so each one goes out as its line is given.
exec 7> >(exec "${rt[@]}" xdotool - >/dev/null 2>&1)
for input in "click 1" "key Return" "key alt+F4"; do
  tee "${names[@]}" <"$work/flood.bin" >/dev/null
  "$program" "$flood" &
  pid=$!
  window=$(timeout 20 xdotool search --sync --onlyvisible --pid $pid --name '^Velkscan$' | head -1 || true)
  [ -n "$window" ] || fail "no window"
  xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
  # The button's middle: 32 and 14 dialog units from the bottom right of a first start 318 units
  # wide (a unit down about 8/7 of one across).
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xdotool mousemove --window "$window" $((WIDTH * 286 / 318)) $((HEIGHT - WIDTH * 16 / 318))
  [ -z "$(idle $pid)" ] && ! lowered $pid || fail "the window was lowered before the scan"
  # The changes in the kernel's order (times are too coarse), from before the scan.
  rm -f "$work/ready" "$flood/mark" "$flood/end" "$work/watching" "$work/xi"
  inotifywait -m -e create,modify --format %f "$flood" >"$work/events" 2>"$work/watching" &
  watcher=$!
  until grep -qs established "$work/watching"; do sleep 0.01; done
  xdotool key Return
  for _ in $(seq 50); do [ "$(idle $pid | wc -l)" -ge $want ] && break; sleep 0.1; done
  mapfile -t tids < <(idle $pid)
  [ ${#tids[@]} -ge $want ] || fail "${#tids[@]} idle-class threads checking, not $want"
  for tid in "${tids[@]}"; do [[ $(ionice -p "$tid") == idle* ]] || fail "thread $tid: $(ionice -p "$tid")"; done
  ! lowered $pid || fail "the window's thread was lowered for the scan"
  # While the flood is in full swing: a few dozen files repaired.
  for _ in $(seq 300); do [ "$(wc -l <"$work/events")" -ge 40 ] && break; sleep 0.02; done
  for tid in "${tids[@]}"; do [ -e /proc/$pid/task/$tid ] || fail "the scan was not running before $input"; done
  # The mark, once the display server took the input.
  "${rt[@]}" bash -c "stdbuf -oL xinput test-xi2 --root | tee '$work/xi' |
    { grep -q -m1 'Raw\(Key\|Button\)Press' && : >'$flood/mark'; }" &
  (
    : >"$work/ready"
    for tid in "${tids[@]}"; do while [ -e /proc/$pid/task/$tid ]; do sleep 0.001; done; done
    echo "${EPOCHREALTIME/./}"
  ) >"$work/done" &
  until [ -e "$work/ready" ] && grep -qs core "$work/xi"; do sleep 0.01; done
  given=${EPOCHREALTIME/./}
  echo "$input" >&7
  wait $!
  ended=$((($(cat "$work/done") - given) / 1000))
  # Stop keeps every line found, the last saying how far it came.
  if [ "$input" = "click 1" ]; then
    save "$work/stopped.txt"
    [ "$(wc -l <"$work/stopped.txt")" -gt 1 ] && grep -Eqx "Stopped after [0-9]+ of $FLOOD files\\." "$work/stopped.txt" ||
      fail "the report after Stop: $(tail -2 "$work/stopped.txt")"
  fi
  [ "$input" = "key alt+F4" ] || xdotool key alt+F4
  wait $pid || fail "the window did not end cleanly after $input"
  # Every change up to the program's end has been read once the end mark has.
  : >"$flood/end"
  for _ in $(seq 500); do grep -qx end "$work/events" && break; sleep 0.01; done
  kill $watcher
  grep -qx mark "$work/events" || fail "the display server did not report $input"
  changed=$(sed '0,/^mark$/d;/^end$/,$d' "$work/events" | sort -u | wc -l)
  echo "e2e: $input during a scan of $FLOOD files: the checking threads ended within" \
    "$ended ms; $changed files changed after it"
  [ "$changed" -le 1 ] || fail "$changed files changed after $input, up to the program's end"
done

# A second start during a scan (held at l2.vlk until the second start has ended): its files join it,
# and the report says how many.
mkdir -p "$work/long" "$work/more"
for i in 1 2 3; do cp "$work/flood.bin" "$work/long/l$i.vlk" && cp "$work/flood.bin" "$work/more/m$i.vlk"; done
LD_PRELOAD=$failio VELKSCAN_HOLD_READ="long/l2.vlk:$work/go" ASAN_OPTIONS=${ASAN_OPTIONS:-}:verify_asan_link_order=0 \
  "$program" "$work/long" &
pid=$!
window=$(timeout 20 xdotool search --sync --onlyvisible --pid $pid --name '^Velkscan$' | head -1 || true)
[ -n "$window" ] || fail "no window"
xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
xdotool key Return
until [ -n "$(idle $pid)" ]; do sleep 0.01; done
"$program" "$work/more" || fail "the second start ended with $?"
: >"$work/go"
scanned() { until [ -z "$(idle $pid)" ]; do sleep 0.05; done; }
scanned
save "$work/joined.txt"
grep -qx "3 files joined the scan." "$work/joined.txt" && grep -q "^Scanned 6 files" "$work/joined.txt" ||
  fail "the second start's files did not join: $(cat "$work/joined.txt")"
# The keys: Alt+B and the arrows reach Only report without a dialog on the way, Ctrl+O adds a file,
# Enter scans it: one line, the file left as it was.
cp "$work/flood.bin" "$work/keys.vlk"
xdotool key alt+b Down Down ctrl+o
adding() { xdotool search --onlyvisible --name '^Add files to check$' >/dev/null; }
timeout 10 xdotool search --sync --onlyvisible --name '^Add files to check$' >/dev/null || fail "Ctrl+O opened no dialog"
xdotool type "$work/keys.vlk"
# A first Return may only close the name's completion.
for _ in 1 2 3; do
  xdotool key Return
  for _ in $(seq 40); do adding || break 2; sleep 0.05; done
done
! adding || fail "the file dialog did not take the name"
inotifywait -t 20 -e close_nowrite "$work/keys.vlk" >/dev/null 2>"$work/watching" &
watcher=$!
until grep -q established "$work/watching"; do sleep 0.01; done
xdotool key Return
wait $watcher || fail "the added file was not checked"
scanned
save "$work/keys.txt"
[ "$(grep -c "keys.vlk" "$work/keys.txt")" = 1 ] && grep -q "^Scanned 1 file, errors with 1" "$work/keys.txt" &&
  cmp -s "$work/flood.bin" "$work/keys.vlk" || fail "only reported by the keys: $(cat "$work/keys.txt")"
xdotool key alt+F4
wait $pid || fail "the window did not end cleanly"
echo "e2e: passed"
