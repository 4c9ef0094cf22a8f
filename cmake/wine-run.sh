#!/usr/bin/env bash
# Runs a Windows program under wine: the emulator of the Windows builds.
#
#   wine-run.sh PREFIX PROGRAM.exe [ARGUMENTS...]
#
# PREFIX is a wine prefix of the build's own, created on first use: 32-bit
# for the programs users get, 64-bit for the 64-bit test builds (the kind is
# read from the program's PE header, so a prefix serves one kind only).
# One wineserver stays up between runs, so that a test program starts in
# ~0.05 s instead of ~0.5 s; it ends by itself two minutes after the last
# run (or at once with `WINEPREFIX=PREFIX wineserver -k`). The program's exit
# status is passed through.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 PREFIX PROGRAM.exe [ARGUMENTS...]" >&2
  exit 2
fi
prefix=$1
shift

# The machine field of the PE header: 8664 for x86-64, 014c for i386.
pe_machine() {
  local offset
  offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return 0
  [ -n "$offset" ] && od -An -tx2 -j$((offset + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
}
# Only the 64-bit loader is called by its own name: Debian's wine script
# prefers the 32-bit one whenever it is installed, even where it cannot run.
wine=(wine)
export WINEARCH=win32
# A wine command rather than a program (reg, say) runs in the prefix's kind.
if [ -f "$1" ]; then
  machine=$(pe_machine "$1" || true)
else
  machine=$(grep -q '^#arch=win64' "$prefix/system.reg" 2>/dev/null && echo 8664 || true)
fi
if [ "$machine" = 8664 ]; then
  export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
  wine=("$WINELOADER")
fi
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# Under LANG=C non-ASCII file names reach the program garbled; a test that
# wants another code page sets its own LANG (and LOCPATH).
case "${LANG:-}" in "" | C | POSIX) export LANG=C.UTF-8 ;; esac
case "${LC_ALL:-}" in C | POSIX) unset LC_ALL ;; esac
# Tests take their scratch folder from here: give them a Windows path.
if [[ "${VELKSCAN_TEST_TMP:-}" == /* ]]; then
  export VELKSCAN_TEST_TMP="Z:$VELKSCAN_TEST_TMP"
fi

mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9

if [ ! -e "$prefix/.velkscan-ready" ]; then
  rm -rf "$prefix"
  echo "wine-run: creating the wine prefix $prefix" >&2
  # No Mono or Gecko: the tests need neither, and their installers would ask.
  WINEDLLOVERRIDES="mscoree,mshtml=" "${wine[@]}" wineboot -i </dev/null >/dev/null 2>&1 9>&-
  wineserver -w 9>&-
  # This wine reads fonts only from the prefix.
  cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/"
  touch "$prefix/.velkscan-ready"
fi

# A wineserver started without a display cannot serve windows later, so the
# server is tied to the display it was started with.
display=${DISPLAY:-}
if [ -e "$prefix.display" ] && [ "$(cat "$prefix.display")" != "$display" ]; then
  wineserver -k 9>&- || true
  wineserver -w 9>&-
fi
# Exit status 2: a server for this prefix runs already. A new one gets wine's
# own background processes started right away, with their standard streams
# closed: a process that inherits ctest's output pipe keeps ctest waiting.
if wineserver -p120 </dev/null >/dev/null 2>&1 9>&-; then
  "${wine[@]}" wineboot </dev/null >/dev/null 2>&1 9>&-
  printf '%s' "$display" >"$prefix.display"
fi

exec 9>&-
exec "${wine[@]}" "$@"
