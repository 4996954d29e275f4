#!/usr/bin/env bash
# End-to-end tests of the real kvt-setup.exe under Wine and Xvfb.
#
#   tests/e2e/run.sh                 build (windows-demo preset with the UI driver and the demo
#                                    release; linux preset for the scripted server) and run all
#   tests/e2e/run.sh NAME...         run only the named scenarios (see SCENARIOS below)
#   KVT_E2E_BUILD_DIR=DIR run.sh     build into DIR instead of build/windows-demo
#   KVT_E2E_NO_BUILD=1 run.sh        use what is already built
#   KVT_E2E_FRESH=1 run.sh           create the Wine prefix anew (it is cached under e2e/)
#
# Which installer and which Wine:
#   KVT_E2E_PRESET=windows32-demo    the 32-bit kvt-setup.exe with a 32-bit UI driver and demo
#                                    release (default windows-demo, the 64-bit one), built in
#                                    build/<preset> unless KVT_E2E_BUILD_DIR says otherwise
#   KVT_E2E_WINE=10                  Debian 13's Wine 10 (WoW64: runs both builds) in the chroot
#                                    of tests/wine10/chroot.sh (made on first use, as root), in
#                                    which this script runs itself again after building; its
#                                    prefix is <build dir>/e2e-wine10; with no scenario named it
#                                    runs WINE10_SCENARIOS (BUILD32_SCENARIOS for the 32-bit
#                                    build). Default 8: this machine's Wine (Debian 12), which
#                                    runs only the 64-bit build. Where the
#                                    chroot cannot be made, one line says so and the run passes,
#                                    unless KVT_WINE10_REQUIRED=1.
#   KVT_E2E_WINE=32                  Debian 12's 32-bit Wine run by qemu-i386 (user-mode
#                                    emulation, for kernels that refuse 32-bit system calls;
#                                    only the 32-bit build, the default preset then) from
#                                    tests/wine32/emulated.sh (made on first use, as root), in
#                                    whose namespaces this script runs itself again; its prefix
#                                    is <build dir>/e2e-wine32; with no scenario named it runs
#                                    EMULATED_SCENARIOS. Where it cannot be made, one line says so
#                                    and the run passes, unless KVT_WINE32_REQUIRED=1.
#
# The scenario signed runs a build with a release key (KVT_RELEASE_KEYS, built in
# <build dir>-signed; the key pair is made with openssl on the first build and never leaves that
# folder) against releases signed by lib.sh's sign_release.
#
# The scenario mirrors runs a build with a release key and one mirror (KVT_VENDOR_MIRRORS=
# 127.0.0.2, built in <build dir>-mirrors) against the scripted server on 127.0.0.1:80 and a
# second one on 127.0.0.2:80 (the mirror; loopback covers 127/8).
#
# The scenario proxy runs a build whose probe host does not resolve (KVT_PROBE_HOST=
# nonexistent.invalid, built in <build dir>-proxy) behind a proxy that asks for a login; diskfull
# mounts a small tmpfs as drive D: (needs root; the mount stays in this script's mount namespace).
#
# The scenario https runs a secure build (KVT_VENDOR_SCHEME=https, built in <build dir>-https)
# against the scripted server speaking TLS on 127.0.0.1:443, with a test CA made for the run and
# trusted only in a private mount namespace (lib.sh: with_test_ca), in which this script runs
# again with --https-rows to drive those installer starts (needs root).
#
# Every scenario starts a fresh installer process, drives it through window messages with the
# UI driver (ui_driver.cc), and then checks what is left on disk and what the server was asked.
# The Wine prefix is shared; before each scenario the install drive D: (a folder of the test),
# the installer's own folder, the desktop shortcut and every Windows process are reset. The
# vendor server is the scripted one (fault_server.cc) or the demo nginx, always on
# 127.0.0.1:80 (the installer knows no other port), one at a time, stopped after each scenario.
# Prints one line per check; exits non-zero when any check fails.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=tests/e2e/lib.sh
source "$here/lib.sh"
https_rows=0
if [ "${1:-}" = --https-rows ]; then https_rows=1; shift; fi

SCENARIOS=(layout-144 agreement no-server retry manifest-crlf manifest-utf8 close-fetch excel
           no-drive install interrupt finish-close redirect extractor-404 archive-cut stall
           bad-archive cno-ok busy https signed mirrors proxy scanner held diskfull)
# What runs under Wine 10, for each build: layout and pixels, the whole install with its
# progress and finish page, the stall with Cancel, a failed download, the planted DLLs.
WINE10_SCENARIOS=(layout-144 agreement install stall extractor-404 finish-close)
# What runs for the 32-bit build (under Wine 10 or the emulated Wine): the same, and a signed
# install with a tampered extractor refused (32-bit CNG). Under emulation the driver cannot write
# a folder into the installer's memory for the folder picker (Wine does that through ptrace,
# which qemu-i386 does not offer), so the whole install with its progress runs as interrupt,
# into the default folder.
BUILD32_SCENARIOS=(layout-144 agreement install signed stall extractor-404 finish-close)
EMULATED_SCENARIOS=(layout-144 agreement interrupt signed stall extractor-404 finish-close)

wine_version="${KVT_E2E_WINE:-8}"
preset="${KVT_E2E_PRESET:-$([ "$wine_version" = 32 ] && echo windows32-demo || echo windows-demo)}"
case "$preset:$wine_version" in
  windows-demo:8 | windows-demo:10 | windows32-demo:10 | windows32-demo:32) ;;
  windows32-demo:8) echo "FAIL Wine 8 of this machine cannot run 32-bit programs: KVT_E2E_WINE=10 or 32"; exit 2 ;;
  windows-demo:32) echo "FAIL the emulated Wine runs only 32-bit programs: KVT_E2E_PRESET=windows32-demo"; exit 2 ;;
  *) echo "FAIL unknown KVT_E2E_PRESET=$preset or KVT_E2E_WINE=$wine_version"; exit 2 ;;
esac
selected=("$@")
if [ ${#selected[@]} = 0 ]; then
  case "$preset:$wine_version" in
    windows32-demo:32) selected=("${EMULATED_SCENARIOS[@]}") ;;
    windows32-demo:*) selected=("${BUILD32_SCENARIOS[@]}") ;;
    *:10) selected=("${WINE10_SCENARIOS[@]}") ;;
    *) selected=("${SCENARIOS[@]}") ;;
  esac
fi
for name in "${selected[@]}"; do
  [[ " ${SCENARIOS[*]} " == *" $name "* ]] || { echo "unknown scenario $name (${SCENARIOS[*]})"; exit 2; }
done
with_https=0
[[ " ${selected[*]} " != *" https "* ]] || with_https=1
with_signed=0
[[ " ${selected[*]} " != *" signed "* ]] || with_signed=1
with_proxy=0
[[ " ${selected[*]} " != *" proxy "* ]] || with_proxy=1
with_mirrors=0
[[ " ${selected[*]} " != *" mirrors "* ]] || with_mirrors=1

build_dir="${KVT_E2E_BUILD_DIR:-$REPO_DIR/build/$preset}"
https_dir="$build_dir-https"
signed_dir="$build_dir-signed"
proxy_dir="$build_dir-proxy"
mirrors_dir="$build_dir-mirrors"
linux_dir="$REPO_DIR/build/linux"
if [ "${KVT_E2E_NO_BUILD:-0}" != 1 ]; then
  e2e_log "building kvt-setup.exe, the UI driver and the demo release in $build_dir"
  mkdir -p "$build_dir"
  build_log="$build_dir/e2e-build.log"
  # Short network time-outs, so that a stalled server fails the transfer within seconds.
  # An installer without release keys and an unsigned demo release, whatever a folder's cache
  # held before.
  options=(-DKVT_E2E=ON -DKVT_CONNECT_TIMEOUT_MS=8000 -DKVT_RECEIVE_TIMEOUT_MS=8000
           -DKVT_RESOLVE_TIMEOUT_MS=8000 -DKVT_RELEASE_KEYS= -DKVT_DEMO_SIGNING_KEY=)
  (cd "$REPO_DIR" && cmake --preset "$preset" -B "$build_dir" "${options[@]}" >/dev/null &&
     cmake --build "$build_dir" -j2 --target kvt-setup kvt-e2e-driver kvt-e2e-marker \
       kvt-e2e-holder kvt_demo_release &&
     { [ "$with_https" = 0 ] ||
       { cmake --preset "$preset" -B "$https_dir" "${options[@]}" -DKVT_VENDOR_SCHEME=https \
           >/dev/null &&
         cmake --build "$https_dir" -j2 --target kvt-setup; }; } &&
     { [ "$with_signed" = 0 ] ||
       { mkdir -p "$signed_dir" && make_release_key "$signed_dir/release-key.pem" &&
         cmake --preset "$preset" -B "$signed_dir" "${options[@]}" \
           -DKVT_RELEASE_KEYS="$(release_public_key "$signed_dir/release-key.pem")" >/dev/null &&
         cmake --build "$signed_dir" -j2 --target kvt-setup; }; } &&
     { [ "$with_mirrors" = 0 ] ||
       { mkdir -p "$mirrors_dir" && make_release_key "$mirrors_dir/release-key.pem" &&
         cmake --preset "$preset" -B "$mirrors_dir" "${options[@]}" -DKVT_VENDOR_MIRRORS=127.0.0.2 \
           -DKVT_RELEASE_KEYS="$(release_public_key "$mirrors_dir/release-key.pem")" >/dev/null &&
         cmake --build "$mirrors_dir" -j2 --target kvt-setup; }; } &&
     { [ "$with_proxy" = 0 ] ||
       { cmake --preset "$preset" -B "$proxy_dir" "${options[@]}" \
           -DKVT_PROBE_HOST=nonexistent.invalid >/dev/null &&
         cmake --build "$proxy_dir" -j2 --target kvt-setup; }; } &&
     cmake --preset linux >/dev/null &&
     cmake --build --preset linux -j2 --target kvt_e2e_fault_server) >"$build_log" 2>&1 || {
    cat "$build_log"; echo "FAIL build"; exit 1; }
fi

# Runs this script again in the Debian 13 chroot with Wine 10, on what was built here (the clone
# and the build folder are mounted at their own paths inside).
run_in_wine10() {
  local chroot="$REPO_DIR/tests/wine10/chroot.sh" rc=0
  "$chroot" ensure || rc=$?
  if [ "$rc" = 3 ] && [ "${KVT_WINE10_REQUIRED:-0}" != 1 ]; then
    echo "e2e: Wine 10 rows not run: the Debian 13 chroot cannot be made here (see above)"
    return 0
  fi
  [ "$rc" = 0 ] || { echo "FAIL the Debian 13 chroot with Wine 10"; return 1; }
  "$chroot" run --bind "$REPO_DIR" --bind "$build_dir" -- /usr/bin/env -u DISPLAY -u XAUTHORITY \
    KVT_E2E_IN_CHROOT=1 KVT_E2E_NO_BUILD=1 KVT_E2E_BUILD_DIR="$build_dir" \
    /bin/bash "$here/run.sh" "${selected[@]}"
}
# Runs this script again in the namespaces of the emulated 32-bit Wine, on what was built here;
# there only Wine runs emulated (the clone and the build folder are mounted into its root).
run_in_wine32() {
  local emulated="$REPO_DIR/tests/wine32/emulated.sh" rc=0
  "$emulated" ensure || rc=$?
  if [ "$rc" = 3 ] && [ "${KVT_WINE32_REQUIRED:-0}" != 1 ]; then
    echo "e2e: emulated 32-bit rows not run: the emulated Wine cannot be made here (see above)"
    return 0
  fi
  [ "$rc" = 0 ] || { echo "FAIL the emulated 32-bit Wine"; return 1; }
  "$emulated" run --bind "$REPO_DIR" --bind "$build_dir" -- /usr/bin/env -u DISPLAY -u XAUTHORITY \
    KVT_E2E_IN_CHROOT=1 KVT_E2E_NO_BUILD=1 KVT_E2E_BUILD_DIR="$build_dir" \
    /bin/bash "$here/run.sh" "${selected[@]}"
}
if [ "$wine_version" != 8 ] && [ "${KVT_E2E_IN_CHROOT:-0}" != 1 ]; then
  "run_in_wine$wine_version"
  exit
fi

e2e_init "$build_dir" "$([ "$wine_version" = 8 ] && echo e2e || echo "e2e-wine$wine_version")"
e2e_log "$preset under $(wine --version 2>/dev/null)"
FAULT_SERVER="$linux_dir/tests/e2e/kvt_e2e_fault_server"
DRIVER_EXE="$BUILD_DIR/kvt-e2e-driver.exe"
PRODUCT_EXE="$BUILD_DIR/tools/KVT.exe"
needed=()
[ "$with_https" = 0 ] || needed+=("$https_dir/kvt-setup.exe")
[ "$with_signed" = 0 ] || needed+=("$signed_dir/kvt-setup.exe")
[ "$with_proxy" = 0 ] || needed+=("$proxy_dir/kvt-setup.exe")
[ "$with_mirrors" = 0 ] || needed+=("$mirrors_dir/kvt-setup.exe")
for f in "$BUILD_DIR/kvt-setup.exe" "$DRIVER_EXE" "$PRODUCT_EXE" "$FAULT_SERVER" \
         "$BUILD_DIR/demo-release/KVT_SETUP.rar" "$BUILD_DIR/kvt-e2e-holder.exe" "${needed[@]}"; do
  [ -f "$f" ] || { echo "FAIL missing $f"; exit 1; }
done

# The installer runs from a folder of its own: the manifest's temporary file goes beside it.
APP_DIR="$E2E_DIR/app"
APP_EXE="$APP_DIR/kvt-setup.exe"
mkdir -p "$APP_DIR" && cp -f "$BUILD_DIR/kvt-setup.exe" "$APP_EXE"

# The release the servers hand out: the demo's extractor and archive, and a manifest whose
# version has Chinese in the ANSI code page (936), as a vendor writes it.
RELEASE="$E2E_DIR/release"
VERSION="2.1 演示版"
write_manifest() {  # write_manifest RELEASE EXTRACTOR_URL ARCHIVE_URL
  printf '%s\r\n%s\r\n%s' "$VERSION" "$2" "$3" | iconv -f UTF-8 -t GBK >"$1/KVT_TRNQP_SETUP_LOG.txt"
}
mkdir -p "$RELEASE"
cp -f "$BUILD_DIR/demo-release/UnRAR.exe" "$BUILD_DIR/demo-release/KVT_SETUP.rar" "$RELEASE/"
write_manifest "$RELEASE" http://127.0.0.1/UnRAR.exe http://127.0.0.1/KVT_SETUP.rar
ARCHIVE_SIZE=$(stat -c %s "$RELEASE/KVT_SETUP.rar")
TOTAL=$(size_text "$ARCHIVE_SIZE")

DRIVE_D="$E2E_DIR/drive_d"
# The user's Desktop folder of the prefix (Wine 8 makes it a link to HOME, Wine 10 a folder).
LINK="$WINEPREFIX/drive_c/users/${USER:-$(id -un)}/Desktop/KVT记账宝.lnk"

status=0
failed=()
CURRENT=""
record() { [ "$1" = 0 ] || { status=1; failed+=("$CURRENT"); }; }
check() {  # check DESCRIPTION COMMAND...: one ok/FAIL line
  local what=$1
  shift
  if "$@"; then echo "ok $what"; else echo "FAIL $what"; record 1; fi
}
same_file() { cmp -s "$1" "$2"; }
absent() { [ ! -e "$1" ]; }
requests_are() {  # requests_are MANIFEST EXTRACTOR ARCHIVE [PORT]: counts the server saw
  [ "$(requests_for /KVT_TRNQP_SETUP_LOG.txt "${4:-80}")" = "$1" ] &&
    [ "$(requests_for /UnRAR.exe "${4:-80}")" = "$2" ] &&
    [ "$(requests_for /KVT_SETUP.rar "${4:-80}")" = "$3" ]
}

# The support logs of the prefix's user (%TEMP%\KVT_SETUP.log and the previous run's).
USER_DIR="$WINEPREFIX/drive_c/users/${USER:-$(id -un)}"
support_logs() { find "$USER_DIR" -maxdepth 5 -name 'KVT_SETUP*.log' 2>/dev/null; }
check_log() {  # check_log TEXT...: the last run's support log holds every TEXT, and no password
  local log t
  log=$(support_logs | grep '/KVT_SETUP\.log$' | head -n 1)
  check "the support log is there (${log:-none})" test -f "$log"
  for t; do check "the support log says: $t" grep -qF -- "$t" "$log"; done
  check "the support log holds no password nor user name of the proxy" \
    eval "! grep -qF -e proxy-pass -e kvt-user '$log'"
}

begin() {
  CURRENT=$1
  echo "== scenario $1"
  e2e_log "scenario $1"
}

# A clean world for the next scenario: no Windows process, no drive D:, an empty install drive,
# no shortcut, no leftovers beside the installer.
reset_world() {
  stop_wine
  rm -f "$WINEPREFIX/dosdevices/d:" "$WINEPREFIX/dosdevices/d::"
  rm -rf "$DRIVE_D" && mkdir -p "$DRIVE_D"
  rm -f "$LINK"
  find "$APP_DIR" -mindepth 1 ! -name kvt-setup.exe -delete
  support_logs | while read -r f; do rm -f "$f"; done
}
map_d() { ln -sfn "$DRIVE_D" "$WINEPREFIX/dosdevices/d:"; }
# Under emulation every Windows instruction is translated: the window's answers get a bar of
# their own (README, Wine notes).
PING_BAR=()
[ "$wine_version" != 32 ] || PING_BAR=(--ping-bar 1500)
driver() { run_driver "$@" --version "$VERSION" --total "$TOTAL" "${PING_BAR[@]}"; }
finish_scenario() {
  stop_fault_server
  stop_vendor_server
  stop_wine
}

# --- scenarios ------------------------------------------------------------------------------

# The window at 144 DPI: every control scaled from its twips.
scenario_layout-144() {
  set_dpi 144
  start_app "$APP_EXE"
  run_driver layout --dpi 144
  record $?
  screenshot agreement-144dpi
  stop_wine
  set_dpi 96
}

# The agreement page of a fresh installer at 96 DPI: state, text, geometry, Ck, second copy.
scenario_agreement() {
  reset_world
  start_app "$APP_EXE"
  run_driver agreement --dpi 96 --exe "$(winepath_w "$APP_EXE")"
  record $?
  screenshot agreement-96dpi
  finish_scenario
}

# Continue with nothing on port 80: the error over the overlay, retry, close ends the program.
scenario_no-server() {
  reset_world
  if port_in_use 80; then echo "FAIL no-server: something listens on 127.0.0.1:80"; record 1; return; fi
  start_app "$APP_EXE"
  run_driver no-server --dpi 96 --shots "$(winepath_w "$SHOT_DIR")"
  record $?
  finish_scenario
}

# Manifest unreachable, then the server comes up between two presses of Continue.
scenario_retry() {
  reset_world
  if port_in_use 80; then echo "FAIL retry: something listens on 127.0.0.1:80"; record 1; return; fi
  start_app "$APP_EXE"
  local out="$E2E_DIR/retry.out" pid i
  driver retry >"$out" &
  pid=$!
  for i in $(seq 1 600); do
    grep -q '^step waiting for the vendor server' "$out" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  start_fault_server release-fast "$RELEASE"
  wait "$pid"
  record $?
  cat "$out"
  stop_fault_server
  check "the server was asked for the manifest once" requests_are 1 0 0
  finish_scenario
}

# A manifest with a line break after its third line.
scenario_manifest-crlf() {
  reset_world
  start_fault_server manifest-crlf "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver manifest-rejected
  record $?
  stop_fault_server
  check "only the manifest was asked for" requests_are 1 0 0
  check "the manifest's temporary file is deleted" \
    test -z "$(find "$APP_DIR" -mindepth 1 ! -name kvt-setup.exe)"
  finish_scenario
}

# A manifest saved in UTF-8, with and without Notepad's byte-order mark: the heading shows the
# version as written.
scenario_manifest-utf8() {
  local variant
  for variant in manifest-utf8-bom manifest-utf8; do
    reset_world
    start_fault_server "$variant" "$RELEASE" || { record 1; return; }
    start_app "$APP_EXE"
    run_driver path-page --version "2.1 测试版"
    record $?
    stop_fault_server
  done
  finish_scenario
}

# Closing on the agreement page while the manifest fetch waits: first for a head that never
# comes (nothing is written), then for the next piece of a slow manifest (the partial file stays).
scenario_close-fetch() {
  reset_world
  start_fault_server manifest-no-head "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver close-fetch
  record $?
  stop_fault_server
  check "with no head nothing is written beside the installer" \
    test -z "$(find "$APP_DIR" -mindepth 1 ! -name kvt-setup.exe)"
  stop_wine
  start_fault_server manifest-slow "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver close-fetch
  record $?
  stop_fault_server
  local partial="$APP_DIR/KVT_SETUP_LOG.TEMP.temp"
  check "the partial manifest KVT_SETUP_LOG.TEMP.temp stays beside the installer" test -f "$partial"
  check "it holds only part of the manifest ($(stat -c %s "$partial" 2>/dev/null) bytes)" \
    test "$(stat -c %s "$partial" 2>/dev/null || echo 999)" -lt \
    "$(stat -c %s "$RELEASE/KVT_TRNQP_SETUP_LOG.txt")"
  check "no complete manifest file" absent "$APP_DIR/KVT_SETUP_LOG.TEMP"
  finish_scenario
}

# A process named excel.exe runs (the demo product copied under that name).
scenario_excel() {
  reset_world
  map_d
  mkdir -p "$E2E_DIR/excel" && cp -f "$PRODUCT_EXE" "$E2E_DIR/excel/excel.exe"
  start_fault_server release-fast "$RELEASE" || { record 1; return; }
  wine "$E2E_DIR/excel/excel.exe" >>"$E2E_DIR/app.log" 2>&1 &
  start_app "$APP_EXE"
  driver excel
  record $?
  stop_fault_server
  check "only the manifest was asked for" requests_are 1 0 0
  check "no install folder was created" absent "$DRIVE_D/KVT记账宝"
  finish_scenario
}

# No drive D: and the default folder.
scenario_no-drive() {
  reset_world
  start_fault_server release-fast "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver no-drive
  record $?
  stop_fault_server
  check "only the manifest was asked for" requests_are 1 0 0
  finish_scenario
}

# What a complete install leaves in DIR.
check_installed() {
  local dir=$1
  check "UnRAR.exe in the folder is the served extractor" same_file "$dir/UnRAR.exe" "$RELEASE/UnRAR.exe"
  check "KVT_SETUP.rar in the folder is the served archive" same_file "$dir/KVT_SETUP.rar" "$RELEASE/KVT_SETUP.rar"
  check "KVT.exe was extracted" same_file "$dir/KVT.exe" "$PRODUCT_EXE"
  check "the archive's other files were extracted" test -f "$dir/说明.txt" -a -f "$dir/文档/版本说明.txt"
  check "no partial .temp file is left" test -z "$(find "$dir" -name '*.temp')"
  check "the desktop has KVT记账宝.lnk" test -f "$LINK"
}

# The whole happy path: a Chinese folder picked in the real picker, the dripping archive's
# progress, the finish page, the shortcut, and Finish starting the product.
scenario_install() {
  reset_world
  map_d
  mkdir -p "$DRIVE_D/财务软件"
  start_fault_server release "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver install --folder 'D:\财务软件' --end finish --shots "$(winepath_w "$SHOT_DIR")"
  record $?
  stop_fault_server
  check "the server was asked for each file once" requests_are 1 1 1
  check_installed "$DRIVE_D/财务软件"
  finish_scenario
}

# During the download Cno and the close box are both answered Cancel: the install goes on into
# the default folder (created by the installer). The extractor takes 5 s: the window keeps
# answering, Cno does nothing, and closing (posted, and sent by another program) asks the
# question, whose Cancel lets the extractor go on. The window is closed on the
# finish page with Crun cleared, so nothing is started.
scenario_interrupt() {
  reset_world
  map_d
  start_fault_server release "$RELEASE" || { record 1; return; }
  KVT_UNRAR_DELAY_MS=5000 start_app "$APP_EXE"
  driver install --interrupt --slow-extractor --end close-unticked
  record $?
  stop_fault_server
  check "the server was asked for each file once" requests_are 1 1 1
  check_installed "$DRIVE_D/KVT记账宝"
  finish_scenario
}

# The demo nginx as vendor server; the window is closed on the finish page with Crun ticked,
# which starts the product like Finish. DLLs named like system DLLs lie beside the installer, as
# they may in a Downloads folder: none of them is ever loaded.
PLANTED=(shcore shlwapi wininet wsock32 ws2_32 shell32 ole32 oleaut32 comctl32 uxtheme version
         dwmapi bcrypt)
scenario_finish-close() {
  reset_world
  map_d
  local name
  for name in "${PLANTED[@]}"; do cp -f "$BUILD_DIR/kvt-e2e-marker.dll" "$APP_DIR/$name.dll"; done
  start_vendor_server "$RELEASE" || { echo "FAIL the demo vendor server starts"; record 1; return; }
  start_app "$APP_EXE"
  driver install --fast-server --end close
  record $?
  stop_vendor_server
  check_installed "$DRIVE_D/KVT记账宝"
  check "none of the ${#PLANTED[@]} DLLs planted beside the installer was loaded" \
    test -z "$(find "$APP_DIR" -name '*.loaded')"
  finish_scenario
}

# Every file answers with a redirect to another path, where the release is: the install
# follows them and completes.
scenario_redirect() {
  reset_world
  map_d
  start_fault_server redirect "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver install --fast-server --end close-unticked
  record $?
  stop_fault_server
  check "each file was asked for once at its own path" requests_are 1 1 1
  check "and once where it was redirected" test \
    "$(requests_for /releases/2.1/KVT_TRNQP_SETUP_LOG.txt)$(requests_for /releases/2.1/UnRAR.exe)$(requests_for /releases/2.1/KVT_SETUP.rar)" = 111
  check_installed "$DRIVE_D/KVT记账宝"
  finish_scenario
}

# The extractor's URL answers 404 while the archive downloads: one message after both.
scenario_extractor-404() {
  reset_world
  map_d
  start_fault_server extractor-404 "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver install-fails --expect connect --expect-progress
  record $?
  stop_fault_server
  local dir="$DRIVE_D/KVT记账宝"
  check "the server saw both downloads" requests_are 1 1 1
  check "no extractor file" absent "$dir/UnRAR.exe"
  check "no partial extractor file" absent "$dir/UnRAR.exe.temp"
  check "the archive downloaded completely" same_file "$dir/KVT_SETUP.rar" "$RELEASE/KVT_SETUP.rar"
  check "nothing extracted" absent "$dir/KVT.exe"
  check "no shortcut" absent "$LINK"
  finish_scenario
  check_log "Request GET http://127.0.0.1/UnRAR.exe (direct)" "Response status 404" \
    "FAILED http://127.0.0.1/UnRAR.exe: 0 bytes, status 404; hash: not checked" \
    "Done http://127.0.0.1/KVT_SETUP.rar: $ARCHIVE_SIZE bytes" 'Message box "错误": "无法连接到服务器！"'
}

# The archive's connection closes after half of its body.
scenario_archive-cut() {
  reset_world
  map_d
  start_fault_server archive-cut "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver install-fails --expect connect --expect-progress
  record $?
  stop_fault_server
  local dir="$DRIVE_D/KVT记账宝"
  check "the extractor downloaded" same_file "$dir/UnRAR.exe" "$RELEASE/UnRAR.exe"
  check "no KVT_SETUP.rar" absent "$dir/KVT_SETUP.rar"
  check "KVT_SETUP.rar.temp stays with the half that came ($(stat -c %s "$dir/KVT_SETUP.rar.temp" 2>/dev/null) bytes)" \
    cmp -s -n $((ARCHIVE_SIZE / 2)) "$dir/KVT_SETUP.rar.temp" "$RELEASE/KVT_SETUP.rar"
  check "the partial file is exactly that half" \
    test "$(stat -c %s "$dir/KVT_SETUP.rar.temp" 2>/dev/null)" = $((ARCHIVE_SIZE / 2))
  check "nothing extracted" absent "$dir/KVT.exe"
  check "no shortcut" absent "$LINK"
  finish_scenario
  check_log "Response status 200, length $ARCHIVE_SIZE bytes" \
    "FAILED http://127.0.0.1/KVT_SETUP.rar: $((ARCHIVE_SIZE / 2)) bytes, broken off after $((ARCHIVE_SIZE / 2)) of $ARCHIVE_SIZE bytes" \
    'Message box "错误": "无法连接到服务器！"'
}

# The archive trickles 512 bytes, then stalls with the connection open until the receive
# time-out; the partial file keeps exactly what came.
scenario_stall() {
  reset_world
  map_d
  start_fault_server archive-stall "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver stall
  record $?
  stop_fault_server
  local dir="$DRIVE_D/KVT记账宝"
  check "KVT_SETUP.rar.temp holds exactly the 512 bytes sent ($(stat -c %s "$dir/KVT_SETUP.rar.temp" 2>/dev/null) bytes)" \
    test "$(stat -c %s "$dir/KVT_SETUP.rar.temp" 2>/dev/null)" = 512
  check "they are the archive's first bytes" cmp -s -n 512 "$dir/KVT_SETUP.rar.temp" "$RELEASE/KVT_SETUP.rar"
  check "no KVT_SETUP.rar" absent "$dir/KVT_SETUP.rar"
  check "nothing extracted" absent "$dir/KVT.exe"
  finish_scenario
}

# A damaged archive: the extractor exits 3 at once. Start is pressed three times: each time the
# downloads are made again and the same message comes.
scenario_bad-archive() {
  reset_world
  map_d
  start_fault_server bad-archive "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver install-fails --expect install --repeat 3
  record $?
  stop_fault_server
  local dir="$DRIVE_D/KVT记账宝"
  check "the downloaded files stay" test -f "$dir/UnRAR.exe" -a -f "$dir/KVT_SETUP.rar"
  check "nothing extracted" test -z "$(find "$dir" -mindepth 1 ! -name UnRAR.exe ! -name KVT_SETUP.rar)"
  check "no shortcut" absent "$LINK"
  finish_scenario
}

# Cno answered OK during the archive download: the program ends, the partial file stays.
scenario_cno-ok() {
  reset_world
  map_d
  start_fault_server release "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver cno-ok
  record $?
  stop_fault_server
  local dir="$DRIVE_D/KVT记账宝" size
  size=$(stat -c %s "$dir/KVT_SETUP.rar.temp" 2>/dev/null || echo 0)
  check "the extractor downloaded" same_file "$dir/UnRAR.exe" "$RELEASE/UnRAR.exe"
  check "KVT_SETUP.rar.temp stays, partly written ($size of $ARCHIVE_SIZE bytes)" \
    test "$size" -gt 0 -a "$size" -lt "$ARCHIVE_SIZE"
  check "its bytes are the archive's first ones" cmp -s -n "$size" "$dir/KVT_SETUP.rar.temp" "$RELEASE/KVT_SETUP.rar"
  check "no KVT_SETUP.rar" absent "$dir/KVT_SETUP.rar"
  check "nothing extracted" absent "$dir/KVT.exe"
  finish_scenario
}

# The busy window, two installer starts. First log-off and the folder picker: a log-off may go
# on while idle; with the picker open Start does nothing (posted, or clicked with the mouse);
# during the archive download a log-off is refused and the end of the session ends the installer
# at once, leaving the partial file. Then an extractor that never ends: a sent WM_CLOSE asks
# instead of ending, and OK ends the extractor into the install-failure message.
scenario_busy() {
  reset_world
  map_d
  mkdir -p "$DRIVE_D/选择"
  start_fault_server release "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver busy --folder 'D:\选择'
  record $?
  stop_fault_server
  local dir="$DRIVE_D/选择" size
  size=$(stat -c %s "$dir/KVT_SETUP.rar.temp" 2>/dev/null || echo 0)
  check "the server was asked for each file once" requests_are 1 1 1
  check "the extractor went to the chosen folder" same_file "$dir/UnRAR.exe" "$RELEASE/UnRAR.exe"
  check "KVT_SETUP.rar.temp stays, partly written ($size of $ARCHIVE_SIZE bytes)" \
    test "$size" -gt 0 -a "$size" -lt "$ARCHIVE_SIZE"
  check "no KVT_SETUP.rar, nothing extracted" test ! -e "$dir/KVT_SETUP.rar" -a ! -e "$dir/KVT.exe"
  check "nothing went to the default folder" absent "$DRIVE_D/KVT记账宝"
  stop_wine
  echo "-- an extractor that never ends"
  start_fault_server release-fast "$RELEASE" || { record 1; return; }
  KVT_UNRAR_DELAY_MS=600000 start_app "$APP_EXE"
  driver hang
  record $?
  stop_fault_server
  dir="$DRIVE_D/KVT记账宝"
  check "the downloaded files stay" test -f "$dir/UnRAR.exe" -a -f "$dir/KVT_SETUP.rar"
  check "nothing extracted, no shortcut" test ! -e "$dir/KVT.exe" -a ! -e "$LINK"
  finish_scenario
}

# The secure build against the scripted server speaking TLS on port 443, with the test CA
# trusted (only the rows run inside the namespace; see the top). A plain server on port 80 beside
# it shows any request that falls back to plain HTTP. Six installer starts: the whole install;
# one for each certificate the installer must refuse; a manifest redirected from https:// to
# http:// (Wine 8's WinINet follows such a redirect, where Windows refuses it by default: the
# installer refuses the answer either way); a manifest whose extractor URL is plain http://.
scenario_https() {
  if [ "$(id -u)" != 0 ]; then
    echo "FAIL https: trusting the test CA in a private mount namespace needs root"; record 1; return
  fi
  make_test_certificates "$E2E_DIR/tls" || { record 1; return; }
  # A wineserver started outside would keep reading the machine's store.
  stop_wine
  KVT_E2E_NO_BUILD=1 with_test_ca "$E2E_DIR/tls/ca.crt" bash "$here/run.sh" --https-rows
  record $?
  check "the machine's CA bundle does not hold the test CA" \
    test -z "$(grep -F "$(sed -n 2p "$E2E_DIR/tls/ca.crt")" /etc/ssl/certs/ca-certificates.crt)"
}

# No request at all reached the plain server on port 80.
nothing_plain() { ! grep -q '^request ' "$(server_out 80)"; }
# Starts the scripted server SCENARIO over TLS with the certificate NAME, and a plain one on 80.
start_tls_servers() {
  start_fault_server "$1" "$RELEASE" 443 "$E2E_DIR/tls/$2.crt" "$E2E_DIR/tls/$2.key" &&
    start_fault_server release-fast "$RELEASE" 80
}

https_rows() {
  local dir="$DRIVE_D/KVT记账宝" name
  reset_world
  map_d
  start_tls_servers release-fast good || { record 1; return; }
  start_app "$APP_EXE"
  driver install --fast-server --end close-unticked
  record $?
  stop_fault_server
  check "over HTTPS the server was asked for each file once" requests_are 1 1 1 443
  check "nothing was asked over plain HTTP" nothing_plain
  check_installed "$dir"

  for name in untrusted wrong-name expired; do
    echo "-- certificate $name"
    reset_world
    start_tls_servers release-fast "$name" || { record 1; return; }
    start_app "$APP_EXE"
    driver manifest-rejected
    record $?
    stop_fault_server
    check "$name: no request got through the handshake" requests_are 0 0 0 443
    check "$name: nothing was asked over plain HTTP" nothing_plain
    check "$name: nothing is left beside the installer" \
      test -z "$(find "$APP_DIR" -mindepth 1 ! -name kvt-setup.exe)"
  done

  echo "-- the manifest redirected to plain http://"
  reset_world
  start_fault_server redirect "$RELEASE" 443 "$E2E_DIR/tls/good.crt" "$E2E_DIR/tls/good.key" &&
    start_fault_server redirect "$RELEASE" 80 || { record 1; return; }
  start_app "$APP_EXE"
  driver manifest-rejected
  record $?
  stop_fault_server
  check "redirected to plain HTTP: nothing is left beside the installer" \
    test -z "$(find "$APP_DIR" -mindepth 1 ! -name kvt-setup.exe)"

  echo "-- a plain http:// extractor URL"
  reset_world
  map_d
  write_manifest "$RELEASE" http://127.0.0.1/UnRAR.exe https://127.0.0.1/KVT_SETUP.rar
  start_tls_servers release-fast good || { record 1; return; }
  start_app "$APP_EXE"
  driver install-fails --expect connect
  record $?
  stop_fault_server
  write_manifest "$RELEASE" https://127.0.0.1/UnRAR.exe https://127.0.0.1/KVT_SETUP.rar
  check "the extractor was not asked for; manifest and archive came over HTTPS" \
    requests_are 1 0 1 443
  check "nothing was asked over plain HTTP" nothing_plain
  check "no extractor file" test ! -e "$dir/UnRAR.exe" -a ! -e "$dir/UnRAR.exe.temp"
  check "nothing extracted, no shortcut" test ! -e "$dir/KVT.exe" -a ! -e "$LINK"
  finish_scenario
}

# The build with a release key against signed releases, five installer starts: a signed install
# completes (the extractor, which leaves a marker file when it runs, runs); an UnRAR.exe with
# one byte changed (same size, still a program that would run) is refused with the message, is
# left on disk under no name, the archive is never asked for and no extractor runs; a release
# without its signature file ("无法连接到服务器！") and one whose manifest changed after signing
# (the message) are refused at Continue; so is a signature file of 10 MiB made of the trusted
# key's valid line, within a second, the window answering, nothing large written anywhere.
scenario_signed() {
  local key="$signed_dir/release-key.pem" dir="$DRIVE_D/KVT记账宝" marker="$E2E_DIR/unrar-started"
  local signed="$E2E_DIR/release-signed" tampered="$E2E_DIR/release-tampered"
  local changed="$E2E_DIR/release-changed"
  rm -rf "$signed" "$tampered" "$changed" && mkdir -p "$signed"
  cp -f "$RELEASE/KVT_TRNQP_SETUP_LOG.txt" "$RELEASE/UnRAR.exe" "$RELEASE/KVT_SETUP.rar" "$signed/"
  sign_release "$signed" "$key" "$(date +%s)" || { echo "FAIL signing the release"; record 1; return; }
  cp -r "$signed" "$tampered" && cp -r "$signed" "$changed"
  # The first letter of the DOS stub's message ("This program cannot be run in DOS mode"), in
  # lower case: the program still runs.
  printf 't' | dd of="$tampered/UnRAR.exe" bs=1 seek=$((0x4E)) conv=notrunc status=none
  check "the changed UnRAR.exe has the signed size and differs in one byte" test \
    "$(stat -c %s "$tampered/UnRAR.exe") $(cmp -l "$tampered/UnRAR.exe" "$signed/UnRAR.exe" | wc -l)" \
    = "$(stat -c %s "$signed/UnRAR.exe") 1"
  VERSION="2.2 演示版" write_manifest "$changed" http://127.0.0.1/UnRAR.exe http://127.0.0.1/KVT_SETUP.rar
  cp -f "$signed_dir/kvt-setup.exe" "$APP_EXE"
  local only_installer='test -z "$(find "$APP_DIR" -mindepth 1 ! -name kvt-setup.exe)"'

  echo "-- a signed release"
  reset_world
  map_d
  rm -f "$marker"
  start_fault_server release-fast "$signed" || { record 1; return; }
  KVT_UNRAR_MARKER="$(winepath_w "$marker")" start_app "$APP_EXE"
  driver install --fast-server --end close-unticked
  record $?
  stop_fault_server
  check "the signature file was asked for once" \
    test "$(requests_for /KVT_TRNQP_SETUP_LOG.txt.sig)" = 1
  check "each file was asked for once" requests_are 1 1 1
  check_installed "$dir"
  check "the extractor ran" test -f "$marker"
  check "the signature's scratch file is gone" eval "$only_installer"

  echo "-- UnRAR.exe with one byte changed"
  reset_world
  map_d
  rm -f "$marker"
  start_fault_server release-fast "$tampered" || { record 1; return; }
  KVT_UNRAR_MARKER="$(winepath_w "$marker")" start_app "$APP_EXE"
  driver install-fails --expect tampered
  record $?
  stop_fault_server
  check "the extractor was asked for, the archive never" requests_are 1 1 0
  check "the changed extractor is on disk under no name ($(find "$DRIVE_D" -type f | tr '\n' ' '))" \
    test -z "$(find "$DRIVE_D" -type f)"
  check "no extractor ran" absent "$marker"
  check "no shortcut" absent "$LINK"
  stop_wine
  check_log "Signature file: valid" \
    "FAILED http://127.0.0.1/UnRAR.exe: $(stat -c %s "$signed/UnRAR.exe") bytes, not what the vendor signed; hash: DIFFERS from what the vendor signed" \
    'Message box "错误": "安装文件校验失败'

  echo "-- no signature file"
  reset_world
  start_fault_server release-fast "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver manifest-rejected --expect connect
  record $?
  stop_fault_server
  check "the manifest and the signature file were asked for, nothing else" \
    test "$(requests_for /KVT_TRNQP_SETUP_LOG.txt.sig)$(requests_are 1 0 0 && echo ok)" = 1ok
  check "nothing is left beside the installer" eval "$only_installer"

  echo "-- the manifest changed after signing"
  reset_world
  start_fault_server release-fast "$changed" || { record 1; return; }
  start_app "$APP_EXE"
  driver manifest-rejected --expect tampered
  record $?
  stop_fault_server
  check "no file was asked for" requests_are 1 0 0
  check "nothing is left beside the installer" eval "$only_installer"

  echo "-- a signature file of 10 MiB, its valid line repeated"
  reset_world
  map_d
  local stamp="$E2E_DIR/sig-huge-start" large
  touch "$stamp"
  start_fault_server sig-huge "$signed" || { record 1; return; }
  start_app "$APP_EXE"
  driver manifest-rejected --expect tampered --within 1000
  record $?
  stop_fault_server
  check "the manifest and the signature file were asked for, nothing else" \
    test "$(requests_for /KVT_TRNQP_SETUP_LOG.txt.sig)$(requests_are 1 0 0 && echo ok)" = 1ok
  check "nothing is left beside the installer" eval "$only_installer"
  large=$(find "$APP_DIR" "$DRIVE_D" "$WINEPREFIX/drive_c" -type f -newer "$stamp" -size +64k)
  check "no file over 64 KiB written anywhere (program folder, drive D:, drive C:) $large" \
    test -z "$large"
  cp -f "$BUILD_DIR/kvt-setup.exe" "$APP_EXE"
  finish_scenario
}

# A build with one mirror (127.0.0.2) and a release key. The vendor host up: the mirror is never
# asked. The vendor host down: everything comes from the mirror. The vendor host serving a changed UnRAR.exe: refused there (deleted under no
# name), fetched again from the mirror, and only the signed bytes run. The time each install took
# goes to the log, also with a vendor host that accepts connections and never answers (each of the
# three requests waits out the build's 8 s time-out before the mirror is asked).
scenario_mirrors() {
  local key="$mirrors_dir/release-key.pem" dir="$DRIVE_D/KVT记账宝" marker="$E2E_DIR/unrar-started"
  local signed="$E2E_DIR/release-mirrored" tampered="$E2E_DIR/release-mirrored-tampered"
  local mirror=127.0.0.2:80 started
  rm -rf "$signed" "$tampered" && mkdir -p "$signed"
  cp -f "$RELEASE/KVT_TRNQP_SETUP_LOG.txt" "$RELEASE/UnRAR.exe" "$RELEASE/KVT_SETUP.rar" "$signed/"
  sign_release "$signed" "$key" "$(date +%s)" || { echo "FAIL signing the release"; record 1; return; }
  cp -r "$signed" "$tampered"
  printf 't' | dd of="$tampered/UnRAR.exe" bs=1 seek=$((0x4E)) conv=notrunc status=none
  check "the changed UnRAR.exe differs from the signed one" test -n "$(cmp "$tampered/UnRAR.exe" "$signed/UnRAR.exe")"
  cp -f "$mirrors_dir/kvt-setup.exe" "$APP_EXE"
  local vendor
  for vendor in up none tampered silent; do
    echo "-- vendor host: $vendor; mirror: the signed release"
    reset_world
    map_d
    rm -f "$marker"
    case $vendor in
      up) start_fault_server release-fast "$signed" || { record 1; return; } ;;
      tampered) start_fault_server release-fast "$tampered" || { record 1; return; } ;;
      silent) start_fault_server silent "$signed" || { record 1; return; } ;;
    esac
    start_fault_server release-fast "$signed" "$mirror" || { record 1; return; }
    started=$(date +%s%N)
    KVT_UNRAR_MARKER="$(winepath_w "$marker")" start_app "$APP_EXE"
    driver install --fast-server --end close-unticked
    record $?
    e2e_log "mirrors, vendor host $vendor: Continue to the finish page in $(( ($(date +%s%N) - started) / 1000000 )) ms (start to end of the driver)"
    stop_fault_server
    case $vendor in
      up) check "the vendor host served everything, the mirror was never asked" \
            eval 'requests_are 1 1 1 && requests_are 0 0 0 "$mirror"' ;;
      none) check "the mirror served the manifest, its signature and each file once" \
              test "$(requests_for /KVT_TRNQP_SETUP_LOG.txt.sig "$mirror")$(requests_are 1 1 1 "$mirror" && echo ok)" = 1ok ;;
      tampered)
        check "the vendor host was asked for each file once, the signature too" \
          test "$(requests_for /KVT_TRNQP_SETUP_LOG.txt.sig)$(requests_are 1 1 1 && echo ok)" = 1ok
        check "the mirror was asked for UnRAR.exe only" requests_are 0 1 0 "$mirror" ;;
      silent)
        check "the silent vendor host was asked for the manifest, then each file, once" requests_are 1 1 1
        check "the mirror served the manifest and each file once" requests_are 1 1 1 "$mirror" ;;
    esac
    check_installed "$dir"
    check "the extractor ran, and it is the signed one" eval 'test -f "$marker" && same_file "$dir/UnRAR.exe" "$signed/UnRAR.exe"'
  done
  cp -f "$BUILD_DIR/kvt-setup.exe" "$APP_EXE"
  finish_scenario
}

# With no proxy configured, a 407 from whoever answers on port 80 gets no login dialog: the
# network message comes at once. Then behind a proxy that asks for a login, on a network that
# resolves no names (the build's probe host does not resolve): the driver fills Wine's password
# dialog, every request goes through the proxy with the login, and the install completes.
# Nothing listens on port 80 then.
INTERNET_SETTINGS='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
set_proxy() {  # set_proxy HOST:PORT | set_proxy off
  if [ "$1" = off ]; then
    wine reg add "$INTERNET_SETTINGS" /v ProxyEnable /t REG_DWORD /d 0 /f >>"$E2E_DIR/wine.log" 2>&1
    wine reg delete "$INTERNET_SETTINGS" /v ProxyServer /f >>"$E2E_DIR/wine.log" 2>&1
  else
    wine reg add "$INTERNET_SETTINGS" /v ProxyEnable /t REG_DWORD /d 1 /f >>"$E2E_DIR/wine.log" 2>&1
    wine reg add "$INTERNET_SETTINGS" /v ProxyServer /t REG_SZ /d "$1" /f >>"$E2E_DIR/wine.log" 2>&1
  fi
}
authorized() { grep -c "^authorized http://127.0.0.1:80$1\$" "$(server_out 8080)" 2>/dev/null || true; }
proxied() { grep -c "^request GET http://127.0.0.1:80$1\$" "$(server_out 8080)" 2>/dev/null || true; }
scenario_proxy() {
  reset_world
  if port_in_use 80; then echo "FAIL proxy: something listens on 127.0.0.1:80"; record 1; return; fi
  echo "-- no proxy configured, a server answering 407 with a login challenge"
  start_fault_server auth-407 "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  driver manifest-rejected --expect connect --within 2000
  record $?
  stop_fault_server
  check "the manifest was asked for once, and nothing else" requests_are 1 0 0
  check "nothing is left beside the installer" \
    test -z "$(find "$APP_DIR" -mindepth 1 ! -name kvt-setup.exe)"
  stop_wine

  echo "-- behind a proxy that asks for a login"
  reset_world
  map_d
  local app="$E2E_DIR/app-proxy/kvt-setup.exe" f
  mkdir -p "$(dirname "$app")" && cp -f "$proxy_dir/kvt-setup.exe" "$app"
  start_fault_server proxy "$RELEASE" 8080 || { record 1; return; }
  set_proxy 127.0.0.1:8080
  start_app "$app"
  driver install --fast-server --end close-unticked --proxy-login kvt-user proxy-pass
  record $?
  stop_fault_server
  stop_wine
  set_proxy off
  # Wine's WinINet answers the proxy's challenge itself once it has the login: the resend is
  # refused once more before the request with the login goes.
  for f in /KVT_TRNQP_SETUP_LOG.txt /UnRAR.exe /KVT_SETUP.rar; do
    check "$f: asked through the proxy ($(proxied "$f") times), let through once with the login" \
      test "$(proxied "$f")" -ge 2 -a "$(authorized "$f")" = 1
  done
  check_installed "$DRIVE_D/KVT记账宝"
  finish_scenario
  check_log "Request GET http://127.0.0.1/KVT_SETUP.rar (through the configured proxy)" \
    "Done http://127.0.0.1/KVT_SETUP.rar: $ARCHIVE_SIZE bytes" "Install complete" "End of run"
}

# A virus scanner holds the archive of an earlier install open (reading, without delete sharing)
# until 0.5 s after the new extractor has its name: the deletion of the old archive waits for it,
# and the install completes. The new partial files it cannot open at all: while they are written
# others may only read them sharing everything.
scenario_scanner() {
  reset_world
  map_d
  mkdir -p "$DRIVE_D/KVT记账宝" && printf 'old archive' >"$DRIVE_D/KVT记账宝/KVT_SETUP.rar"
  start_fault_server release "$RELEASE" || { record 1; return; }
  start_app "$APP_EXE"
  local out="$E2E_DIR/holder.out" holder
  wine "$BUILD_DIR/kvt-e2e-holder.exe" 'D:\KVT记账宝\KVT_SETUP.rar' 11 500 \
    'D:\KVT记账宝\UnRAR.exe' >"$out" 2>>"$E2E_DIR/wine.log" &
  holder=$!
  driver install --end close-unticked
  record $?
  wait "$holder"
  check "the scanner held the old KVT_SETUP.rar until 0.5 s after UnRAR.exe came ($(tr '\n' ' ' <"$out"))" \
    grep -q '^released' "$out"
  stop_fault_server
  check "the server was asked for each file once" requests_are 1 1 1
  check_installed "$DRIVE_D/KVT记账宝"
  finish_scenario
}

# Another user's program tries every few milliseconds to write into UnRAR.exe and to rename it,
# while the archive downloads and while the extractor (3 s) runs: refused every time, and the
# install completes with the served files.
scenario_held() {
  reset_world
  map_d
  start_fault_server release "$RELEASE" || { record 1; return; }
  KVT_UNRAR_DELAY_MS=3000 start_app "$APP_EXE"
  local out="$E2E_DIR/tamper.out" tamper
  wine "$BUILD_DIR/kvt-e2e-holder.exe" --tamper 'D:\KVT记账宝\UnRAR.exe' \
    'D:\KVT记账宝\KVT_SETUP.rar.temp' >"$out" 2>>"$E2E_DIR/wine.log" &
  tamper=$!
  driver install --end close-unticked
  record $?
  wait "$tamper"
  local seen
  seen=$(tr '\n' ' ' <"$out")
  check "nothing changed or renamed UnRAR.exe ($seen)" grep -q '^opened unwritable' "$out"
  check "writes and renames were refused while the archive downloaded" \
    grep -Eq '^refused while downloading [1-9][0-9]* [1-9]' "$out"
  check "writes and renames were refused while the extractor ran" \
    grep -Eq '^refused while extracting [1-9][0-9]* [1-9]' "$out"
  stop_fault_server
  check "the server was asked for each file once" requests_are 1 1 1
  check_installed "$DRIVE_D/KVT记账宝"
  finish_scenario
}

# Drive D: is a small tmpfs. Round 1: the volume is smaller than the extractor: the disk-full
# message, no file, the archive not even asked for. Round 2: room for both, but another program
# fills the disk while the archive downloads: the message again, and no partial file left
# filling the disk. Round 3: space freed, the install completes. One installer start.
scenario_diskfull() {
  if [ "$(id -u)" != 0 ]; then echo "FAIL diskfull: mounting a small volume needs root"; record 1; return; fi
  reset_world
  local vol="$E2E_DIR/small_d" rounds="$E2E_DIR/rounds" out="$E2E_DIR/diskfull.out" pid i
  local dir="$vol/KVT记账宝" extractor_size
  extractor_size=$(stat -c %s "$RELEASE/UnRAR.exe")
  mkdir -p "$vol" && rm -rf "$rounds" && mkdir -p "$rounds"
  mount -t tmpfs -o "size=$((extractor_size / 2))" kvt-e2e-small "$vol" || { record 1; return; }
  ln -sfn "$vol" "$WINEPREFIX/dosdevices/d:"
  start_fault_server release "$RELEASE" || { umount "$vol"; record 1; return; }
  start_app "$APP_EXE"
  : >"$out"
  driver disk-full --rounds "$(winepath_w "$rounds")" >"$out" &
  pid=$!
  wait_for_step() {
    for i in $(seq 1 1200); do
      grep -q "^step $1" "$out" && return 0
      kill -0 "$pid" 2>/dev/null || return 1
      sleep 0.1
    done
    return 1
  }
  touch "$rounds/round-1"
  wait_for_step "round 1 done"
  check "round 1: nothing was written" test -z "$(find "$vol" -type f)"

  mount -o remount,size=$((extractor_size + ARCHIVE_SIZE + 262144)) "$vol"
  touch "$rounds/round-2"
  for i in $(seq 1 600); do [ -e "$dir/KVT_SETUP.rar.temp" ] && break; sleep 0.05; done
  head -c 100M /dev/zero >"$vol/filler" 2>/dev/null
  wait_for_step "round 2 done"
  check "round 2: the disk filled during the archive, whose partial file is gone" \
    test -f "$dir/UnRAR.exe" -a ! -e "$dir/KVT_SETUP.rar.temp" -a ! -e "$dir/KVT_SETUP.rar"

  rm -f "$vol/filler"
  touch "$rounds/round-3"
  wait "$pid"
  record $?
  cat "$out"
  stop_fault_server
  check "the extractor was asked for in each round, the archive only in rounds 2 and 3" \
    requests_are 1 3 2
  check_installed "$dir"
  stop_wine
  rm -f "$WINEPREFIX/dosdevices/d:"
  umount "$vol"
  finish_scenario
}

# --- run ------------------------------------------------------------------------------------

# Under Wine 10 a 32-bit program runs in WoW64 mode, whose start needs the 32-bit system call
# `int $0x80` (Wine sets each thread's %fs for 32-bit code with it). Kernels that refuse it to
# user code (some virtual machines) kill every 32-bit process, and wineboot leaves the prefix's
# syswow64 empty: the 32-bit rows cannot run there, which one line says (the prefix is removed
# so that a machine that can is tried afresh).
wow64_works() {
  [ "$wine_version:$preset" = 10:windows32-demo ] || return 0
  [ -z "$(ls -A "$WINEPREFIX/drive_c/windows/syswow64" 2>/dev/null)" ] || return 0
  echo "e2e: 32-bit rows not run: Wine 10 cannot start 32-bit programs on this kernel" \
    "(int \$0x80 refused to user code; see README, Wine notes)"
  stop_wine
  rm -rf "$WINEPREFIX"
  return 1
}

if [ "$https_rows" = 1 ]; then
  # Inside the namespace: the secure build from its own folder, and a release whose manifest
  # names https:// URLs. Xvfb and the prefix are the caller's.
  APP_DIR="$E2E_DIR/app-https"
  APP_EXE="$APP_DIR/kvt-setup.exe"
  mkdir -p "$APP_DIR" && cp -f "$https_dir/kvt-setup.exe" "$APP_EXE"
  RELEASE="$E2E_DIR/release-https"
  mkdir -p "$RELEASE"
  cp -f "$BUILD_DIR/demo-release/UnRAR.exe" "$BUILD_DIR/demo-release/KVT_SETUP.rar" "$RELEASE/"
  write_manifest "$RELEASE" https://127.0.0.1/UnRAR.exe https://127.0.0.1/KVT_SETUP.rar
  CURRENT=https
  E2E_STARTED_WINE=1
  https_rows
  exit "$status"
fi

for name in "${selected[@]}"; do
  declare -F "scenario_$name" >/dev/null || { echo "unknown scenario $name (${SCENARIOS[*]})"; exit 2; }
done

rm -f "$SHOT_DIR"/*.png "$SHOT_DIR"/*.bmp
start_x || exit 1
make_prefix
wow64_works || exit 0
[ " ${selected[*]} " == *" layout-144 "* ] || set_dpi 96
for name in "${selected[@]}"; do
  begin "$name"
  start=$SECONDS
  "scenario_$name"
  e2e_log "scenario $name took $((SECONDS - start))s"
done
reset_world
convert_shots

e2e_log "${#selected[@]} scenario(s) in ${SECONDS}s"
if [ "$status" = 0 ]; then
  echo "e2e: PASS (${#selected[@]} scenarios, ${SECONDS}s)"
else
  echo "e2e: FAIL in: $(printf '%s\n' "${failed[@]}" | sort -u | tr '\n' ' ')"
fi
exit "$status"
