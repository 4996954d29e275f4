#!/usr/bin/env bash
# Demo of kvt-setup.exe under Wine on this Linux machine, against the demo vendor server.
#
#   ./run-demo.sh               with DISPLAY set: the installer opens there and you click through
#                               it; without DISPLAY: a scripted install on a private X server
#   ./run-demo.sh --headless    the scripted install even when a display is available
#   ./run-demo.sh --unsigned    an installer without release keys and an unsigned release
#   ./run-demo.sh --mirrors     failover: an installer with the mirror 127.0.0.2
#                               (KVT_VENDOR_MIRRORS, built in build/run-demo-mirrors), the release
#                               served on 127.0.0.1:80 and by a second nginx on 127.0.0.2:80, both
#                               checked with kvt-release check --mirror, then the first one stopped
#   ./run-demo.sh --https       the same over HTTPS (may be combined with the others): a secure
#                               build (KVT_VENDOR_SCHEME=https) in build/run-demo-https, nginx
#                               on 127.0.0.1:443 with a certificate of a test CA made for the
#                               demo, trusted only inside a private mount namespace in which the
#                               rest of the demo runs (never in this machine's store; needs root)
#
# Steps: installs missing Debian packages (as root, or says what to run), builds the release tool
# kvt-release (linux preset) and makes the demo's signing key build/demo-key/release-key.pem once
# (never committed: build/ is ignored), builds the windows-demo preset in build/run-demo with the
# key's public half compiled in (KVT_RELEASE_KEYS; kvt-setup.exe, the demo release signed with the
# key, the UI driver), starts nginx on 127.0.0.1:80 serving the demo release
# (tools/demo/vendor-server.sh; the installer always connects to port 80), checks it with
# `kvt-release check --keys` as the installer will, maps drive D: of a Wine prefix of its own to
# build/run-demo/demo/drive_d and starts the installer. The scripted install prints each step as
# it happens and saves a screenshot of every page in build/run-demo/demo/screenshots. At the end
# everything started here is stopped: nginx, Xvfb, the wineserver with the installer and the demo
# KVT.exe. (The end-to-end tests build build/windows-demo*; the demo never touches those.)
set -u
repo="$(cd "$(dirname "$0")" && pwd)"
headless=0
https=0
signed=1
mirrors=0
for arg in "$@"; do
  case "$arg" in
    --headless) headless=1 ;;
    --https) https=1 ;;
    --unsigned) signed=0 ;;
    --mirrors) mirrors=1 ;;
    *) echo "usage: $0 [--headless] [--https] [--unsigned] [--mirrors]"; exit 2 ;;
  esac
done
[ -n "${DISPLAY:-}" ] || headless=1
# The demo's certificate names 127.0.0.1 only.
[ "$https" = 0 ] || [ "$mirrors" = 0 ] || { echo "--mirrors goes without --https"; exit 2; }

say() { printf '\n== %s\n' "$*"; }

if [ -z "${KVT_DEMO_TRUSTING:-}" ]; then  # (checked already before entering the namespace)
  say "checking the Debian packages"
  # shellcheck source=tools/packages.sh
  source "$repo/tools/packages.sh"
  ensure_packages || { echo "could not install the packages: ${KVT_PACKAGES[*]}"; exit 1; }
fi

# shellcheck source=tests/e2e/lib.sh
source "$repo/tests/e2e/lib.sh"
build_dir="$repo/build/run-demo"
scheme_options=()
port=80
if [ "$https" = 1 ]; then
  build_dir="$repo/build/run-demo-https"
  scheme_options=(-DKVT_VENDOR_SCHEME=https)
  port=443
  tls="$build_dir/demo-tls"
  if [ -z "${KVT_DEMO_TRUSTING:-}" ]; then
    say "making a test CA and a certificate for 127.0.0.1 in $tls"
    if [ "$(id -u)" != 0 ]; then
      echo "The HTTPS demo trusts its test CA only inside a private mount namespace: run it as root."
      exit 1
    fi
    mkdir -p "$build_dir"
    make_test_certificates "$tls" || exit 1
    say "running the rest of the demo where the test CA is trusted (a private mount namespace)"
    KVT_DEMO_TRUSTING=1 with_test_ca "$tls/ca.crt" "$0" "$@"
    exit $?
  fi
fi
mirror_options=(-DKVT_VENDOR_MIRRORS=)
if [ "$mirrors" = 1 ]; then
  build_dir="$build_dir-mirrors"
  mirror_options=(-DKVT_VENDOR_MIRRORS=127.0.0.2)
fi
build_log="$build_dir/demo-build.log"
# On a fresh clone nothing under build/ exists yet: the log's folder comes first.
mkdir -p "$build_dir"
tool="$repo/build/linux/tools/release/kvt-release"
key="$repo/build/demo-key/release-key.pem"
sign_options=(-DKVT_RELEASE_KEYS= -DKVT_DEMO_SIGNING_KEY= -DKVT_RELEASE_TOOL=)
if [ "$signed" = 1 ]; then
  say "building the release tool kvt-release (log: $build_log)"
  (cd "$repo" && cmake --preset linux && cmake --build --preset linux -j2 --target kvt-release) \
    >"$build_log" 2>&1 || { tail -n 30 "$build_log"; echo "build failed (log: $build_log)"; exit 1; }
  if [ ! -f "$key" ]; then
    say "making the demo's release signing key $key"
    mkdir -p "$(dirname "$key")"
    "$tool" keygen "$key" || exit 1
  fi
  public_key=$("$tool" pubkey "$key" | sed -n 's/^KVT_RELEASE_KEYS=//p')
  [ -n "$public_key" ] || { echo "cannot read the demo key $key"; exit 1; }
  echo "the installer trusts the demo key $("$tool" pubkey "$key" | sed -n 's/^key id: //p')" \
    "(KVT_RELEASE_KEYS=$public_key)"
  sign_options=(-DKVT_RELEASE_KEYS="$public_key" -DKVT_DEMO_SIGNING_KEY="$key"
                -DKVT_RELEASE_TOOL="$tool")
fi
say "building kvt-setup.exe, the UI driver and the demo release in $build_dir"
echo "(about a minute on a fresh clone; log: $build_log)"
# The build's output goes to the log; on a terminal one line follows ninja's "[done/total]".
# The product's own network time-outs (the end-to-end tests build their folders with short ones).
(cd "$repo" && cmake --preset windows-demo -B "$build_dir" "${scheme_options[@]}" -DKVT_E2E=ON \
   -DKVT_CONNECT_TIMEOUT_MS=30000 -DKVT_RECEIVE_TIMEOUT_MS=60000 -DKVT_RESOLVE_TIMEOUT_MS=30000 \
   "${sign_options[@]}" "${mirror_options[@]}" &&
   cmake --build "$build_dir" -j2 --target kvt-setup kvt-e2e-driver kvt_demo_release) 2>&1 |
  tee -a "$build_log" |
  if [ -t 1 ]; then
    awk '/^\[[0-9]+\/[0-9]+\]/ { printf "\r  build step %s", $1; fflush() } END { print "" }'
  else
    cat >/dev/null
  fi
[ "${PIPESTATUS[0]}" = 0 ] ||
  { tail -n 30 "$build_log"; echo "build failed (log: $build_log)"; exit 1; }
echo "built $build_dir/kvt-setup.exe ($(stat -c %s "$build_dir/kvt-setup.exe") bytes)"
release="$build_dir/demo-release"

e2e_init "$build_dir"
DRIVER_EXE="$BUILD_DIR/kvt-e2e-driver.exe"
demo_dir="$BUILD_DIR/demo"
shots="$demo_dir/screenshots"
drive_d="$demo_dir/drive_d"
rm -rf "$demo_dir" && mkdir -p "$shots" "$drive_d"

say "starting the demo vendor server (nginx) on 127.0.0.1:$port"
tls_files=()
[ "$https" = 0 ] || tls_files=("$tls/good.crt" "$tls/good.key")
if ! KVT_VENDOR_PACE=1 start_vendor_server "$release" "$port" "${tls_files[@]}"; then
  echo
  echo "The demo vendor server could not start on port $port, which the installer always uses."
  echo "If another program holds port $port, stop it. If this user may not bind port $port, run the"
  echo "demo as root, or allow it with: sudo sysctl net.ipv4.ip_unprivileged_port_start=80"
  exit 1
fi
echo "serving $release (manifest, UnRAR.exe, KVT_SETUP.rar), slowed down so that each page can be seen"
# The mirror: a second nginx on another loopback address, the same release.
start_mirror_server() {
  KVT_VENDOR_ADDRESS=127.0.0.2 KVT_VENDOR_RUN_DIR="$E2E_DIR/vendor" \
    bash "$repo/tools/demo/vendor-server.sh" start "$release" "$port"
}
if [ "$mirrors" = 1 ]; then
  say "starting the mirror (a second nginx) on 127.0.0.2:$port"
  trap 'KVT_VENDOR_ADDRESS=127.0.0.2 KVT_VENDOR_RUN_DIR="$E2E_DIR/vendor" \
    bash "$repo/tools/demo/vendor-server.sh" stop "$port" >/dev/null; e2e_cleanup' EXIT
  KVT_VENDOR_PACE=1 start_mirror_server || { echo "the mirror could not start"; exit 1; }
fi
[ "$https" = 0 ] || echo "over HTTPS with $tls/good.crt, signed by the test CA $tls/ca.crt"
if [ "$signed" = 1 ]; then
  say "the release's signature file ($release/KVT_TRNQP_SETUP_LOG.txt.sig)"
  sed 's/^/  /' "$release/KVT_TRNQP_SETUP_LOG.txt.sig"
  say "kvt-release check 127.0.0.1 --keys <the demo key>: the release as the installer will read it"
  check_options=()
  [ "$https" = 0 ] || check_options=(--https --ca "$tls/ca.crt")
  # The server is slowed down for the pages; the check reads all of it (a few seconds).
  [ "$mirrors" = 0 ] || check_options+=(--mirror 127.0.0.2)
  "$tool" check 127.0.0.1 --keys "$public_key" "${check_options[@]}" | sed 's/^/  /'
  [ "${PIPESTATUS[0]}" = 0 ] || { echo "the demo release does not verify"; exit 1; }
fi
if [ "$mirrors" = 1 ]; then
  say "stopping the vendor server on 127.0.0.1:$port: the installer must fail over to the mirror"
  stop_vendor_server
fi

if [ "$headless" = 1 ]; then
  say "starting a private X server"
  start_x || exit 1
fi
say "preparing the Wine prefix (the first time takes about 15 s)"
make_prefix
set_dpi 96
ln -sfn "$drive_d" "$WINEPREFIX/dosdevices/d:"
rm -f "$HOME/KVT记账宝.lnk"
echo "drive D: is $drive_d"

say "starting kvt-setup.exe"
start_app "$BUILD_DIR/kvt-setup.exe"
result=0
if [ "$headless" = 0 ]; then
  echo "The installer is open on $DISPLAY. Accept the agreement, press 继续, choose a folder on D:"
  echo "and press 开始安装. The demo ends when the installer ends."
  wait "$APP_PID"
  APP_PID=""
  if [ -t 0 ] && [ -d "$drive_d/KVT记账宝" ]; then
    read -r -p "Press Enter to close the demo product and stop everything. " _
  fi
else
  total=$(size_text "$(stat -c %s "$release/KVT_SETUP.rar")")
  version=$(head -n 1 "$release/KVT_TRNQP_SETUP_LOG.txt" | tr -d '\r' | iconv -f CP936 -t UTF-8)
  say "scripted install (each step as it happens)"
  run_driver install --version "$version" --total "$total" --end finish \
    --shots "$(winepath_w "$shots")" || result=1
  for bmp in "$shots"/*.bmp; do
    [ -f "$bmp" ] || continue
    # Only the windows: the plain desktop around them is cut off.
    convert "$bmp" -trim +repage "${bmp%.bmp}.png" && rm -f "$bmp"
  done
  say "screenshots in $shots"
  for page in 1-agreement 2-waiting 3-path 4-download 5-finish 6-product; do
    if [ -s "$shots/$page.png" ]; then echo "  $shots/$page.png"
    else echo "  $shots/$page.png MISSING"; result=1; fi
  done
fi

say "what the install left"
(cd "$drive_d" && find . -mindepth 1 | sort | sed 's/^\./  D:/')
[ -f "$HOME/KVT记账宝.lnk" ] && echo "  desktop shortcut: $HOME/KVT记账宝.lnk"

say "stopping what the demo started (installer, demo KVT.exe, Wine, nginx, private X server)"
if [ "$mirrors" = 1 ]; then
  say "what the mirror on 127.0.0.2 was asked for"
  sed 's/^/  /' "$E2E_DIR/vendor/127.0.0.2-$port/access.log"
  KVT_VENDOR_ADDRESS=127.0.0.2 KVT_VENDOR_RUN_DIR="$E2E_DIR/vendor" \
    bash "$repo/tools/demo/vendor-server.sh" stop "$port" >/dev/null
fi
e2e_cleanup
trap - EXIT
if [ "$result" = 0 ]; then echo "demo: done"; else echo "demo: FAILED"; fi
exit "$result"
