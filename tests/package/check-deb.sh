#!/usr/bin/env bash
# Unpacks the Debian package from the build folder and checks what a user would install:
# the programs, their manual pages, the desktop entry and icon, the copyright file and the
# changelog under /usr, the control fields, that the unpacked programs run, and what lintian
# says (no error).   check-deb.sh <build-dir>
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
         usr/share/icons/hicolor/scalable/apps/k419.svg usr/share/doc/k419/copyright \
         usr/share/doc/k419/changelog.gz usr/share/man/man1/k419.1.gz \
         usr/share/man/man1/k419-sim.1.gz usr/share/man/man1/k419-decode.1.gz; do
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

for tool in k419 k419-sim k419-decode; do
  version=$(QT_QPA_PLATFORM=offscreen "$scratch/usr/bin/$tool" --version)
  check "the unpacked $tool --version runs ($version)" "[[ '$version' == '$tool $(field Version)' ]]"
done
check "the copyright file is machine-readable" \
  "grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' '$scratch/usr/share/doc/k419/copyright'"

# Debian's own checks: no error (warnings and notes are shown, not counted).
if command -v lintian >/dev/null; then
  report=$(lintian "$deb" 2>&1 | grep -v 'running with root privileges' || true)
  [ -z "$report" ] || echo "$report"
  errors=$(grep -c '^E:' <<<"$report" || true)
  check "lintian reports no error ($errors)" "[ '$errors' -eq 0 ]"
else
  echo "FAIL: lintian is not installed"
  fail=1
fi
exit $fail
