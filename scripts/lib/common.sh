# Shared by the scripts in scripts/: package installation, build helpers and
# the Wine environment of the Windows build. Source it; do not run it.

TAVIN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export TAVIN_ROOT

log() { printf '==> [%ds] %s\n' "$SECONDS" "$*" >&2; }

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
NATIVE_PACKAGES=(cmake make g++ googletest libgtest-dev libgmock-dev python3 procps tmux iproute2
                 libbenchmark-dev libfaketime)
# What the metrics stage needs: a Prometheus server and promtool.
PROMETHEUS_PACKAGES=(prometheus python3)
# What the clang builds need: the sanitizer builds of the unit tests and the
# fuzz targets (libFuzzer and the sanitizer runtimes).
FUZZ_PACKAGES=(clang libclang-rt-14-dev python3)
# What the Windows cross build and its tests under Wine need.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64 xvfb xauth fonts-wqy-zenhei
                  fonts-wine x11-utils imagemagick)

# What scripts/package needs to make the Debian package and the Windows
# Installer package, and what the tests of the packages need besides (with
# Wine and Xvfb of the Windows build's list): systemd for systemd-analyze,
# which checks and rates the unit and lists its system-call groups, strace
# for the system calls of the agent run as the unit would run it.
DEB_PACKAGES=(dpkg-dev help2man)
MSI_PACKAGES=(wixl msitools)
PACKAGE_TEST_PACKAGES=(lintian iproute2 python3 systemd strace)

# The Wine settings of the Windows build: a prefix of the build's own, no
# Mono or Gecko prompts, no debug chatter.
wine_env() {
  export WINEPREFIX="$TAVIN_ROOT/build/windows/wineprefix"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEDEBUG=-all
}

# Makes the Wine prefix's desktop look like a Chinese Windows desktop on a
# display without a window manager, once per prefix:
# - Wine's own fonts (caption buttons, dialog fonts) in the prefix's Fonts
#   folder, where this Wine finds them;
# - "宋体"/SimSun served by the WenQuanYi bitmap face, and the system's
#   caption, menu and message fonts set to it at 12 pixels, so Chinese texts
#   render legibly;
# - Wine draws the window frames itself and leaves windows unmanaged: with no
#   window manager, managed windows would wait for one to hide them.
wine_desktop() {
  local marker="$WINEPREFIX/.tavin-desktop-1" reg
  [ -f "$marker" ] && return 0
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
  reg=$(mktemp --suffix=.reg)
  python3 - "$reg" <<'PY'
import struct, sys
def logfont(weight):  # LOGFONTW: 12 pixels, GB2312, "SimSun"
    face = "SimSun".encode("utf-16-le")
    return struct.pack("<lllll8B", -12, 0, 0, 0, weight, 0, 0, 0, 134, 0, 0, 0, 0) + \
        face + b"\0" * (64 - len(face))
lines = ["Windows Registry Editor Version 5.00", "",
         r"[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]",
         '"SimSun"="WenQuanYi Zen Hei Sharp"', '"\u5b8b\u4f53"="WenQuanYi Zen Hei Sharp"', "",
         r"[HKEY_CURRENT_USER\Software\Wine\X11 Driver]",
         '"Decorated"="N"', '"Managed"="N"', "",
         r"[HKEY_CURRENT_USER\Control Panel\Desktop\WindowMetrics]"]
for key, weight in [("CaptionFont", 700), ("SmCaptionFont", 700), ("MenuFont", 400),
                    ("MessageFont", 400), ("StatusFont", 400), ("IconFont", 400)]:
    lines.append('"%s"=hex:%s' % (key, ",".join("%02x" % b for b in logfont(weight))))
open(sys.argv[1], "wb").write(("\ufeff" + "\r\n".join(lines) + "\r\n").encode("utf-16-le"))
PY
  wine regedit /S "$reg" && touch "$marker"
  rm -f "$reg"
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
