#!/usr/bin/env bash
# The real kvt-setup.exe's archive download under Wine and Xvfb, against a minimal WinINet
# client, both fetching the same 512 MiB archive from nginx on 127.0.0.1:80 into the same folder
# of the same Wine prefix, in turns (each round starts with the next of them):
#   (a) kvt-setup.exe (windows-demo build), driven through its window by the end-to-end UI
#       driver: accept, Continue, the folder picked in the folder picker, Start; the driver then
#       leaves it alone (tests/e2e/ui_driver.cc, scenario start)
#   (b) bench/wine/wininet_64k_client.cc: InternetReadFile with 64 KiB reads, each piece written
#       at once to a .temp file, renamed at the end
#   (c) with a signed release only: the same client hashing each piece with CNG after writing it,
#       one after the other on its one thread (the platform's serial floor for a signed download)
# Both are timed alike, from outside, from the moment nginx read the archive's request (its
# access log: end minus duration) to the moment the .temp file was renamed (an inotify watch,
# on the same clock). Neither program's start, the window's pages before Start, nor the
# extractor after the download counts, and nothing asks the installer's window anything while
# it downloads. The served UnRAR.exe is not a program: the installer ends in its error message
# and is then stopped.
# Prints per round the times, then the medians with their spread and the medians of the
# per-round ratios (taking turns cancels slow drifts of a loaded machine):
#   installer_seconds M (min A, max B)
#   client_seconds M (min A, max B)
#   hashing_client_seconds M (min A, max B)                       (signed release only)
#   wine_download_ratio_vs_64k_client X.XX
#   wine_download_ratio_vs_64k_hashing_client X.XX                (signed release only)
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

mkdir -p "$WORK/www" "$WORK/app" "$WORK/d/bench" "$WORK/d/client" "$WORK/d/hashing"
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
hashing_client() {
  wine "$REF" 80 /KVT_SETUP.rar 'D:\hashing\KVT_SETUP.rar' sha256 >"$WORK/hashing.line" 2>&1 ||
    { cat "$WORK/hashing.line" >&2; exit 1; }
  grep -q "sha256 $DIGEST" "$WORK/hashing.line" ||
    { echo "hashing client: wrong digest: $(cat "$WORK/hashing.line")" >&2; exit 1; }
}
# run_one NAME: one timed download of NAME (installer, client or hashing), its seconds into
# $WORK/NAME.
run_one() {
  case $1 in
    installer) timed installer "$WORK/d/bench" installer && stop_installer ;;
    client) timed client "$WORK/d/client" client ;;
    hashing) timed hashing "$WORK/d/hashing" hashing_client ;;
  esac
  echo "$TOOK" >>"$WORK/$1"
}

median() { sort -g | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
spread() { sort -g | awk 'NR == 1 {lo = $1} {hi = $1} END {printf "min %.3f, max %.3f", lo, hi}'; }

SIZE=$(stat -c %s "$WORK/www/KVT_SETUP.rar")
DIGEST=$(sha256sum "$WORK/www/KVT_SETUP.rar" | cut -d' ' -f1)
PROGRAMS=(installer client)
[ "$SIGNED" = 0 ] || PROGRAMS+=(hashing)
echo "== $ROUNDS rounds of $MIB MiB, $([ "$SIGNED" = 1 ] && echo "signed release, each piece hashed" || echo unsigned) (seconds: ${PROGRAMS[*]}; load $(cut -d' ' -f1-3 /proc/loadavg))"
: >"$WORK/ratios" && : >"$WORK/hashing_ratios"
for p in "${PROGRAMS[@]}"; do : >"$WORK/$p"; done
mbs() { printf '%.0f' "$(echo "$SIZE / $1 / 1000000" | bc -l)"; }
for r in $(seq "$ROUNDS"); do
  n=${#PROGRAMS[@]}
  for i in $(seq 0 $((n - 1))); do run_one "${PROGRAMS[$(((r - 1 + i) % n))]}"; done
  k=$(tail -1 "$WORK/installer") && c=$(tail -1 "$WORK/client")
  echo "$k / $c" | bc -l >>"$WORK/ratios"
  line=$(printf 'round %d: %.3f %.3f' "$r" "$k" "$c")
  speeds="$(mbs "$k") and $(mbs "$c")"
  if [ "$SIGNED" = 1 ]; then
    h=$(tail -1 "$WORK/hashing")
    echo "$k / $h" | bc -l >>"$WORK/hashing_ratios"
    line+=$(printf ' %.3f' "$h") && speeds+=" and $(mbs "$h")"
  fi
  echo "$line  ($speeds MB/s)"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf 'installer_seconds %.3f (%s)\n' "$(median <"$WORK/installer")" "$(spread <"$WORK/installer")"
printf 'client_seconds %.3f (%s)\n' "$(median <"$WORK/client")" "$(spread <"$WORK/client")"
[ "$SIGNED" = 0 ] ||
  printf 'hashing_client_seconds %.3f (%s)\n' "$(median <"$WORK/hashing")" "$(spread <"$WORK/hashing")"
printf 'wine_download_ratio_vs_64k_client %.2f\n' "$(median <"$WORK/ratios")"
[ "$SIGNED" = 0 ] ||
  printf 'wine_download_ratio_vs_64k_hashing_client %.2f\n' "$(median <"$WORK/hashing_ratios")"
