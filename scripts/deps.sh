# Sourced by run.sh and test.sh: installs the Debian packages the build needs when any
# is missing. Needs root (or sudo) only when something has to be installed. Everything these
# functions print goes to standard error.
k419_packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
               qt6-base-dev qt6-charts-dev libqt6opengl6-dev qt6-serialport-dev libgl-dev
               fonts-liberation fonts-dejavu-core qt6-translations-l10n dpkg-dev file python3)

k419_ensure_packages() {
  local missing=() p
  for p in "${k419_packages[@]}" "$@"; do
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

# The cross compiler that checks the engine's sources against the real <windows.h>.
k419_packages+=(g++-mingw-w64-x86-64-posix)
