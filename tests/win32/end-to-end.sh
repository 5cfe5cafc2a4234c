#!/usr/bin/env bash
# The engine under Wine against the meter simulator on a Linux pseudo-terminal.
#   end-to-end.sh <native build> <test_wine_e2e.exe>
# Starts the simulator, maps Wine's COM1 to its terminal (then restarts the wineserver, which
# reads the mapping when it starts), and runs the test program under Wine with the preload
# library that answers Wine's modem and counter queries on a pseudo-terminal. The test program
# compares every frame with the simulator's own output for the same options; this script then
# looks for the key code the program sent in the simulator's log. Needs WINEPREFIX (a prefix
# made by wine-prefix.sh).
set -euo pipefail
host=$1 program=$2
sim=$host/tools/k419-sim
shim=$host/tests/libk419-ptyshim.so
for f in "$sim" "$shim"; do
  [ -e "$f" ] || { echo "end-to-end: $f is missing (build the native tree)" >&2; exit 1; }
done
frames=40
options=(--frames "$frames" --seed 7)
scratch=$(mktemp -d)
simpid=
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null || true
  wine reg delete 'HKLM\Software\Wine\Ports' /v COM1 /f >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
# The server reads the port mapping when it starts; started here, its chatter on exit stays out
# of the test's output.
restart_wineserver() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
  wineserver >/dev/null 2>&1
}

# Starts the simulator with these options on a new pseudo-terminal and maps COM1 to it.
simulator_on_com1() {
  rm -f "$scratch/sim.out"
  "$sim" --rate 40 "$@" > "$scratch/sim.out" 2> "$scratch/sim.err" &
  simpid=$!
  for _ in $(seq 100); do
    [ -s "$scratch/sim.out" ] && break
    sleep 0.05
  done
  local pty
  pty=$(head -n 1 "$scratch/sim.out")
  [ -c "$pty" ] || { echo "end-to-end: the simulator named no terminal" >&2; exit 1; }
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$pty" /f >/dev/null
  restart_wineserver
}

"$sim" --stdout --rate 0 "${options[@]}" > "$scratch/reference.bin"
simulator_on_com1 "${options[@]}"
K419_E2E_REFERENCE=$(winepath -w "$scratch/reference.bin") LD_PRELOAD=$shim wine "$program" \
  --gtest_filter='*FramesArrive*'

wait "$simpid" || true
simpid=
if ! grep -q "key 0x0D" "$scratch/sim.err"; then
  echo "end-to-end: the key code did not reach the simulator; its log:" >&2
  cat "$scratch/sim.err" >&2
  exit 1
fi
echo "the key code reached the simulator"

# Once more without the preload library: Wine aborts every wait on the pseudo-terminal.
simulator_on_com1
K419_E2E_ABORTED_WAITS=1 wine "$program" --gtest_filter='*LostDevice*'
