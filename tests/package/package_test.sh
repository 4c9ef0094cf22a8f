#!/usr/bin/env bash
# What scripts/package.sh made, as a user gets it: the .deb unpacked and run, its metadata,
# desktop entry, file type and lintian; the Windows zip.   package_test.sh DIST (.deb and zip)
set -uo pipefail
dist=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; "$@" || fail "$what"; }

debs=("$dist"/velkscan_*_amd64.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: no single .deb in $dist"; exit 1; }
deb=${debs[0]}
version=${deb##*/velkscan_}
version=${version%_amd64.deb}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
bin=$root/usr/bin

# --- The package: fields, files, one version everywhere ---
check "unpack" dpkg-deb -x "$deb" "$root"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version field is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libstdc++6 libqt6widgets6 libqt6network6; do
  [[ $depends == *"$lib "* || $depends == *"$lib" ]] || fail "Depends lacks $lib"
done
for f in usr/bin/velkscan usr/bin/velkscan-cli usr/bin/velkgen \
  usr/share/applications/velkscan.desktop usr/share/mime/packages/velkscan.xml \
  usr/share/icons/hicolor/scalable/apps/velkscan.svg usr/share/icons/hicolor/256x256/apps/velkscan.png \
  usr/share/metainfo/org.velkscan.velkscan.metainfo.xml usr/share/doc/velkscan/copyright \
  usr/share/bash-completion/completions/velkscan-cli usr/share/bash-completion/completions/velkgen \
  usr/share/man/man1/velkscan.1.gz usr/share/man/man1/velkscan-cli.1.gz usr/share/man/man1/velkgen.1.gz; do
  [ -e "$root/$f" ] || fail "not in the package: /$f"
done
for p in velkscan velkscan-cli velkgen; do
  [ "$("$bin/$p" --version)" = "$p $version" ] || fail "$p --version is not '$p $version'"
done
check "manual pages match --help" bash "$here/manpages.sh" "$root/usr/share/man/man1" \
  "$bin/velkscan-cli" "$bin/velkgen" "$bin/velkscan"

# --- The unpacked programs at work ---
lib=$scratch/library
"$bin/velkgen" --library "$lib" --size-mb 2 --seed 5 >/dev/null || fail "velkgen --library"
cp -a "$lib" "$scratch/original"
report=$("$bin/velkscan-cli" "$lib")
[ $? -eq 1 ] || fail "velkscan-cli on a library with broken files: status not 1"
grep -qE '^Scanned [0-9]+ files, errors with [0-9]+\.$' <<<"$report" || fail "no summary: $report"
diff -r "$scratch/original" "$lib" >/dev/null || fail "a check without --repair changed files"
"$bin/velkscan-cli" -r --journal "$scratch/journal" "$lib" >/dev/null
[ -s "$scratch/journal" ] && ! diff -r "$scratch/original" "$lib" >/dev/null || fail "--repair changed nothing"
"$bin/velkscan-cli" --undo "$scratch/journal" >/dev/null || fail "--undo failed"
diff -r "$scratch/original" "$lib" >/dev/null || fail "--undo did not restore the library"

# The window, offscreen: it starts, takes a second start's files, ends with 0 on SIGTERM.
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$scratch
"$bin/velkscan" "$lib" >"$scratch/gui.log" 2>&1 &
gui=$!
until [ -S "$scratch/velkscan-$(id -u)" ]; do kill -0 $gui 2>/dev/null || fail "velkscan ended at start: $(cat "$scratch/gui.log")"; sleep 0.05; done
timeout 10 "$bin/velkscan" "$lib" || fail "a second start did not hand over and end with 0"
kill -TERM $gui
wait $gui || fail "velkscan did not end with 0 on SIGTERM: $(cat "$scratch/gui.log")"

# --- Metadata, completion, lintian ---
desktop=$root/usr/share/applications/velkscan.desktop
check "desktop-file-validate" desktop-file-validate "$desktop"
for line in "Exec=velkscan %F" "Icon=velkscan" "MimeType=audio/x-velk;"; do
  grep -qxF "$line" "$desktop" || fail "velkscan.desktop lacks $line"
done
# The MIME database as the package's trigger brings it up to date.
cp -r "$root/usr/share/mime" "$scratch/mime" && update-mime-database "$scratch/mime" 2>/dev/null
for ext in vlk vkq vqk; do
  grep -qF "audio/x-velk:*.$ext" "$scratch/mime/globs2" || fail "the MIME database has no audio/x-velk for *.$ext"
done
appstreamcli validate --no-net --pedantic "$root/usr/share/metainfo/org.velkscan.velkscan.metainfo.xml" \
  >"$scratch/appstream" 2>&1 || fail "appstreamcli validate: $(cat "$scratch/appstream")"

# complete PROGRAM WORDS...: what Tab offers for the last word, one a line.
complete_words() (
  cd "$lib" && PATH=$bin:$PATH
  source "$root/usr/share/bash-completion/completions/$1"
  COMP_WORDS=("${@:1}")
  COMP_CWORD=$(($# - 1))
  "_${1//-/_}"
  printf '%s\n' "${COMPREPLY[@]}" | sort
)
touch "$lib/Upper.VQK" "$lib/notes.txt"
[ "$(complete_words velkscan-cli --pri)" = "--priority" ] || fail "completion: --pri"
[ "$(complete_words velkscan-cli --files)" = "--files-from" ] || fail "completion: --files"
[ "$(complete_words velkscan-cli --priority '')" = $'idle\nnormal' ] || fail "completion: --priority values"
offered=$(complete_words velkscan-cli '')
grep -qx Upper.VQK <<<"$offered" && grep -qx Broken <<<"$offered" && ! grep -q notes.txt <<<"$offered" ||
  fail "completion: Velk files and folders, not other files: $offered"
[ "$(complete_words velkgen --damage o)" = "overclaim" ] || fail "completion: velkgen --damage"
[ "$(complete_words velkgen --stream-v)" = "--stream-version" ] || fail "completion: velkgen options"
[ "$(complete_words velkgen --id3)" = $'--id3\n--id3-footer' ] || fail "completion: velkgen --id3"

# Installed by apt (as root), which brings the recommended bash-completion: Tab works in a
# fresh user's login shell with nothing sourced by hand. The package and user go again.
[ "$(dpkg-deb -f "$deb" Recommends)" = "bash-completion" ] || fail "Recommends is not bash-completion"
if [ "$(id -u)" -ne 0 ]; then
  echo "package test: not root, so the package is not installed (completion in a login shell not tested)"
elif dpkg-query -W -f='${Status}' velkscan 2>/dev/null | grep -q installed; then
  echo "package test: velkscan is installed already; its install is not tested"
else
  user=velkscan-pkgtest
  export DEBIAN_FRONTEND=noninteractive
  if apt-get install -y -q "$(realpath "$deb")" >"$scratch/apt" 2>&1; then
    useradd -m -s /bin/bash "$user"
    # What Tab does: bash-completion's loader finds the script by name, then offers its words.
    words=$(su -l "$user" -c 'bash -il' <<'SHELL' 2>/dev/null
_completion_loader velkscan-cli
COMP_WORDS=(velkscan-cli --pri); COMP_CWORD=1
$(complete -p velkscan-cli | sed -n 's/.*-F \([^ ]*\).*/\1/p') velkscan-cli --pri velkscan-cli
echo "offered: ${COMPREPLY[*]}"
SHELL
    )
    grep -qx "offered: --priority" <<<"$words" || fail "completion in a login shell: $words"
    userdel -r "$user" 2>/dev/null
    apt-get remove -y -q velkscan >/dev/null 2>&1 || fail "apt-get remove velkscan"
  else
    fail "apt-get install $deb: $(tail -5 "$scratch/apt")"
  fi
fi

lintian --fail-on error --display-info "$deb" >"$scratch/lintian" 2>&1 ||
  fail "lintian: $(cat "$scratch/lintian")"
sed 's/^/lintian: /' "$scratch/lintian"

# --- The Windows zip ---
zip=$dist/velkscan-$version-win32.zip
if [ ! -f "$zip" ]; then
  fail "no $zip"
else
  listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
  [ "$listed" = "README.txt VelkscanA.exe VelkscanU.exe " ] || fail "zip holds: $listed"
  unzip -q "$zip" -d "$scratch/win"
  ! grep -q $'[^\r]$' "$scratch/win/README.txt" && ! grep -q '^$' "$scratch/win/README.txt" ||
    fail "README.txt has lines not ended by CR LF"
  grep -q "Velkscan $version" "$scratch/win/README.txt" || fail "README.txt does not name version $version"
  for exe in VelkscanU VelkscanA; do
    file "$scratch/win/$exe.exe" | grep -q 'PE32 executable (GUI) Intel 80386' || fail "$exe.exe is no 32-bit GUI program"
    strings -el "$scratch/win/$exe.exe" | grep -qx "$version" || fail "$exe.exe: no version $version in its resource"
    strings -el "$scratch/win/$exe.exe" | grep -qx "$exe.exe" || fail "$exe.exe: its resource names another file"
  done
fi

[ $failures -eq 0 ] || { echo "package test: $failures failures"; exit 1; }
echo "package test: velkscan $version passed"
