#!/usr/bin/env bash
# Builds (incrementally) and starts the front panel. Unless COM1 is given (--port COM1=PATH
# among the arguments, or K419_COM1 set) it runs with the built-in simulated meter on COM1;
# without a display it runs headless and prints one line per reading. Arguments go to k419.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
# Only what the program needs: the tests, benchmarks and their packages are test.sh's.
k419_ensure_packages "${k419_run_packages[@]}"
K419_TARGETS=k419 k419_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK419_BUILD_TESTS=OFF \
  -DK419_BUILD_BENCH=OFF

com1_given=${K419_COM1:+yes}
previous=""
for arg in "$@"; do
  case "$arg" in
    --port=COM1=*|--port=com1=*) com1_given=yes ;;
    COM1=*|com1=*) [ "$previous" = "--port" ] && com1_given=yes ;;
  esac
  previous=$arg
done
if [ -z "$com1_given" ]; then
  exec build/app/k419 --simulate "$@"
fi
exec build/app/k419 "$@"
