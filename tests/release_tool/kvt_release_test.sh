#!/usr/bin/env bash
# kvt-release end to end on loopback: `make` writes a release, nginx serves it on free ports in
# one configuration per table row (over TLS for the https rows, with certificates made here),
# `check` must give the row's exit status and problem line;
# `sign` signs a Windows program with a self-signed certificate, and refuses a key that does not
# belong to the certificate without touching the program. Signed releases: keygen, make --sign
# and sign RELEASE-DIR make the signature file (checked here with the openssl command line too),
# and `check --keys` rows name each way it fails.
#
#   kvt_release_test.sh <path of kvt-release>
set -u
TOOL=$1
NGINX=${NGINX:-/usr/sbin/nginx}
W=$(mktemp -d "${TMPDIR:-/tmp}/kvt-release-test.XXXXXX")
cleanup() {
  [ -f "$W/nginx.pid" ] && kill "$(cat "$W/nginx.pid")" 2>/dev/null
  rm -rf "$W"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
for need in "$NGINX" x86_64-w64-mingw32-gcc openssl osslsigncode iconv; do
  command -v "$need" >/dev/null || { echo "FAIL $need is missing (tools/packages.sh installs it)"; exit 1; }
done

# The release: a real (tiny) Windows program as the extractor, a RAR 5 signature as the archive.
mkdir -p "$W/in"
echo 'int main(void) { return 0; }' >"$W/in/x.c"
x86_64-w64-mingw32-gcc -s -o "$W/in/x.exe" "$W/in/x.c" || exit 1
printf 'Rar!\x1a\x07\x01\x00archive body' >"$W/in/a.rar"
VERSION="2.1 测试版"
"$TOOL" make "$W/good" --version "$VERSION" --base-url http://127.0.0.1 \
  --extractor "$W/in/x.exe" --archive "$W/in/a.rar" >"$W/make.out" || fail "make: exit $?"
printf '%s\r\nhttp://127.0.0.1/UnRAR.exe\r\nhttp://127.0.0.1/KVT_SETUP.rar' "$VERSION" |
  iconv -f UTF-8 -t CP936 | cmp -s - "$W/good/KVT_TRNQP_SETUP_LOG.txt" ||
  fail "make: the manifest is not three CR LF lines in code page 936"
(cd "$W/good" && sha256sum KVT_TRNQP_SETUP_LOG.txt UnRAR.exe KVT_SETUP.rar) >"$W/sums"
grep -q . "$W/sums" && while read -r sum name; do
  grep -qF "$sum  $name" "$W/make.out" || fail "make: no line '$sum  $name' in its output"
done <"$W/sums"
cmp -s "$W/in/x.exe" "$W/good/UnRAR.exe" || fail "make: UnRAR.exe is not the extractor's copy"
"$TOOL" make "$W/refused" --version "2.1 😀" --base-url http://127.0.0.1/ \
  --extractor "$W/in/x.exe" --archive "$W/in/a.rar" 2>"$W/refused.err"
[ $? = 1 ] && grep -q 'cannot hold' "$W/refused.err" && [ ! -e "$W/refused" ] ||
  fail "make: a version outside code page 936 is not refused cleanly"

# The secure installer's release, and the certificates its server may have, made as the C++
# tests make theirs (tests/support/test_certificates.cc): a test CA, and server certificates from
# it (good, wrong name, expired a day ago) or from a CA nobody trusts.
"$TOOL" make "$W/tls" --version "$VERSION" --base-url https://127.0.0.1 \
  --extractor "$W/in/x.exe" --archive "$W/in/a.rar" >"$W/make.out" || fail "make https: exit $?"
grep -qF "https://127.0.0.1/KVT_SETUP.rar" "$W/tls/KVT_TRNQP_SETUP_LOG.txt" ||
  fail "make https: the manifest does not name the https URLs"
C=$W/certs
mkdir -p "$C"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$C/$1.key"; }
ca() { key "$1" && openssl req -x509 -new -key "$C/$1.key" -subj "/CN=$1" -days 2 -out "$C/$1.crt"; }
leaf() {  # name, issuing CA, subjectAltName, days valid (-1: ended yesterday)
  key "$1" && echo "subjectAltName=$3" >"$C/$1.ext" &&
    openssl req -new -key "$C/$1.key" -subj "/CN=$1" -out "$C/$1.csr" &&
    openssl x509 -req -in "$C/$1.csr" -CA "$C/$2.crt" -CAkey "$C/$2.key" -CAcreateserial \
      -days "$4" -extfile "$C/$1.ext" -out "$C/$1.crt"
}
LOCAL="IP:127.0.0.1,DNS:localhost"
{ ca test-ca && ca other-ca && leaf good test-ca "$LOCAL" 2 &&
  leaf wrong-name test-ca DNS:wrong.example 2 && leaf expired test-ca "$LOCAL" -1 &&
  leaf untrusted other-ca "$LOCAL" 2; } >"$W/openssl.log" 2>&1 ||
  { cat "$W/openssl.log"; echo "FAIL openssl cannot make the test certificates"; exit 1; }
tls() { echo "ssl_certificate $C/$1.crt; ssl_certificate_key $C/$1.key;"; }
TRUST="--https --ca $C/test-ca.crt"

# Signing keys: made once (mode 0600, never over an existing file); `sign` writes the signature
# file anew with both keys.
SIG=KVT_TRNQP_SETUP_LOG.txt.sig
"$TOOL" keygen "$W/key1.pem" >"$W/keygen.out" || fail "keygen: exit $?"
"$TOOL" keygen "$W/key2.pem" >/dev/null && "$TOOL" keygen "$W/key3.pem" >/dev/null
KEY1=$(sed -n 's/^KVT_RELEASE_KEYS=//p' "$W/keygen.out")
KEY2=$("$TOOL" pubkey "$W/key2.pem" | sed -n 's/^KVT_RELEASE_KEYS=//p')
KEY3=$("$TOOL" pubkey "$W/key3.pem" | sed -n 's/^KVT_RELEASE_KEYS=//p')
# The point's bytes stay in a file: a shell variable would lose its zero bytes.
openssl pkey -in "$W/key1.pem" -pubout -outform DER 2>/dev/null | tail -c 65 >"$W/key1.point"
[ "$(stat -c %a "$W/key1.pem")" = 600 ] && [ "$KEY1" = "$(base64 -w0 "$W/key1.point")" ] &&
  grep -qx "key id: $(sha256sum "$W/key1.point" | cut -c1-16)" "$W/keygen.out" ||
  fail "keygen: not a 0600 key file printing its point and key id"
cp "$W/key1.pem" "$W/key1.copy"
"$TOOL" keygen "$W/key1.pem" >/dev/null 2>&1 && fail "keygen: an existing key is overwritten"
cmp -s "$W/key1.pem" "$W/key1.copy" || fail "keygen: a refused keygen changed the key"
"$TOOL" make "$W/signed" --version "$VERSION" --base-url http://127.0.0.1 --sign "$W/key1.pem" \
  --issued 1700000000 --extractor "$W/in/x.exe" --archive "$W/in/a.rar" >/dev/null ||
  fail "make --sign: exit $?"
{
  echo "KVT-RELEASE-SIGNATURE 1"
  echo "issued: 1700000000"
  echo "manifest: $(sha256sum <"$W/signed/KVT_TRNQP_SETUP_LOG.txt" | cut -c1-64)"
  echo "file: $(stat -c %s "$W/in/x.exe") $(sha256sum <"$W/in/x.exe" | cut -c1-64) http://127.0.0.1/UnRAR.exe"
  echo "file: $(stat -c %s "$W/in/a.rar") $(sha256sum <"$W/in/a.rar" | cut -c1-64) http://127.0.0.1/KVT_SETUP.rar"
} >"$W/message"
head -n 5 "$W/signed/$SIG" | cmp -s - "$W/message" ||
  fail "make --sign: the signed lines are not the format's"
# An independent signer: openssl's DER signature turned into r || s in base64.
sign_raw() {  # key file, message file
  openssl dgst -sha256 -sign "$1" "$2" | openssl asn1parse -inform DER 2>/dev/null |
    sed -n 's/.*INTEGER *:\([0-9A-F]*\)$/\1/p' | while read -r n; do printf '%064s' "$n" | tr ' ' 0; done |
    xxd -r -p | base64 -w0
}
# The tool's signature verifies with openssl, over exactly the lines before it.
grep '^signature: ' "$W/signed/$SIG" | cut -d' ' -f3 | base64 -d >"$W/rs"
openssl pkey -in "$W/key1.pem" -pubout -out "$W/key1.pub" 2>/dev/null
python3 - "$W/rs" "$W/rs.der" <<'PY'
import sys
rs = open(sys.argv[1], "rb").read()
def integer(b):
    b = b.lstrip(b"\0") or b"\0"
    if b[0] & 0x80: b = b"\0" + b
    return bytes([2, len(b)]) + b
body = integer(rs[:32]) + integer(rs[32:])
open(sys.argv[2], "wb").write(bytes([0x30, len(body)]) + body)
PY
openssl dgst -sha256 -verify "$W/key1.pub" -signature "$W/rs.der" "$W/message" >/dev/null ||
  fail "make --sign: openssl does not verify the signature"
variant() { cp -r "$W/${2:-good}" "$W/$1"; }
# Signed twice: the old key and a new one (rotation); each key alone verifies.
variant rotated signed && "$TOOL" sign "$W/rotated" --key "$W/key1.pem" --key "$W/key2.pem" \
  >/dev/null || fail "sign: exit $?"
[ "$(grep -c '^signature: ' "$W/rotated/$SIG")" = 2 ] || fail "sign: not one line per key"
variant bad-sig signed && awk '/^signature: / { c = substr($3, 1, 1); $3 = (c == "A" ? "B" : "A") substr($3, 2) } 1' \
  "$W/signed/$SIG" >"$W/bad-sig/$SIG"
variant crlf-sig signed && sed -i 's/$/\r/' "$W/crlf-sig/$SIG"
variant changed signed && printf '2.2\r\nhttp://127.0.0.1/UnRAR.exe\r\nhttp://127.0.0.1/KVT_SETUP.rar' \
  >"$W/changed/KVT_TRNQP_SETUP_LOG.txt"
# The URL lines swapped, signed properly (by openssl): only the URL check can catch it.
variant swapped signed && sed -n 1,3p "$W/message" >"$W/swapped.msg" &&
  sed -n 5p "$W/message" >>"$W/swapped.msg" && sed -n 4p "$W/message" >>"$W/swapped.msg" &&
  { cat "$W/swapped.msg"; echo "signature: $(sed -n 's/^key id: //p' "$W/keygen.out") $(sign_raw "$W/key1.pem" "$W/swapped.msg")"; } \
  >"$W/swapped/$SIG"
variant longer signed && printf 'more' >>"$W/longer/KVT_SETUP.rar"
variant flipped signed && printf 'X' | dd of="$W/flipped/UnRAR.exe" bs=1 seek=100 conv=notrunc 2>/dev/null

# Variants of the good release.
variant crlf && printf '\r\n' >>"$W/crlf/KVT_TRNQP_SETUP_LOG.txt"
variant utf8 && printf '%s\r\nhttp://127.0.0.1/UnRAR.exe\r\nhttp://127.0.0.1/KVT_SETUP.rar' \
  "$VERSION" >"$W/utf8/KVT_TRNQP_SETUP_LOG.txt"
variant missing && rm "$W/missing/KVT_SETUP.rar"
variant other && printf 'Rar!\x1a\x07\x01\x00another body' >"$W/other/KVT_SETUP.rar"

# name | served folder | nginx directives | exit status | lines the output must hold (~ between)
#   | more check options (with --https the server speaks TLS) | folder a mirror on 127.0.0.2 serves
ROWS=(
  "good|good||0|verdict: the installer would succeed (0 error(s), 0 warning(s))"
  "gzip on|good|gzip on; gzip_types *; gzip_min_length 1;|0|warning: KVT_SETUP.rar: the server compresses this file for clients that ask (Content-Encoding: gzip)"
  "chunked|good|location = /KVT_SETUP.rar { sub_filter_types *; sub_filter zzzz zzzz; }|1|error: KVT_SETUP.rar: http://127.0.0.1/KVT_SETUP.rar: chunked answer (Transfer-Encoding: chunked) without Content-Length"
  "404|missing||1|error: KVT_SETUP.rar: http://127.0.0.1/KVT_SETUP.rar: status \"HTTP/1.1 404 Not Found\": the installer needs 200"
  "trailing CR LF|crlf||1|error: KVT_TRNQP_SETUP_LOG.txt: line break (CR LF) after the last line"
  "UTF-8|utf8||1|manifest text: UTF-8~version shown: 2.1~warning: KVT_TRNQP_SETUP_LOG.txt: saved as UTF-8, not code page 936; the installer reads it as UTF-8 and shows the version as"
  "redirect|good|location = /UnRAR.exe { return 302 /files/UnRAR.exe; } location /files/ { alias $W/good/; }|0|warning: UnRAR.exe: http://127.0.0.1/UnRAR.exe: redirected (302) to \"http://127.0.0.1:"
  "other files|other||1|error: KVT_SETUP.rar: differs from $W/good/KVT_SETUP.rar"
  "https|tls|$(tls good)|0|https://127.0.0.1/KVT_TRNQP_SETUP_LOG.txt (port 443 reached at~verdict: the installer would succeed (0 error(s), 0 warning(s))|$TRUST"
  "https, system store only|tls|$(tls good)|1|https://127.0.0.1/KVT_TRNQP_SETUP_LOG.txt: untrusted certificate (unknown CA or self-signed): /CN=good issued by /CN=test-ca|--https"
  "https, expired|tls|$(tls expired)|1|error: KVT_TRNQP_SETUP_LOG.txt: https://127.0.0.1/KVT_TRNQP_SETUP_LOG.txt: expired certificate: /CN=expired was valid until~verdict: the installer would fail|$TRUST"
  "https, wrong name|tls|$(tls wrong-name)|1|error: KVT_TRNQP_SETUP_LOG.txt: https://127.0.0.1/KVT_TRNQP_SETUP_LOG.txt: wrong host name: the certificate does not name \"127.0.0.1\"|$TRUST"
  "https, untrusted CA|tls|$(tls untrusted)|1|error: KVT_TRNQP_SETUP_LOG.txt: https://127.0.0.1/KVT_TRNQP_SETUP_LOG.txt: untrusted certificate (unknown CA or self-signed): /CN=untrusted issued by /CN=other-ca|$TRUST"
  "https, TLS 1.3 only|tls|$(tls good) ssl_protocols TLSv1.3;|1|error: KVT_TRNQP_SETUP_LOG.txt: https://127.0.0.1/KVT_TRNQP_SETUP_LOG.txt: speaks only TLS 1.3: Windows versions whose WinINet lacks TLS 1.3 (Windows 7, 8.1, older 10) cannot connect|$TRUST"
  "https, http URLs|good|$(tls good)|1|error: UnRAR.exe: URL \"http://127.0.0.1/UnRAR.exe\" is plain http: the secure installer refuses it~error: KVT_SETUP.rar: URL \"http://127.0.0.1/KVT_SETUP.rar\" is plain http|$TRUST"
  "signed|signed||0|signature: valid (issued 1700000000~verdict: the installer would succeed (0 error(s), 0 warning(s))|--keys $KEY1 --not-before 1700000000"
  "signed with old and new key|rotated||0|signature: valid|--keys $KEY2"
  "signature missing|good||1|error: $SIG: missing: ~verdict: the installer would fail|--keys $KEY1"
  "signature malformed|crlf-sig||1|error: $SIG: malformed|--keys $KEY1"
  "unknown key|signed||1|error: $SIG: unknown key|--keys $KEY3"
  "bad signature|bad-sig||1|error: $SIG: bad signature|--keys $KEY3;$KEY1"
  "manifest changed|changed||1|error: $SIG: manifest changed|--keys $KEY1"
  "URLs swapped|swapped||1|error: $SIG: URL mismatch|--keys $KEY1"
  "issued before --not-before|signed||1|error: $SIG: issued before~issued 1700000000, before --not-before 1700000001|--keys $KEY1 --not-before 1700000001"
  "archive of another size|longer||1|error: KVT_SETUP.rar: size mismatch: 24 bytes served, 20 signed|--keys $KEY1"
  "extractor with one byte changed|flipped||1|error: UnRAR.exe: hash mismatch|--keys $KEY1"
  "mirror identical|signed||0|mirror 127.0.0.2: identical~  $SIG  http://127.0.0.2/$SIG  identical~verdict: the installer would succeed (0 error(s), 0 warning(s))|--keys $KEY1 --mirror 127.0.0.2|signed"
  "mirror stale, mirror down|signed||1|error: mirror 127.0.0.2: KVT_SETUP.rar differs from the vendor host's (24 bytes~  UnRAR.exe  http://127.0.0.2/UnRAR.exe  identical~error: mirror 127.0.0.3: KVT_TRNQP_SETUP_LOG.txt not served completely|--keys $KEY1 --mirror 127.0.0.2 --mirror 127.0.0.3|longer"
)

# One nginx, one server per row, on consecutive free ports from a random base.
start_nginx() {
  local base=$1 i user=""
  [ "$(id -u)" = 0 ] && user="user root;"
  mkdir -p "$W/tmp"
  {
    echo "$user daemon on; worker_processes 1; pid $W/nginx.pid; error_log $W/error.log;"
    echo "events { worker_connections 64; }"
    echo "http { default_type application/octet-stream; types { text/plain txt; } access_log off;"
    for t in client_body proxy fastcgi uwsgi scgi; do echo "${t}_temp_path $W/tmp/$t;"; done
    for i in "${!ROWS[@]}"; do
      IFS='|' read -r _ dir directives _ _ options mirror <<<"${ROWS[$i]}"
      tls=""
      [[ $options == *--https* ]] && tls=" ssl"
      echo "server { listen 127.0.0.1:$((base + i))$tls; root $W/$dir; $directives }"
      [ -z "$mirror" ] || echo "server { listen 127.0.0.2:$((base + i)); root $W/$mirror; }"
    done
    echo "}"
  } >"$W/nginx.conf"
  "$NGINX" -p "$W" -c "$W/nginx.conf" -e "$W/error.log" 2>>"$W/error.log"
}
for attempt in 1 2 3 4 5; do
  base=$((20000 + RANDOM % 30000))
  start_nginx "$base" && break
  [ "$attempt" = 5 ] && { cat "$W/error.log"; echo "FAIL nginx does not start"; exit 1; }
done

for i in "${!ROWS[@]}"; do
  IFS='|' read -r name _ _ status wanted options _ <<<"${ROWS[$i]}"
  expect=$W/good
  [[ $options == *--https* ]] && expect=$W/tls
  # shellcheck disable=SC2086 # the row's options are words
  "$TOOL" check 127.0.0.1 --port $((base + i)) --expect "$expect" $options >"$W/out" 2>&1
  got=$?
  missing=""
  IFS='~' read -r -a lines <<<"$wanted"
  for line in "${lines[@]}"; do grep -qF -- "$line" "$W/out" || missing+=$'\n    '"$line"; done
  if [ "$got" != "$status" ] || [ -n "$missing" ]; then
    fail "check, $name: exit $got (want $status), missing lines:$missing"
    sed 's/^/    | /' "$W/out"
  else
    echo "ok check, $name"
  fi
done
# The installer's own parser reads back what make wrote; --json says the same as the text.
"$TOOL" check 127.0.0.1 --port "$base" >"$W/out"
grep -qxF "version shown: $VERSION" "$W/out" || fail "check: the version read back is not $VERSION"
"$TOOL" check 127.0.0.1 --port $((base + 2)) --json >"$W/out"
grep -qF '"installer_would_succeed": false' "$W/out" && grep -qF '"severity": "error"' "$W/out" ||
  fail "check --json: no failing verdict for the chunked row"
"$TOOL" check 127.0.0.1 --https --ca "$C/none.crt" >"$W/out" 2>&1
[ $? = 2 ] && grep -qF "cannot read the CA file" "$W/out" || fail "check: a missing --ca file is not refused"

# sign: a self-signed certificate, verified against itself; a foreign key is refused.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=KVT test" -keyout "$W/key.pem" \
  -out "$W/cert.pem" 2>/dev/null
openssl genrsa -out "$W/other.pem" 2048 2>/dev/null
cp "$W/in/x.exe" "$W/setup.exe"
"$TOOL" sign "$W/setup.exe" --cert "$W/cert.pem" --key "$W/other.pem" --ca "$W/cert.pem" \
  >"$W/sign.out" 2>&1 && fail "sign: a key that is not the certificate's is accepted"
cmp -s "$W/in/x.exe" "$W/setup.exe" && [ ! -e "$W/setup.exe.signing" ] ||
  fail "sign: a failed signing changed the program or left a file"
"$TOOL" sign "$W/setup.exe" --cert "$W/cert.pem" --key "$W/key.pem" --ca "$W/cert.pem" \
  >"$W/sign.out" 2>&1 || { fail "sign: exit $?"; cat "$W/sign.out"; }
osslsigncode verify -in "$W/setup.exe" -CAfile "$W/cert.pem" >/dev/null 2>&1 &&
  grep -qF "signer /CN=KVT test" "$W/sign.out" || fail "sign: the program is not signed by the test certificate"

[ "$failures" = 0 ] && echo "all kvt-release checks passed"
exit $((failures > 0))
