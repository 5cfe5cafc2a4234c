# Sourced by run.sh, test.sh and the other scripts: installs the Debian packages they need when
# any is missing. Needs root (or sudo) only when something has to be installed. Everything these
# functions print goes to standard error.

# What building and running the program needs: the compiler, Qt with its charts and its Russian
# translations, the fonts the window is laid out for.
k419_run_packages=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-charts-dev
                   libqt6opengl6-dev libgl-dev fonts-liberation fonts-dejavu-core
                   qt6-translations-l10n)
# What the tests, the benchmarks and the package check need besides: GoogleTest, Google
# Benchmark, Qt's serial port (the benchmark compares with it), the package tools and lintian,
# help2man for the manual pages, Python (a test reads a recording with its csv module), the
# cross compiler that builds the engine for Windows and Wine (64-bit) that runs its tests.
k419_test_packages=(libgtest-dev libgmock-dev libbenchmark-dev qt6-serialport-dev dpkg-dev file
                    lintian help2man python3 g++-mingw-w64-x86-64-posix wine wine64)

# k419_ensure_packages <package>...: installs those of them that are missing.
k419_ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # The installer's progress goes to standard error: standard output belongs to the program.
  $sudo apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >&2
}

# k419_build <dir> [cmake options...]: configure (again only when the options differ from the
# last configuration's), then build incrementally. K419_TARGETS, when set, names the only
# targets to build.
k419_build() {
  local dir=$1; shift
  local stamp="$dir/.k419-configured-with"
  if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$*" ]; then
    cmake -S . -B "$dir" -G Ninja "$@" >&2
    printf '%s' "$*" > "$stamp"
  fi
  local targets=()
  [ -n "${K419_TARGETS:-}" ] && targets=(--target $K419_TARGETS)
  cmake --build "$dir" -j "$(nproc)" "${targets[@]}" >&2
}
