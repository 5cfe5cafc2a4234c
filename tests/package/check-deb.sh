#!/usr/bin/env bash
# Unpacks the Debian package from the build folder and checks what a user would install:
# the program, its desktop entry and icon under /usr, the control fields, and that the
# unpacked program runs.   check-deb.sh <build-dir>
set -euo pipefail
build=$1
shopt -s nullglob
debs=("$build"/k419_*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  echo "no package in $build (cmake --build $build --target package makes it)"
  exit 77
fi
deb=${debs[0]}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch"

fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }
for f in usr/bin/k419 usr/share/applications/k419.desktop \
         usr/share/icons/hicolor/scalable/apps/k419.svg; do
  check "$f is in the package" "[ -f '$scratch/$f' ]"
done
check "the program is executable" "[ -x '$scratch/usr/bin/k419' ]"
check "nothing outside /usr" "[ -z \"\$(ls '$scratch' | grep -v '^usr$')\" ]"

field() { dpkg-deb -f "$deb" "$1"; }
check "Package is k419" "[ '$(field Package)' = k419 ]"
check "Architecture is this machine's" "[ '$(field Architecture)' = '$(dpkg --print-architecture)' ]"
depends=$(field Depends)
for d in fonts-liberation qt6-translations-l10n libc6 libqt6widgets6 libstdc++6; do
  check "Depends names $d ($depends)" "grep -q '\\b$d\\b' <<<'$depends'"
done
check "Maintainer is set" "[ -n '$(field Maintainer)' ]"
check "Description is set" "[ -n '$(field Description)' ]"

version=$(QT_QPA_PLATFORM=offscreen "$scratch/usr/bin/k419" --version)
check "the unpacked k419 --version runs ($version)" "[[ '$version' == 'k419 $(field Version)' ]]"
exit $fail
