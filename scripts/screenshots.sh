#!/usr/bin/env bash
# Takes the README's screenshots of the front panel: the real window on a virtual X display,
# with the simulated meter attached, compact and then expanded.
#   scripts/screenshots.sh [--dejavu-only] [build-dir]      (default: build)
# Writes docs/screenshot-compact.png and docs/screenshot-expanded.png; with --dejavu-only the
# window sees only the DejaVu fonts of a stock desktop, and the names end in -dejavu.png.
# Without it also the companion window of a recording (docs/screenshot-companion.png), the
# same after "Сбросить статистику" (-companion-reset.png), the save dialog
# (-save-dialog.png) and the message box of a port whose device is missing (-port-error.png).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
k419_ensure_packages "${k419_run_packages[@]}" xvfb xdotool imagemagick x11-utils

suffix=""
fonts=""
if [ "${1:-}" = "--dejavu-only" ]; then
  shift
  suffix="-dejavu"
  fonts=$(mktemp -d)
  printf '%s\n' '<?xml version="1.0"?>' '<!DOCTYPE fontconfig SYSTEM "fonts.dtd">' \
    '<fontconfig>' '  <dir>/usr/share/fonts/truetype/dejavu</dir>' \
    "  <cachedir>$fonts/cache</cachedir>" '</fontconfig>' >"$fonts/fonts.conf"
  export FONTCONFIG_FILE=$fonts/fonts.conf
fi
build=${1:-build}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK419_BUILD_TESTS=OFF \
    -DK419_BUILD_BENCH=OFF >&2
fi
cmake --build "$build" --target k419 >&2

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
panel=""
cleanup() {
  [ -n "$panel" ] && kill "$panel" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  [ -z "$fonts" ] || rm -rf "$fonts"
}
trap cleanup EXIT
for _ in $(seq 100); do
  DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break
  sleep 0.1
done

# The meter's own number format: a decimal comma, as on a Russian-locale desktop.
# Waits up to 20 s for a visible window of the panel's process other than those named; prints
# its id (empty if none came).
new_window() {
  local found="" w known
  for _ in $(seq 100); do
    for w in $(DISPLAY=$display xdotool search --onlyvisible --pid "$panel" 2>/dev/null); do
      known=0
      for k in "$@"; do [ "$w" = "$k" ] && known=1; done
      [ "$known" = 0 ] && found=$w
    done
    [ -n "$found" ] && break
    sleep 0.2
  done
  echo "$found"
}

start_panel() {
  DISPLAY=$display LC_NUMERIC=ru_RU.UTF-8 "$build/app/k419" --simulate "$@" 2>/dev/null &
  panel=$!
  window=$(DISPLAY=$display timeout 20 xdotool search --sync --onlyvisible --name '^K4-19$' | head -n 1)
}
start_panel
# Let a few frames arrive: the panel shows a frame when the next one begins.
sleep 1.5
mkdir -p docs
DISPLAY=$display import -window "$window" "docs/screenshot-compact$suffix.png"

# "Доп. параметры" (BitBtn14 at 96,89, 113 x 20) expands the window.
DISPLAY=$display xdotool mousemove --window "$window" 152 99 click 1
sleep 1.5
DISPLAY=$display import -window "$window" "docs/screenshot-expanded$suffix.png"
shots="docs/screenshot-compact$suffix.png docs/screenshot-expanded$suffix.png"

if [ -z "$suffix" ]; then
  # The companion window of a recording: "Запись и график" (BitBtn16 at 296,280, 129 x 20).
  kill "$panel"; wait "$panel" 2>/dev/null || true
  recording=$(mktemp -d)
  start_panel --record "$recording/readings.csv"
  DISPLAY=$display xdotool mousemove --window "$window" 152 99 click 1
  sleep 0.5
  DISPLAY=$display xdotool mousemove --window "$window" 360 290 click 1
  companion=$(new_window "$window")
  sleep 12
  DISPLAY=$display import -window "$companion" docs/screenshot-companion.png
  # "Сбросить статистику" (the top row's right end), then a few seconds more.
  eval "$(DISPLAY=$display xdotool getwindowgeometry --shell "$companion")"
  DISPLAY=$display xdotool mousemove --window "$companion" $((WIDTH - 70)) 21 click 1
  sleep 4
  DISPLAY=$display import -window "$companion" docs/screenshot-companion-reset.png
  # The recording stopped, and the save dialog of "Записать в файл…" (the top row's left end).
  DISPLAY=$display xdotool mousemove --window "$companion" 60 21 click 1
  sleep 1
  DISPLAY=$display xdotool mousemove --window "$companion" 60 21 click 1
  # xdotool's patterns do not match Cyrillic: the dialog is the program's third window.
  dialog=$(new_window "$window" "$companion")
  sleep 1
  DISPLAY=$display import -window "$dialog" docs/screenshot-save-dialog.png
  DISPLAY=$display xdotool key --window "$dialog" Escape
  rm -rf "$recording"
  shots="$shots docs/screenshot-companion.png docs/screenshot-companion-reset.png"
  shots="$shots docs/screenshot-save-dialog.png"

  # A port whose device is missing: the message box at start (the window comes after it).
  kill "$panel"; wait "$panel" 2>/dev/null || true
  DISPLAY=$display "$build/app/k419" --port COM1=/dev/ttyUSB7 2>/dev/null &
  panel=$!
  box=$(DISPLAY=$display timeout 20 xdotool search --sync --onlyvisible --name '^K4-19$' | head -n 1)
  sleep 1
  DISPLAY=$display import -window "$box" docs/screenshot-port-error.png
  shots="$shots docs/screenshot-port-error.png"
fi
echo "$shots"
