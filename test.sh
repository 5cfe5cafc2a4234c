#!/usr/bin/env bash
# Builds and runs every test through CTest; exits non-zero on any failure.
#   ./test.sh          plain build, the Windows build under Wine, then AddressSanitizer+UBSan,
#                      then ThreadSanitizer
#   ./test.sh --quick  plain build only
#   ./test.sh --win32  the engine, k419-decode.exe and their tests built with MinGW-w64 into
#                      build-win32/ and run under Wine (the host tools come from build/)
#   ./test.sh --asan   AddressSanitizer + UndefinedBehaviorSanitizer build only
#   ./test.sh --tsan   ThreadSanitizer build only
# Both sanitizer builds run every test, the program's included, and the program itself
# headless against its simulated meter.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh

mode=${1:-all}
case "$mode" in
  all|--all|--quick|--win32|--asan|--tsan) ;;
  *) echo "usage: $0 [--quick|--win32|--asan|--tsan]" >&2; exit 2 ;;
esac

k419_ensure_packages "${k419_run_packages[@]}" "${k419_test_packages[@]}"
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

# Each stage says how long it took, on standard error.
stage() {
  local name=$1 started=$SECONDS; shift
  "$@"
  echo "== $name: $((SECONDS - started)) s ==" >&2
}

plain_options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DK419_BUILD_TESTS=ON -DK419_BUILD_BENCH=ON)
plain() {
  echo "== plain build ==" >&2
  k419_build build "${plain_options[@]}"
  # The Debian package, which the tests unpack and check.
  cmake --build build --target package >&2
  ctest --test-dir build --output-on-failure -j "$jobs"
}

# What the sanitizers may not count against us: leaks and races wholly inside the libraries
# (fontconfig, libdbus, Qt, glib), each entry with why and how it was shown.
supp=$PWD/tests/sanitizers

# The program itself under a sanitizer: headless against its simulated meter for a few seconds,
# recording; any report ends it with a failure status.
run_program() {
  local dir=$1 scratch
  scratch=$(mktemp -d)
  echo "== $dir/app/k419 --simulate, headless, 3 s ==" >&2
  if ! env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
      "$dir/app/k419" --simulate --duration 3 --record "$scratch/run.csv" \
      > "$scratch/out.txt" 2> "$scratch/err.txt"; then
    cat "$scratch/err.txt" >&2
    echo "the program failed under the sanitizer" >&2
    rm -rf "$scratch"
    return 1
  fi
  local rows
  rows=$(($(wc -l < "$scratch/run.csv") - 1))
  rm -rf "$scratch"
  if [ "$rows" -lt 10 ]; then
    echo "the program recorded $rows readings in 3 s under the sanitizer" >&2
    return 1
  fi
}

# Each sanitizer runs in a subshell, so that its options do not reach the next one.
asan() (
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer ==" >&2
  k419_build build-asan -DCMAKE_BUILD_TYPE=Debug -DK419_SANITIZE=address -DK419_BUILD_BENCH=OFF
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export LSAN_OPTIONS=suppressions=$supp/lsan.supp:print_suppressions=0
  export UBSAN_OPTIONS=print_stacktrace=1
  ctest --test-dir build-asan --output-on-failure -j "$jobs"
  run_program build-asan
)
tsan() (
  echo "== ThreadSanitizer ==" >&2
  k419_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DK419_SANITIZE=thread -DK419_BUILD_BENCH=OFF
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp"
  ctest --test-dir build-tsan --output-on-failure -j "$jobs"
  run_program build-tsan
)

# The engine on the real Win32: built with MinGW-w64, its tests run under Wine in a prefix of
# the build's own (see tests/win32/). The tools that run on this machine come from build/.
win32() {
  echo "== Windows build (MinGW-w64), tests under Wine ==" >&2
  K419_TARGETS="k419-str0c k419-sim k419-ptyshim" k419_build build "${plain_options[@]}"
  k419_build build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK419_HOST_BUILD="$PWD/build"
  ctest --test-dir build-win32 --output-on-failure -j "$jobs"
}

case "$mode" in
  --quick) stage "plain build and tests" plain ;;
  --win32) stage "Windows build and tests under Wine" win32 ;;
  --asan) stage "AddressSanitizer run" asan ;;
  --tsan) stage "ThreadSanitizer run" tsan ;;
  *)
    stage "plain build and tests" plain
    stage "Windows build and tests under Wine" win32
    stage "AddressSanitizer run" asan
    stage "ThreadSanitizer run" tsan
    ;;
esac
