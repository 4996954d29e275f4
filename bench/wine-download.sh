#!/usr/bin/env bash
# The installer's archive download under Wine against a minimal WinINet client, both fetching
# the same 64 MiB file from nginx on 127.0.0.1 into the same Wine prefix, alternating:
#   (a) DownloadFile with the product's WinINet and file adapters (bench/wine/installer_download.cc)
#   (b) InternetReadFile with 64 KiB reads, each piece written at once (bench/wine/wininet_64k_client.cc)
# Each program times its own download (Wine's start-up is not counted). The last line is the
# median of the per-round ratios:
#   wine_download_ratio_vs_64k_client X.XX
# Usage: bench/wine-download.sh [rounds (default 7)] [build dir (default build/wine-bench)]
set -euo pipefail
SRC="$(cd "$(dirname "$0")/.." && pwd)"
ROUNDS="${1:-7}"
BUILD="$(realpath -m "${2:-$SRC/build/wine-bench}")"

cmake -S "$SRC" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKVT_VENDOR_HOST=127.0.0.1 -DKVT_PROBE_HOST=localhost \
  -DKVT_WINE_BENCH=ON >/dev/null
ninja -C "$BUILD" -j2 kvt_wine_bench_installer kvt_wine_bench_64k >/dev/null
KVT="$BUILD/bench/wine/kvt_wine_bench_installer.exe"
REF="$BUILD/bench/wine/kvt_wine_bench_64k.exe"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/kvt-wine-bench.XXXXXX")"
chmod 755 "$WORK"
mkdir -p "$WORK/www" "$WORK/out" "$WORK/home"
# shellcheck source=bench/nginx.sh
source "$SRC/bench/nginx.sh"
cleanup() {
  WINEPREFIX="$WORK/prefix" wineserver -k >/dev/null 2>&1 || true
  stop_nginx
  rm -rf "$WORK"
}
trap cleanup EXIT

head -c $((64 * 1024 * 1024)) /dev/urandom >"$WORK/www/big.bin"
chmod 644 "$WORK/www/big.bin"
SIZE=$(stat -c %s "$WORK/www/big.bin")
start_nginx "$WORK"

export WINEPREFIX="$WORK/prefix" HOME="$WORK/home" WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
unset DISPLAY
echo "== Wine prefix"
wineboot -i >/dev/null 2>&1
wineserver -p || true  # kept running between the rounds: every program starts alike
OUT_W='Z:'"$(echo "$WORK/out" | tr / '\\')"

field() { awk -v k="$1" '{for (i = 1; i < NF; i++) if ($i == k) print $(i + 1)}' "$2"; }
median() { sort -g | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
run() {  # run NAME EXE: prints the program's own seconds
  local name=$1 exe=$2
  rm -f "$WORK/out/$name.bin"
  wine "$exe" "$PORT" /big.bin "$OUT_W\\$name.bin" >"$WORK/$name.line" 2>/dev/null
  local got; got=$(stat -c %s "$WORK/out/$name.bin" 2>/dev/null || echo 0)
  [ "$got" = "$SIZE" ] || { echo "incomplete download by $name: $got of $SIZE bytes" >&2; exit 1; }
  cmp -s "$WORK/www/big.bin" "$WORK/out/$name.bin" || { echo "$name: wrong bytes" >&2; exit 1; }
  field seconds "$WORK/$name.line" | tr -d "\r"
}

echo "== $ROUNDS rounds of 64 MiB (seconds: installer, 64 KiB client)"
: >"$WORK/ratios"
for r in $(seq "$ROUNDS"); do
  if [ $((r % 2)) = 1 ]; then k=$(run installer "$KVT"); c=$(run client "$REF")
  else c=$(run client "$REF"); k=$(run installer "$KVT"); fi
  echo "$k / $c" | bc -l >>"$WORK/ratios"
  printf 'round %d: %s %s  (%.0f and %.0f MB/s)\n' "$r" "$k" "$c" \
    "$(echo "$SIZE / $k / 1000000" | bc -l)" "$(echo "$SIZE / $c / 1000000" | bc -l)"
done
printf 'wine_download_ratio_vs_64k_client %.2f\n' "$(median <"$WORK/ratios")"
