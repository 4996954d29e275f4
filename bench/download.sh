#!/usr/bin/env bash
# Download benchmark. nginx serves a 1 GiB file on 127.0.0.1; it is downloaded, alternating, by
#   (a) DownloadFile: the core with the POSIX HTTP client and files and the headless window
#       (bench/download_bench.cc), pieces of up to 64 KiB each written at once;
#   (b) the floor: 64 KiB socket reads and one pwrite per piece (bench/floor_client.cc);
#   (c) curl -o FILE.
# Also: peak RSS of (a) for 10 MiB and 1 GiB, and the longest gap between two event pumps.
# The last two lines are the medians of the per-round wall-time ratios:
#   download_wall_ratio_vs_floor X.XX
#   download_wall_ratio_vs_curl X.XX
# Usage: bench/download.sh [rounds (default 7)] [build dir (default build/bench)]
#   KVT_BENCH_SIGNED=1  (a) downloads the file as one of a signed release: its size and SHA-256
#                       are expected, and every piece is hashed
# Each run starts after a sync, so that writeback of an earlier run does not land in the next.
set -euo pipefail
SRC="$(cd "$(dirname "$0")/.." && pwd)"
ROUNDS="${1:-7}"
BUILD="$(realpath -m "${2:-$SRC/build/bench}")"

cmake -S "$SRC" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$BUILD" -j2 kvt_bench_download kvt_bench_floor >/dev/null
KVT="$BUILD/bench/kvt_bench_download"
FLOOR="$BUILD/bench/kvt_bench_floor"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/kvt-bench.XXXXXX")"
chmod 755 "$WORK"
mkdir -p "$WORK/www" "$WORK/out"
# shellcheck source=bench/nginx.sh
source "$SRC/bench/nginx.sh"
cleanup() {
  stop_nginx
  rm -rf "$WORK"
}
trap cleanup EXIT

echo "== files"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$WORK/www/big.bin"
head -c $((10 * 1024 * 1024)) /dev/urandom >"$WORK/www/small.bin"
chmod 644 "$WORK/www/"*

start_nginx "$WORK"
if [ "${KVT_BENCH_SIGNED:-0}" = 1 ]; then
  KVT_BENCH_SIGNED="$(stat -c %s "$WORK/www/big.bin") $(sha256sum "$WORK/www/big.bin" | cut -d' ' -f1)"
  export KVT_BENCH_SIGNED
  echo "== signed: DownloadFile expects size and SHA-256 $KVT_BENCH_SIGNED"
else
  unset KVT_BENCH_SIGNED
fi

now() { date +%s.%N; }
SIZE=$(stat -c %s "$WORK/www/big.bin")
check() {  # the output file must hold the whole body
  local got; got=$(stat -c %s "$1")
  [ "$got" = "$SIZE" ] || { echo "incomplete download: $1 has $got of $SIZE bytes" >&2; exit 1; }
}

run_kvt() {
  sync
  local t0 t1; t0=$(now)
  "$KVT" "$PORT" /big.bin "$WORK/out" >"$WORK/kvt.line"
  t1=$(now); check "$WORK/out/big.bin"; rm -f "$WORK/out/big.bin"
  echo "$t1 - $t0" | bc -l
}
run_floor() {
  sync
  local t0 t1; t0=$(now)
  "$FLOOR" "$PORT" /big.bin "$WORK/out/floor.bin" >/dev/null
  t1=$(now); check "$WORK/out/floor.bin"; rm -f "$WORK/out/floor.bin"
  echo "$t1 - $t0" | bc -l
}
run_curl() {
  sync
  local t0 t1; t0=$(now)
  curl -s -o "$WORK/out/curl.bin" "http://127.0.0.1:$PORT/big.bin"
  t1=$(now); check "$WORK/out/curl.bin"; rm -f "$WORK/out/curl.bin"
  echo "$t1 - $t0" | bc -l
}
field() { awk -v k="$1" '{for (i = 1; i < NF; i++) if ($i == k) print $(i + 1)}' "$2"; }
median() { sort -g | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

echo "== 10 MiB download, compared byte for byte"
env -u KVT_BENCH_SIGNED "$KVT" "$PORT" /small.bin "$WORK/out" >"$WORK/small.line"
cmp "$WORK/www/small.bin" "$WORK/out/small.bin"
rm -f "$WORK/out/small.bin"
RSS_SMALL=$(field peak_rss_kib "$WORK/small.line")

echo "== $ROUNDS rounds of 1 GiB (seconds: DownloadFile, floor, curl)"
: >"$WORK/vs_floor"; : >"$WORK/vs_curl"; : >"$WORK/gaps"; : >"$WORK/rss"
for r in $(seq "$ROUNDS"); do
  # The order turns each round, so that none of the three always goes first.
  case $((r % 3)) in
    1) k=$(run_kvt); f=$(run_floor); c=$(run_curl) ;;
    2) f=$(run_floor); c=$(run_curl); k=$(run_kvt) ;;
    0) c=$(run_curl); k=$(run_kvt); f=$(run_floor) ;;
  esac
  field peak_rss_kib "$WORK/kvt.line" >>"$WORK/rss"
  echo "$k / $f" | bc -l >>"$WORK/vs_floor"
  echo "$k / $c" | bc -l >>"$WORK/vs_curl"
  printf 'round %d: %.3f %.3f %.3f  (%s display updates)\n' \
    "$r" "$k" "$f" "$c" "$(field updates "$WORK/kvt.line")"
done

echo "== 3 more DownloadFile runs of 1 GiB, timing every event pump"
for r in 1 2 3; do
  sync
  "$KVT" --gaps "$PORT" /big.bin "$WORK/out" >"$WORK/kvt.line"
  check "$WORK/out/big.bin"; rm -f "$WORK/out/big.bin"
  field peak_rss_kib "$WORK/kvt.line" >>"$WORK/rss"
  field longest_pump_gap_ms "$WORK/kvt.line" >>"$WORK/gaps"
  echo "run $r: $(cat "$WORK/kvt.line")"
done

RSS_BIG=$(sort -g "$WORK/rss" | tail -1)
printf 'peak_rss_10MiB_kib %s\n' "$RSS_SMALL"
printf 'peak_rss_1GiB_kib %s\n' "$RSS_BIG"
printf 'longest_pump_gap_ms %.3f (median of runs %.3f)\n' "$(sort -g "$WORK/gaps" | tail -1)" \
  "$(median <"$WORK/gaps")"
printf 'download_wall_ratio_vs_floor %.2f\n' "$(median <"$WORK/vs_floor")"
printf 'download_wall_ratio_vs_curl %.2f\n' "$(median <"$WORK/vs_curl")"
