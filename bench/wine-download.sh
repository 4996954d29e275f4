#!/usr/bin/env bash
# The real kvt-setup.exe's archive download under Wine and Xvfb, against a minimal WinINet
# client, both fetching the same 512 MiB archive from nginx on 127.0.0.1:80 into the same folder
# of the same Wine prefix, alternating (installer first in odd rounds, client first in even ones):
#   (a) kvt-setup.exe (windows-demo build), driven through its window by the end-to-end UI
#       driver: accept, Continue, the folder picked in the folder picker, Start; the driver then
#       leaves it alone (tests/e2e/ui_driver.cc, scenario start)
#   (b) bench/wine/wininet_64k_client.cc: InternetReadFile with 64 KiB reads, each piece written
#       at once to a .temp file, renamed at the end
# Both are timed alike, from outside, from the moment nginx read the archive's request (its
# access log: end minus duration) to the moment the .temp file was renamed (an inotify watch,
# on the same clock). Neither program's start, the window's pages before Start, nor the
# extractor after the download counts, and nothing asks the installer's window anything while
# it downloads. The served UnRAR.exe is not a program: the installer ends in its error message
# and is then stopped.
# Prints per round both times, then the medians with their spread and the median of the
# per-round ratios (alternation cancels slow drifts of a loaded machine):
#   installer_seconds M (min A, max B)
#   client_seconds M (min A, max B)
#   wine_download_ratio_vs_64k_client X.XX
# Needs port 80 of 127.0.0.1: run it as root in a network namespace of its own (with a default
# route, or Wine thinks it is offline).
# Usage: bench/wine-download.sh [rounds (default 5)] [build dir (default build/wine-bench)]
#   KVT_BENCH_MIB=N   the archive's size in MiB (default 512)
#   KVT_BENCH_EXE=F   time this kvt-setup.exe (a windows-demo build) instead of the one built here
#   KVT_BENCH_UNSIGNED=1  an installer without release keys and an unsigned release; by default
#                     the installer carries a key made for the bench (under the build folder) and
#                     the release is signed, so that every piece is also hashed (SHA-256, CNG)
set -euo pipefail
SRC="$(cd "$(dirname "$0")/.." && pwd)"
ROUNDS="${1:-5}"
BUILD="$(realpath -m "${2:-$SRC/build/wine-bench}")"
MIB="${KVT_BENCH_MIB:-512}"

SIGNED=1
[ "${KVT_BENCH_UNSIGNED:-0}" = 1 ] && SIGNED=0

# shellcheck source=tests/e2e/lib.sh
source "$SRC/tests/e2e/lib.sh"
KEY="$BUILD/bench-release-key.pem"
keys=
if [ "$SIGNED" = 1 ]; then
  mkdir -p "$BUILD" && make_release_key "$KEY"
  keys=$(release_public_key "$KEY")
fi
cmake --preset windows-demo -B "$BUILD" -DKVT_E2E=ON -DKVT_WINE_BENCH=ON \
  -DKVT_RELEASE_KEYS="$keys" -DKVT_DEMO_SIGNING_KEY= >/dev/null
cmake --build "$BUILD" -j2 --target kvt-setup kvt-e2e-driver kvt_wine_bench_64k >/dev/null
REF="$BUILD/bench/wine/kvt_wine_bench_64k.exe"

# shellcheck source=bench/nginx.sh
source "$SRC/bench/nginx.sh"
e2e_init "$BUILD"  # the cached Wine prefix of the end-to-end tests, under BUILD/e2e
DRIVER_EXE="$BUILD/kvt-e2e-driver.exe"
if port_in_use 80; then
  echo "something listens on 127.0.0.1:80: run this in a network namespace of its own" >&2
  exit 1
fi
WORK="$(mktemp -d "${TMPDIR:-/tmp}/kvt-wine-bench.XXXXXX")"
chmod 755 "$WORK"
cleanup() {
  e2e_cleanup
  stop_nginx
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/www" "$WORK/app" "$WORK/d/bench" "$WORK/d/client"
# The manifest's temporary file goes beside the installer.
cp -f "${KVT_BENCH_EXE:-$BUILD/kvt-setup.exe}" "$WORK/app/kvt-setup.exe"
head -c $((MIB * 1024 * 1024)) /dev/urandom >"$WORK/www/KVT_SETUP.rar"
echo "not an extractor" >"$WORK/www/UnRAR.exe"
printf '2.1\r\nhttp://127.0.0.1/UnRAR.exe\r\nhttp://127.0.0.1/KVT_SETUP.rar' \
  >"$WORK/www/KVT_TRNQP_SETUP_LOG.txt"
[ "$SIGNED" = 0 ] || sign_release "$WORK/www" "$KEY" "$(date +%s)"
chmod -R a+rX "$WORK/www"
start_nginx "$WORK" 80
LOG="$WORK/nginx/logs/access.log"

start_x
make_prefix
set_dpi 96
ln -sfn "$WORK/d" "$WINEPREFIX/dosdevices/d:"
wineserver -p || true  # kept running between the rounds: every program starts alike

# watch DIR NAME OUT: in the background, writes "ready" to OUT once it watches, then the time
# (seconds since 1970) at which a file was renamed to DIR/NAME. Sets WATCH_PID.
watch() {
  python3 - "$1" "$2" >"$3" <<'PY' &
import ctypes, os, struct, sys, time
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(0)
if fd < 0 or libc.inotify_add_watch(fd, sys.argv[1].encode(), 0x80) < 0:  # IN_MOVED_TO
    sys.exit("inotify: " + os.strerror(ctypes.get_errno()))
print("ready", flush=True)
while True:
    events = os.read(fd, 65536)
    now = time.time()
    at = 0
    while at < len(events):
        length = struct.unpack_from("iIII", events, at)[3]
        name = events[at + 16:at + 16 + length].rstrip(b"\0").decode()
        if name == sys.argv[2]:
            print("%.6f" % now, flush=True)
            sys.exit(0)
        at += 16 + length
PY
  WATCH_PID=$!
  local _
  for _ in $(seq 200); do grep -q ready "$3" 2>/dev/null && return 0; sleep 0.01; done
  echo "the rename watch did not start" >&2
  exit 1
}

# timed NAME DIR STARTER...: runs STARTER... (which makes DIR/KVT_SETUP.rar be downloaded and
# renamed from .temp) and sets TOOK to the seconds from the archive's request to the rename.
TOOK=
timed() {
  local name=$1 dir=$2 _ end start
  shift 2
  rm -f "$dir"/KVT_SETUP.rar*
  local before; before=$(wc -l <"$LOG")
  watch "$dir" KVT_SETUP.rar "$WORK/$name.watch"
  "$@"
  if ! timeout 300 tail --pid="$WATCH_PID" -f /dev/null; then
    echo "$name: no renamed archive within 300 s" >&2; exit 1
  fi
  end=$(sed -n 2p "$WORK/$name.watch")
  for _ in $(seq 100); do  # nginx writes its line once the last byte is sent
    start=$(tail -n +"$((before + 1))" "$LOG" | awk '$5 == "/KVT_SETUP.rar" {printf "%.3f", $1 - $2}')
    [ -n "$start" ] && break
    sleep 0.05
  done
  [ -n "$end" ] && [ -n "$start" ] || { echo "$name: no times (log: $LOG)" >&2; exit 1; }
  cmp -s "$WORK/www/KVT_SETUP.rar" "$dir/KVT_SETUP.rar" || { echo "$name: wrong bytes" >&2; exit 1; }
  TOOK=$(echo "$end - $start" | bc -l)
}

installer() {
  start_app "$WORK/app/kvt-setup.exe"
  run_driver start --version 2.1 --folder 'D:\bench' >"$WORK/driver.out" ||
    { cat "$WORK/driver.out" >&2; exit 1; }
}
stop_installer() {  # it waits in its error message about the extractor: nothing more to see
  kill -KILL "$APP_PID" 2>/dev/null || true
  wait "$APP_PID" 2>/dev/null || true
}
client() {
  wine "$REF" 80 /KVT_SETUP.rar 'D:\client\KVT_SETUP.rar' >"$WORK/client.line" 2>&1 ||
    { cat "$WORK/client.line" >&2; exit 1; }
}

median() { sort -g | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
spread() { sort -g | awk 'NR == 1 {lo = $1} {hi = $1} END {printf "min %.3f, max %.3f", lo, hi}'; }

SIZE=$(stat -c %s "$WORK/www/KVT_SETUP.rar")
echo "== $ROUNDS rounds of $MIB MiB, $([ "$SIGNED" = 1 ] && echo "signed release, each piece hashed" || echo unsigned) (seconds: installer, 64 KiB client; load $(cut -d' ' -f1-3 /proc/loadavg))"
: >"$WORK/k" && : >"$WORK/c" && : >"$WORK/ratios"
for r in $(seq "$ROUNDS"); do
  if [ $((r % 2)) = 1 ]; then
    timed installer "$WORK/d/bench" installer && k=$TOOK && stop_installer
    timed client "$WORK/d/client" client && c=$TOOK
  else
    timed client "$WORK/d/client" client && c=$TOOK
    timed installer "$WORK/d/bench" installer && k=$TOOK && stop_installer
  fi
  echo "$k" >>"$WORK/k" && echo "$c" >>"$WORK/c" && echo "$k / $c" | bc -l >>"$WORK/ratios"
  printf 'round %d: %.3f %.3f  (%.0f and %.0f MB/s)\n' "$r" "$k" "$c" \
    "$(echo "$SIZE / $k / 1000000" | bc -l)" "$(echo "$SIZE / $c / 1000000" | bc -l)"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf 'installer_seconds %.3f (%s)\n' "$(median <"$WORK/k")" "$(spread <"$WORK/k")"
printf 'client_seconds %.3f (%s)\n' "$(median <"$WORK/c")" "$(spread <"$WORK/c")"
printf 'wine_download_ratio_vs_64k_client %.2f\n' "$(median <"$WORK/ratios")"
