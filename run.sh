#!/usr/bin/env bash
# Builds (incrementally) and starts the front panel with the simulated meter.
# Until the window exists: runs the simulator into the decoder and prints live readings.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
k419_ensure_packages
k419_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
exec build/tools/k419-sim --stdout --rate 5 "$@" | build/tools/k419-decode
