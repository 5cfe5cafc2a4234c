#!/usr/bin/env bash
# Builds and runs every test through CTest; exits non-zero on any failure.
#   ./test.sh          plain build, the engine against the real <windows.h> (MinGW-w64, syntax
#                      only), then AddressSanitizer+UBSan, then ThreadSanitizer
#   ./test.sh --quick  plain build only
#   ./test.sh --asan   AddressSanitizer + UndefinedBehaviorSanitizer build only
#   ./test.sh --tsan   ThreadSanitizer build only (the thread-heavy tests)
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh

mode=${1:-all}
case "$mode" in
  all|--all|--quick|--asan|--tsan) ;;
  *) echo "usage: $0 [--quick|--asan|--tsan]" >&2; exit 2 ;;
esac

k419_ensure_packages
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

plain() {
  echo "== plain build ==" >&2
  k419_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
  # The Debian package, which the tests unpack and check.
  cmake --build build --target package >&2
  ctest --test-dir build --output-on-failure -j "$jobs"
}
asan() {
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer ==" >&2
  k419_build build-asan -DCMAKE_BUILD_TYPE=Debug -DK419_SANITIZE=address \
    -DK419_BUILD_APP=OFF -DK419_BUILD_BENCH=OFF
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
}
tsan() {
  echo "== ThreadSanitizer ==" >&2
  K419_TARGETS="test_platform test_serial k419-sim" \
    k419_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DK419_SANITIZE=thread \
    -DK419_BUILD_APP=OFF -DK419_BUILD_BENCH=OFF
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads
}

# The engine's sources must compile against the real <windows.h> too (MinGW-w64's).
wincheck() {
  echo "== meter/ and serial/ against the real <windows.h> (syntax only) ==" >&2
  x86_64-w64-mingw32-g++ -std=c++20 -fsyntax-only -I. serial/*.cpp meter/*.cpp
}

case "$mode" in
  --quick) plain ;;
  --asan) asan ;;
  --tsan) tsan ;;
  *) plain; wincheck; asan; tsan ;;
esac
