#!/bin/bash
# Builds the Win32 adapter tests with MinGW and runs them under Wine in a throwaway prefix
# (own WINEPREFIX, HOME, zh_CN locale for code page 936, Xvfb for the folder picker).
# Usage: tests/win32/run.sh [build-dir] [gtest arguments...]; exit code = the tests' result.
# KVT_WIN32_ARCH=i686 builds them for 32-bit Windows (default build dir build/h-win32sys-i686);
# run them with a Wine that starts 32-bit programs (tests/wine32/emulated.sh run -- ...).
set -u
SRC="$(cd "$(dirname "$0")/../.." && pwd)"
ARCH="${KVT_WIN32_ARCH:-x86_64}"
case "$ARCH" in
  x86_64) DEFAULT_BUILD="$SRC/build/h-win32sys" ;;
  i686) DEFAULT_BUILD="$SRC/build/h-win32sys-i686" ;;
  *) echo "KVT_WIN32_ARCH must be x86_64 or i686, not $ARCH" >&2; exit 2 ;;
esac
BUILD="$(realpath -m "${1:-$DEFAULT_BUILD}")"
shift || true

# The posix thread-model compiler: the tests' own helpers use std::thread.
cmake -S "$SRC" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/mingw-w64-$ARCH.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKVT_VENDOR_HOST=127.0.0.1 -DKVT_PROBE_HOST=localhost \
  -DKVT_MINGW_THREAD_MODEL=posix -DKVT_WIN32_TESTS=ON >/dev/null || exit 2
ninja -C "$BUILD" -j2 kvt_win32_tests >/dev/null || { ninja -C "$BUILD" -j1 kvt_win32_tests; exit 2; }
EXE="$BUILD/tests/win32/kvt_win32_tests.exe"

RUN="$BUILD/win32-tests-run"
rm -rf "$RUN"
mkdir -p "$RUN/locale" "$RUN/home"
localedef -i zh_CN -f UTF-8 "$RUN/locale/zh_CN.UTF-8" 2>/dev/null || true

# (bash itself cannot load this locale: silence its warning)
{ export WINEPREFIX="$RUN/prefix" HOME="$RUN/home" LOCPATH="$RUN/locale" LC_ALL=zh_CN.UTF-8; } 2>/dev/null
export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
unset WINESERVER

# A display of our own for the folder picker.
for n in $(seq 117 160); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { DISPLAY_NUMBER=$n; break; }
done
Xvfb ":$DISPLAY_NUMBER" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
XVFB_PID=$!
export DISPLAY=":$DISPLAY_NUMBER"

cleanup() {
  stop_scenario_server
  wineserver -k >/dev/null 2>&1
  kill "$XVFB_PID" 2>/dev/null
  wait "$XVFB_PID" 2>/dev/null
  [ -n "${KEEP_PREFIX:-}" ] || rm -rf "$RUN"
}
trap cleanup EXIT

# The network scenario rows (net_scenarios_test.cc) are served from Linux.
source "$SRC/tests/win32/scenario_server.sh"
start_scenario_server "$SRC" "$BUILD/scenario-server" "$RUN" || { echo "scenario server failed" >&2; exit 2; }

wineboot -i >/dev/null 2>&1
wineserver -w
# Emulated Wine (tests/wine32/emulated.sh) runs every Windows instruction through a translator.
timeout "$([ "${KVT_WINE32_EMULATED:-0}" = 1 ] && echo 900 || echo 300)" wine "$EXE" "$@"
RESULT=$?
exit $RESULT
