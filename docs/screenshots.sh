#!/usr/bin/env bash
# The README's pictures of the window: docs/window.png and docs/window-damage.png, taken of the real
# window on Qt's offscreen platform (no display needed) over a library velkgen writes, with settings,
# store and journals of their own in a scratch folder.
#
#   docs/screenshots.sh [BUILD_DIR]    (default build/dev; builds what it needs there)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
cmake --build "$build" --target qt_window_screenshots velkgen >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/velkscan-screenshots-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/tools/velkgen/velkgen" --library "$work/Music" --size-mb 4 --seed 35 >/dev/null
export XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
cd "$work"
QT_QPA_PLATFORM=offscreen "$build/bench/app/qt_window_screenshots" Music "$root/docs"
echo "docs/window.png, docs/window-damage.png"
