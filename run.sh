#!/usr/bin/env bash
# Builds (incrementally) and starts the front panel. With no port mapped (K419_COM1 unset) it
# runs with the built-in simulated meter; without a display it runs headless and prints one
# line per reading. Extra arguments go to k419.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
k419_ensure_packages
k419_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
if [ -z "${K419_COM1:-}" ]; then
  exec build/app/k419 --simulate "$@"
fi
exec build/app/k419 "$@"
