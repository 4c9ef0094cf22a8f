#!/usr/bin/env bash
# Builds what users install, into build/dist/:
#   velkscan_VERSION_amd64.deb   velkscan, velkscan-cli, velkgen, manual pages,
#                                completion, desktop entry, MIME type, icon,
#                                metainfo (cpack; Depends from dpkg-shlibdeps)
#   velkscan-VERSION-win32.zip   VelkscanU.exe, VelkscanA.exe, README.txt
# from optimised builds without tests in build/package and build/package-win-u|a.
# The version is project()'s in CMakeLists.txt.
#
#   scripts/package.sh [deb] [zip]      (default: both)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
what=("$@")
[ ${#what[@]} -gt 0 ] || what=(deb zip)
dist=$root/build/dist
jobs=${VELKSCAN_JOBS:-$(nproc)}

bash scripts/install-deps.sh >/dev/null
mkdir -p "$dist"

# configure DIR [CMAKE ARGS...]: an optimised build of the programs only.
configure() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKSCAN_TESTS=OFF -DVELKSCAN_BENCH=OFF \
    "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log" >&2; return 1; }
}

version() { sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"; }

deb() {
  local build=build/package
  mkdir -p "$build"
  # Debian's hardening flags, all of them, as a Debian build would use.
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  configure "$build" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
  cmake --build "$build" --parallel "$jobs"
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
    local build=build/package-win-$v wide=ON
    [ $v = a ] && wide=OFF
    mkdir -p "$build"
    configure "$build" --toolchain "$root/cmake/mingw-i686.cmake" -DVELKSCAN_WIDE=$wide
    cmake --build "$build" --parallel "$jobs" --target "Velkscan${v^^}"
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
