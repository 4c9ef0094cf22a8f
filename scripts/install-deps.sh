#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Velkscan need,
# only those that are missing. Quick when everything is there already.
#
#   scripts/install-deps.sh        (as root, or with sudo at hand)
set -euo pipefail

packages=(
  cmake ninja-build make g++ clang-format
  # Tests, benchmarks, fuzzing (libFuzzer comes with clang's run-time).
  googletest libgtest-dev libbenchmark-dev clang libclang-rt-14-dev
  # The benchmarks' processor times (/usr/bin/time).
  time
  # Command-line program and the Linux desktop program.
  libcli11-dev nlohmann-json3-dev qt6-base-dev
  # The store of remembered checks and its content hashes.
  libsqlite3-dev libxxhash-dev
  # The Linux window asks the X server itself before each rewrite.
  libxcb1-dev
  # Windows builds, tested under wine.
  g++-mingw-w64-i686 wine wine32:i386 wine64 fonts-wine
  # The same sources as 64-bit programs: the Windows tests where the kernel
  # cannot run 32-bit programs.
  g++-mingw-w64-x86-64-posix
  # Windows and desktop programs on a virtual display, with screenshots.
  xvfb xauth x11-apps imagemagick
  # Packaging (scripts/package.sh) and its checks: manual pages, desktop
  # entry, AppStream metainfo, the package itself, the Windows zip.
  dpkg-dev fakeroot file lintian man-db groff-base desktop-file-utils appstream shared-mime-info zip unzip
  # The Windows end-to-end test types and clicks as a person does, and
  # follows the moment of the input and the order of the files changed.
  xdotool openbox inotify-tools xinput
)

installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages are installed"
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: missing packages (${missing[*]}); run this script as root" >&2
    exit 1
  fi
  as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

# wine32 is an i386 package.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "install-deps: dpkg --add-architecture i386"
  "${as_root[@]}" dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails the update with "File has unexpected size":
# it passes a little later, so try a few times before giving up.
for attempt in 1 2 3 4 5; do
  echo "install-deps: apt-get update (attempt $attempt)"
  if "${as_root[@]}" apt-get update -q -o Acquire::Retries=3 </dev/null; then
    break
  fi
  if [ "$attempt" -eq 5 ]; then
    echo "install-deps: apt-get update kept failing" >&2
    exit 1
  fi
  sleep $((attempt * 15))
done
echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
echo "install-deps: done"
