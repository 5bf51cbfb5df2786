# Shared by scripts/run and scripts/test: installs what the build needs,
# configures and builds. Sourced, not run.
set -euo pipefail

QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QV_BUILD=${QV_BUILD:-$QV_ROOT/build}
export WINEPREFIX=$QV_BUILD/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
QV_WINE=/usr/lib/wine/wine64
QV_WINESERVER=/usr/lib/wine/wineserver

qv_install_packages() {
  local missing=()
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
  command -v x86_64-w64-mingw32-windres >/dev/null || missing+=(binutils-mingw-w64-x86-64)
  [ -x "$QV_WINE" ] || missing+=(wine64)
  command -v Xvfb >/dev/null || missing+=(xvfb)
  command -v xauth >/dev/null || missing+=(xauth)
  command -v import >/dev/null || missing+=(imagemagick)
  command -v cmake >/dev/null || missing+=(cmake)
  command -v python3 >/dev/null || missing+=(python3)
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

qv_build() {
  cmake -S "$QV_ROOT" -B "$QV_BUILD" \
        -DCMAKE_TOOLCHAIN_FILE="$QV_ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$QV_BUILD" -j"$(nproc)" "$@"
}

# A private X display on Xvfb, stopped when the calling script exits.
qv_start_xvfb() {
  local n
  for n in $(seq 90 120); do
    [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] || break
  done
  Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  QV_XVFB_PID=$!
  export DISPLAY=:$n
  for _ in $(seq 1 50); do
    [ -e /tmp/.X11-unix/X$n ] && return 0
    sleep 0.1
  done
  echo "Xvfb did not start" >&2
  return 1
}

# One wineserver for the whole run; the prefix is created on first use.
qv_start_wine() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix (first run only)..."
    "$QV_WINE" wineboot -i >/dev/null 2>&1 || true
    # Xvfb has no window manager: Wine draws the captions and frames itself.
    "$QV_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
    "$QV_WINESERVER" -w
  fi
  "$QV_WINESERVER" -p
  # Windows has this directory; the program only ever creates its last level.
  mkdir -p "$WINEPREFIX/drive_c/windows/system32/LogFiles"
}

qv_cleanup() {
  "$QV_WINESERVER" -k >/dev/null 2>&1 || true
  [ -n "${QV_XVFB_PID:-}" ] && kill "$QV_XVFB_PID" 2>/dev/null || true
}
