#!/usr/bin/env bash
# Builds what users install, into build/dist/:
#   velkscan_VERSION_amd64.deb   velkscan, velkscan-cli, velkgen, manual pages,
#                                completion, desktop entry, MIME type, icon,
#                                metainfo (cpack; Depends from dpkg-shlibdeps)
#   velkscan-VERSION-win32.zip   VelkscanU.exe, VelkscanA.exe, README.txt
# from the trees of the presets deb (optimised, Debian's hardening flags) and
# win-u, win-a (optimised 32-bit Windows): the very programs that
# scripts/test.sh built and tested there. A tree not built yet is configured
# and built here. The version is project()'s in CMakeLists.txt.
#
#   scripts/package.sh [deb] [zip]      (default: both)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
what=("$@")
[ ${#what[@]} -gt 0 ] || what=(deb zip)
dist=$root/build/dist
jobs=${VELKSCAN_JOBS:-$(nproc)}

# Once a run is enough (scripts/test.sh has run it); 3: all but wine, which
# packing does not need.
if [ -z "${VELKSCAN_DEPS_CHECKED:-}" ]; then
  bash scripts/install-deps.sh >/dev/null || [ $? -eq 3 ] || exit 1
fi
mkdir -p "$dist"

# built PRESET [TARGET...]: the preset's tree, configured if it is not yet,
# and brought up to date (nothing to do after scripts/test.sh).
built() {
  local preset=$1 log=$root/build/$1.package.log
  shift
  mkdir -p build
  if [ ! -f "build/$preset/CMakeCache.txt" ]; then
    cmake --preset "$preset" >"$log" 2>&1 || { cat "$log" >&2; return 1; }
  fi
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  cmake --build --preset "$preset" --parallel "$jobs" "${targets[@]}" >"$log" 2>&1 || { tail -n 60 "$log" >&2; return 1; }
}

version() { sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"; }

deb() {
  local build=build/deb
  built deb
  rm -rf "$build/cpack"
  (cd "$build" && cpack -B cpack >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; return 1; }
  local deb=velkscan_$(version "$build")_amd64.deb
  rm -f "$dist"/velkscan_*_amd64.deb
  cp "$build/cpack/$deb" "$dist/$deb"
  echo "package: $dist/$deb"
}

zip_win() {
  local stage=build/package-win-stage v version=
  rm -rf "$stage"
  mkdir -p "$stage"
  for v in u a; do
    local build=build/win-$v
    built "win-$v" "Velkscan${v^^}"
    cmake --install "$build" --prefix "$stage" --strip >/dev/null
    version=$(version "$build")
  done
  # README.txt in Windows line ends, with the licence.
  { sed "s/@PROJECT_VERSION@/$version/" packaging/README-windows.txt; echo; cat LICENSE; } |
    sed 's/\r*$/\r/' >"$stage/README.txt"
  local zip=$dist/velkscan-$version-win32.zip
  rm -f "$dist"/velkscan-*-win32.zip
  (cd "$stage" && zip -q -X "$zip" VelkscanU.exe VelkscanA.exe README.txt)
  echo "package: $zip"
}

for w in "${what[@]}"; do
  case $w in
    deb) deb ;;
    zip) zip_win ;;
    *) echo "package.sh: unknown package '$w' (deb, zip)" >&2; exit 2 ;;
  esac
done
