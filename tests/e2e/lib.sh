# shellcheck shell=bash
# Building blocks of the end-to-end harness: an X server of our own, a Wine prefix of our own
# (Chinese locale, CJK fonts, Wine's desktop window), the installer, the UI driver, screenshots
# and cleaning up. Source this file, call e2e_init BUILD_DIR [NAME], then the steps you need;
# e2e_cleanup (installed as an EXIT trap by e2e_init) stops whatever was started.
#
# Environment knobs:
#   KVT_E2E_FRESH=1   create the Wine prefix anew even if a cached one exists
#   KVT_E2E_KEEP=1    leave Xvfb and Wine running at the end (for poking around)

E2E_LIB_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
REPO_DIR="$(cd "$E2E_LIB_DIR/../.." && pwd)"

XVFB_PID=""
APP_PID=""
declare -gA SERVER_PIDS=()  # scripted servers by port
VENDOR_PORT=""
E2E_STARTED_WINE=0

e2e_log() { printf '[e2e %3ds] %s\n' "$SECONDS" "$*" >&2; }

# Sets up the folders and the environment under BUILD_DIR/NAME (default e2e; each Wine version
# needs a prefix of its own).
e2e_init() {
  BUILD_DIR="$(cd "$1" && pwd)"
  E2E_DIR="$BUILD_DIR/${2:-e2e}"
  SHOT_DIR="$E2E_DIR/screenshots"
  mkdir -p "$E2E_DIR/home" "$E2E_DIR/locale" "$SHOT_DIR"
  export WINEPREFIX="$E2E_DIR/prefix"
  # A desktop session's X authority stays reachable when HOME moves.
  if [ -z "${XAUTHORITY:-}" ] && [ -f "${HOME:-/nonexistent}/.Xauthority" ]; then
    export XAUTHORITY="$HOME/.Xauthority"
  fi
  export HOME="$E2E_DIR/home"
  export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share"
  export XDG_CACHE_HOME="$HOME/.cache"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
  export LOCPATH="$E2E_DIR/locale"
  unset LANG LANGUAGE
  # The Chinese locale gives Wine code page 936; the default C.UTF-8 would give 1252.
  if [ ! -d "$LOCPATH/zh_CN.UTF-8" ]; then
    localedef -i zh_CN -f UTF-8 "$LOCPATH/zh_CN.UTF-8" >/dev/null 2>&1 || true
  fi
  export LC_ALL=zh_CN.UTF-8
  trap e2e_cleanup EXIT
  trap 'exit 130' INT TERM
}

# Starts Xvfb on a free display and exports DISPLAY.
start_x() {
  local n
  for n in $(seq 91 199); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then break; fi
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$E2E_DIR/xvfb.log" 2>&1 &
  XVFB_PID=$!
  local i
  for i in $(seq 1 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    if ! kill -0 "$XVFB_PID" 2>/dev/null; then
      e2e_log "Xvfb :$n did not start (see $E2E_DIR/xvfb.log)"; return 1
    fi
    sleep 0.05
  done
  export DISPLAY=":$n"
  e2e_log "Xvfb on $DISPLAY"
}

# Creates the Wine prefix unless a finished one is cached, and removes drive D:, which the
# installer's default folder names but a test machine must not have.
make_prefix() {
  local stamp="$WINEPREFIX/.kvt-e2e-ready"
  wineserver -k >/dev/null 2>&1 || true  # a fresh wineserver for this prefix
  if [ "${KVT_E2E_FRESH:-0}" = 1 ] || [ ! -f "$stamp" ]; then
    e2e_log "creating Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    wineboot -i >"$E2E_DIR/wineboot.log" 2>&1
    wineserver -w
    touch "$stamp"
  fi
  rm -f "$WINEPREFIX/dosdevices/d:" "$WINEPREFIX/dosdevices/d::"
  # Caption buttons are drawn with Marlett, which this Wine does not register from its own
  # font folder: put it where every Windows font lives.
  local marlett=/usr/share/wine/fonts/marlett.ttf fonts="$WINEPREFIX/drive_c/windows/Fonts"
  if [ -f "$marlett" ] && [ ! -f "$fonts/marlett.ttf" ]; then
    mkdir -p "$fonts" && cp "$marlett" "$fonts/"
  fi
  E2E_STARTED_WINE=1
}

# Imports the prefix settings (fonts, desktop) with the screen resolution DPI, then restarts
# the wineserver so that the next program starts with them.
set_dpi() {
  local dpi=$1 reg="$E2E_DIR/prefix-$1.reg"
  sed "s/@LOGPIXELS@/$(printf '%08x' "$dpi")/g" "$E2E_LIB_DIR/prefix.reg" |
    sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16 >"$reg"
  wine regedit /S "$(winepath_w "$reg")" >>"$E2E_DIR/wine.log" 2>&1
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
  E2E_STARTED_WINE=1
  e2e_log "prefix set to $dpi DPI"
}

# Windows path (drive Z:) of a Unix path, without starting Wine.
winepath_w() {
  local p
  p="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
  printf 'Z:%s' "${p//\//\\}"
}

# Starts a Windows program in the background; its output goes to e2e/app.log.
start_app() {
  local exe=$1
  shift
  e2e_log "starting $(basename "$exe")"
  wine "$exe" "$@" >>"$E2E_DIR/app.log" 2>&1 &
  APP_PID=$!
  E2E_STARTED_WINE=1
}

# Runs the UI driver with a scenario; returns its exit status.
run_driver() {
  local scenario=$1
  shift
  e2e_log "driver: $scenario $*"
  wine "$DRIVER_EXE" "$scenario" "$@" 2>>"$E2E_DIR/driver.log"
}

# Saves a screenshot of the whole X screen as SHOT_DIR/NAME.png and prints its path.
screenshot() {
  local out="$SHOT_DIR/$1.png"
  sleep 0.3  # let the last repaint reach the X server
  import -window root "$out"
  e2e_log "screenshot $out"
  echo "screenshot: $out"
}

# Turns the driver's BMP screenshots into PNGs and prints their paths.
convert_shots() {
  local bmp
  for bmp in "$SHOT_DIR"/*.bmp; do
    [ -f "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp" && echo "screenshot: ${bmp%.bmp}.png"
  done
}

# A byte count as the installer's progress caption writes it: B below 1 KB, whole KB (halves to
# even) below 1 MB, else MB with two decimals and the unit "M".
size_text() {
  local n=$1
  if [ "$n" -lt 1024 ]; then echo "${n}B"
  elif [ "$n" -lt 1048576 ]; then awk "BEGIN{printf \"%.0fKB\n\", $n/1024}"
  else awk "BEGIN{printf \"%.2fM\n\", $n/1048576}"; fi
}

# True when a TCP port on 127.0.0.1 accepts connections.
port_in_use() {  # port_in_use PORT | ADDRESS:PORT
  local address=127.0.0.1 port=$1
  [[ $1 != *:* ]] || { address=${1%:*}; port=${1##*:}; }
  (exec 3<>"/dev/tcp/$address/$port") 2>/dev/null
}

# Output file of the scripted server on PORT (port 80: E2E_DIR/server.out).
server_out() {
  if [ "${1:-80}" = 80 ]; then echo "$E2E_DIR/server.out"; else echo "$E2E_DIR/server-$1.out"; fi
}

# Starts the scripted vendor server (tests/e2e/fault_server.cc) with a scenario and the release
# folder on 127.0.0.1:PORT (default 80; PORT may be ADDRESS:PORT, another loopback address standing
# for a second host); given a certificate and key it speaks HTTPS. Its output
# goes to server_out PORT. Fails when the port is taken or cannot be bound. One server per port.
start_fault_server() {
  local scenario=$1 release=$2 port=${3:-80} i out
  shift $(($# < 3 ? $# : 3))
  out=$(server_out "$port")
  stop_fault_server "$port"
  if port_in_use "$port"; then
    echo "FAIL start server $scenario: something else listens on $port"
    return 1
  fi
  : >"$out"
  "$FAULT_SERVER" "$scenario" "$release" "$port" "$@" >"$out" 2>"$E2E_DIR/server.err" &
  SERVER_PIDS[$port]=$!
  for i in $(seq 1 100); do
    grep -q "^port $port\$" "$out" && { e2e_log "server: $scenario on port $port"; return 0; }
    kill -0 "${SERVER_PIDS[$port]}" 2>/dev/null || break
    sleep 0.05
  done
  echo "FAIL start server $scenario: $(cat "$E2E_DIR/server.err")"
  if [ "$(id -u)" != 0 ]; then
    echo "  port $port is privileged: run as root, or allow it with"
    echo "  sudo sysctl net.ipv4.ip_unprivileged_port_start=80"
  fi
  stop_fault_server "$port"
  return 1
}

# Stops the scripted server on PORT (none given: every one); its request list is then in its
# output file.
stop_fault_server() {
  local port pid
  for port in ${1:-${!SERVER_PIDS[@]}}; do
    pid=${SERVER_PIDS[$port]:-}
    [ -n "$pid" ] || continue
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    unset "SERVER_PIDS[$port]"
  done
}

# How many GET requests for TARGET the last scripted server on PORT (default 80) saw.
requests_for() {
  grep -c "^request GET $1\$" "$(server_out "${2:-80}")" 2>/dev/null || true
}

# Makes a test CA and server certificates in DIR with the openssl command line (P-256 keys, a
# fraction of a second): ca.crt, and NAME.crt + NAME.key for good (127.0.0.1 and localhost),
# wrong-name (wrong.example only), expired (ended yesterday) and untrusted (127.0.0.1 and
# localhost, signed by other-ca, which nobody trusts). The address is named twice: as an IP
# address, which Windows and OpenSSL match, and as a DNS name, the only kind that Wine 8 matches.
make_test_certificates() {
  local dir=$1
  rm -rf "$dir" && mkdir -p "$dir" || return 1
  (
    set -e
    cd "$dir"
    key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key"; }
    ca() { key "$1" && openssl req -x509 -new -key "$1.key" -subj "/CN=KVT $1" -days 2 -out "$1.crt"; }
    leaf() {  # leaf NAME CA SUBJECT_ALT_NAMES DAYS
      key "$1"
      openssl req -new -key "$1.key" -subj "/CN=$1" -out "$1.csr"
      printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$3" >"$1.ext"
      openssl x509 -req -in "$1.csr" -CA "$2.crt" -CAkey "$2.key" -CAcreateserial -days "$4" \
        -extfile "$1.ext" -out "$1.crt"
    }
    ca ca
    ca other-ca
    leaf good ca IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost 2
    leaf wrong-name ca DNS:wrong.example 2
    leaf expired ca IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost -1
    leaf untrusted other-ca IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost 2
  ) >"$dir.log" 2>&1 || { echo "FAIL making test certificates (log: $dir.log)"; return 1; }
}

# Release signing with the openssl command line (the test's own signer; private keys are made
# at test time and never committed).
# make_release_key KEY.pem: a new P-256 key, unless KEY.pem exists.
make_release_key() {
  [ -f "$1" ] || openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null
}
# The 65-byte public point (04 || X || Y) of KEY.pem: the last 65 bytes of its DER public key.
release_point() { openssl pkey -in "$1" -pubout -outform DER 2>/dev/null | tail -c 65; }
# release_public_key KEY.pem: the point in base64, the form KVT_RELEASE_KEYS takes.
release_public_key() { release_point "$1" | base64 -w0; }
# sign_release DIR KEY.pem ISSUED: writes DIR/KVT_TRNQP_SETUP_LOG.txt.sig for the manifest in DIR
# and the files its URLs name (found in DIR by their last path piece), signed with KEY.pem.
sign_release() {
  local dir=$1 key=$2 issued=$3 manifest="$1/KVT_TRNQP_SETUP_LOG.txt" url file r s id
  {
    printf 'KVT-RELEASE-SIGNATURE 1\nissued: %s\nmanifest: %s\n' "$issued" \
      "$(sha256sum <"$manifest" | cut -c1-64)"
    for url in $(tr -d '\r' <"$manifest" | tail -n +2; echo); do
      file="$dir/${url##*/}"
      printf 'file: %s %s %s\n' "$(stat -c %s "$file")" "$(sha256sum <"$file" | cut -c1-64)" "$url"
    done
  } >"$dir/signed-part"
  # openssl gives the signature in DER (a SEQUENCE of the INTEGERs r and s); the file wants the
  # two numbers as 32 bytes each.
  openssl dgst -sha256 -sign "$key" -out "$dir/signature.der" "$dir/signed-part" || return 1
  read -r r s < <(openssl asn1parse -inform DER -in "$dir/signature.der" |
    awk -F: '/INTEGER/ { printf "%s ", $NF } END { print "" }')
  r=$(printf '%64s' "$(sed 's/^0*//' <<<"$r")" | tr ' ' 0)
  s=$(printf '%64s' "$(sed 's/^0*//' <<<"$s")" | tr ' ' 0)
  id=$(release_point "$key" | sha256sum | cut -c1-16)
  { cat "$dir/signed-part"
    printf 'signature: %s %s\n' "$id" "$(perl -e 'print pack("H*", $ARGV[0])' "$r$s" | base64 -w0)"
  } >"$manifest.sig"
  rm -f "$dir/signed-part" "$dir/signature.der"
}

# Runs COMMAND... in a private mount namespace where the system's CA bundle
# /etc/ssl/certs/ca-certificates.crt, which Wine's crypt32 reads as its root store, also holds
# the test CA CA_CERT. The machine's store is never changed: a copy with the test CA is mounted
# over it in that namespace only, which ends with its last process. Everything that must trust
# the test CA (the wineserver included) has to start inside. Needs root.
with_test_ca() {
  local ca=$1 bundle
  shift
  bundle="${ca%.crt}-bundle.crt"
  cat /etc/ssl/certs/ca-certificates.crt "$ca" >"$bundle" || return 1
  unshare --mount --propagation private -- sh -c \
    'mount --bind "$0" /etc/ssl/certs/ca-certificates.crt && exec "$@"' "$bundle" "$@"
}

# The demo vendor server (nginx, tools/demo/vendor-server.sh) serving RELEASE on port 80, or on
# PORT with HTTPS given the certificate and key.
start_vendor_server() {
  local release=$1 port=${2:-80}
  KVT_VENDOR_RUN_DIR="$E2E_DIR/vendor" bash "$REPO_DIR/tools/demo/vendor-server.sh" start \
    "$release" "$port" "${@:3}" >>"$E2E_DIR/vendor.log" 2>&1 || {
    tail -n 8 "$E2E_DIR/vendor.log"
    return 1
  }
  VENDOR_PORT=$port
}

stop_vendor_server() {
  [ -n "$VENDOR_PORT" ] || return 0
  KVT_VENDOR_RUN_DIR="$E2E_DIR/vendor" bash "$REPO_DIR/tools/demo/vendor-server.sh" stop \
    "$VENDOR_PORT" >>"$E2E_DIR/vendor.log" 2>&1 || true
  VENDOR_PORT=""
}

# Ends every Windows program of the prefix and the wineserver.
stop_wine() {
  if [ "$E2E_STARTED_WINE" = 1 ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
  if [ -n "$APP_PID" ]; then wait "$APP_PID" 2>/dev/null || true; fi
  APP_PID=""
}

e2e_cleanup() {
  stop_fault_server
  stop_vendor_server
  if [ "${KVT_E2E_KEEP:-0}" = 1 ]; then
    e2e_log "KVT_E2E_KEEP=1: leaving DISPLAY=$DISPLAY and the wineserver running"
    return
  fi
  stop_wine
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=""
  fi
}
