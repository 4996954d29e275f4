#!/usr/bin/env bash
# Size of the vendor's kvt-setup.exe (the windows preset, or windows32 for 32-bit Windows), and
# of the smallest static window program built with the same compiler, flags and link options
# (bench/min_window.cc), as a ratio. Also the size of each section of kvt-setup.exe. The last
# three lines:
#   exe_bytes N
#   min_window_bytes N
#   exe_ratio_vs_min_window X.XX
# Usage: bench/size.sh [windows|windows32] [build dir (default build/<preset>, the preset's folder)]
set -euo pipefail
SRC="$(cd "$(dirname "$0")/.." && pwd)"
PRESET=windows
case "${1:-}" in
  windows|windows32) PRESET=$1; shift ;;
esac
BUILD="$(realpath -m "${1:-$SRC/build/$PRESET}")"
TOOLS=x86_64-w64-mingw32
[ "$PRESET" = windows32 ] && TOOLS=i686-w64-mingw32

cd "$SRC"
cmake --preset "$PRESET" -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j2 --target kvt-setup kvt_bench_min_window >/dev/null
EXE="$BUILD/kvt-setup.exe"
MIN="$BUILD/bench/kvt_bench_min_window.exe"

echo "== sections of kvt-setup.exe (bytes in memory; the file rounds each up to 512)"
"$TOOLS-size" -A "$EXE" | awk '$1 ~ /^\./ {printf "%-8s %7d\n", $1, $2}'
echo "== imports"
"$TOOLS-objdump" -p "$EXE" | awk '/DLL Name:/ {printf "%s ", $3} END {print ""}'

exe_bytes=$(stat -c %s "$EXE")
min_bytes=$(stat -c %s "$MIN")
printf 'exe_bytes %d\n' "$exe_bytes"
printf 'min_window_bytes %d\n' "$min_bytes"
awk -v a="$exe_bytes" -v b="$min_bytes" 'BEGIN {printf "exe_ratio_vs_min_window %.2f\n", a / b}'
