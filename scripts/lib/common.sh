# Shared by the scripts in scripts/: package installation, build helpers and
# the Wine environment of the Windows build. Source it; do not run it.

TAVIN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export TAVIN_ROOT

log() { printf '==> %s\n' "$*" >&2; }

# Installs the Debian packages that are missing (and only those).
ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root, or apt-get install them)" >&2
    return 1
  fi
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y -q --no-install-recommends "${missing[@]}" >/tmp/tavin-apt.log 2>&1; then
    apt-get update -q >>/tmp/tavin-apt.log 2>&1
    apt-get install -y -q --no-install-recommends "${missing[@]}" >>/tmp/tavin-apt.log 2>&1 || {
      tail -20 /tmp/tavin-apt.log >&2
      return 1
    }
  fi
}

# What the native build and its tests need.
NATIVE_PACKAGES=(cmake make g++ googletest libgtest-dev libgmock-dev python3 procps tmux
                 libbenchmark-dev libfaketime)
# What the clang builds need: the sanitizer builds of the unit tests and the
# fuzz targets (libFuzzer and the sanitizer runtimes).
FUZZ_PACKAGES=(clang libclang-rt-14-dev python3)
# What the Windows cross build and its tests under Wine need.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth fonts-wqy-zenhei
                  x11-utils imagemagick)

# The Wine settings of the Windows build: a prefix of the build's own, no
# Mono or Gecko prompts, no debug chatter.
wine_env() {
  export WINEPREFIX="$TAVIN_ROOT/build/windows/wineprefix"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEDEBUG=-all
}

# Configures (once) and builds a preset.
build_preset() {
  local preset=$1
  if [ ! -f "$TAVIN_ROOT/build/$preset/CMakeCache.txt" ]; then
    log "configuring $preset"
    cmake --preset "$preset" -S "$TAVIN_ROOT" >/dev/null
  fi
  log "building $preset"
  cmake --build "$TAVIN_ROOT/build/$preset" -j "$(nproc)"
}
