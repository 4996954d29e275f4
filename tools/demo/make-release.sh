#!/usr/bin/env bash
# Puts the demo release together: what the demo vendor web server serves to the installer.
#
#   make-release.sh [--scheme http|https] [--sign KEY.pem --kvt-release TOOL] <exe-dir> <out-dir>
#                   [host] [version]
#
#   --scheme   scheme of the manifest URLs (default http); an installer built with
#              KVT_VENDOR_SCHEME=https takes only https:// URLs
#   --sign     also writes the signature file KVT_TRNQP_SETUP_LOG.txt.sig, signed with the P-256
#              key KEY.pem by `TOOL sign <out-dir> --key KEY.pem` (TOOL: the Linux kvt-release);
#              an installer built with KVT_RELEASE_KEYS installs only a release signed so
#   <exe-dir>  folder holding the cross-built KVT.exe and UnRAR.exe (a Windows build folder,
#              or its tools/ sub-folder)
#   <out-dir>  release folder to fill (created if missing)
#   host       host name written into the manifest URLs (default 127.0.0.1); the installer
#              always connects to port 80 (443 for https), so no port belongs here
#   version    release version, the manifest's first line (default 2.1; written in code
#              page 936, so Chinese is fine)
#
# Result in <out-dir>:
#   KVT_TRNQP_SETUP_LOG.txt  version CR LF <scheme>://<host>/UnRAR.exe CR LF <scheme>://<host>/KVT_SETUP.rar
#                            (no line break after the last line)
#   UnRAR.exe                the stand-in extractor
#   KVT_SETUP.rar            KVTPACK1 archive: KVT.exe, 说明.txt, 文档/版本说明.txt
#   KVT_TRNQP_SETUP_LOG.txt.sig  with --sign: sizes and SHA-256 of the three files, signed
#                            (without --sign an old signature file is removed: it would not fit)
#
# The host packer kvtpack is compiled with the native g++ once and cached in
# <exe-dir>/host-tools (override with KVT_HOST_TOOLS_DIR).
set -euo pipefail

usage() {
  echo "usage: $0 [--scheme http|https] [--sign KEY.pem --kvt-release TOOL] <exe-dir> <out-dir>" \
    "[host] [version]" >&2
  exit 2
}
scheme=http
sign_key=""
tool=""
while [ $# -gt 0 ]; do
  case "$1" in
    --scheme) [ "${2:-}" = http ] || [ "${2:-}" = https ] || usage; scheme=$2; shift 2 ;;
    --sign) [ -n "${2:-}" ] || usage; sign_key=$2; shift 2 ;;
    --kvt-release) [ -n "${2:-}" ] || usage; tool=$2; shift 2 ;;
    *) break ;;
  esac
done
[ -z "$sign_key" ] || [ -n "$tool" ] || usage
[ $# -ge 2 ] && [ $# -le 4 ] || usage
exe_dir=$1
out_dir=$2
host=${3:-127.0.0.1}
version=${4:-2.1}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [ -z "$host" ] || [[ "$host" =~ [/:[:space:]] ]]; then
  echo "make-release: host must be a bare host name without scheme, port or path: '$host'" >&2
  exit 2
fi
if [ -z "$version" ] || [[ "$version" == *$'\r'* ]] || [[ "$version" == *$'\n'* ]]; then
  echo "make-release: version must be one non-empty line" >&2
  exit 2
fi

find_exe() {
  local name=$1 d
  for d in "$exe_dir" "$exe_dir/tools"; do
    if [ -f "$d/$name" ]; then
      echo "$d/$name"
      return 0
    fi
  done
  echo "make-release: $name not found in $exe_dir (build the Windows targets first)" >&2
  return 1
}
kvt_exe=$(find_exe KVT.exe)
unrar_exe=$(find_exe UnRAR.exe)

# Host packer, rebuilt only when its sources are newer than the cached binary.
tools_dir=${KVT_HOST_TOOLS_DIR:-$exe_dir/host-tools}
kvtpack=$tools_dir/kvtpack
mkdir -p "$tools_dir"
if [ ! -x "$kvtpack" ] || [ "$here/kvtpack.cc" -nt "$kvtpack" ] ||
   [ "$here/kvtpack_format.h" -nt "$kvtpack" ]; then
  g++ -std=c++20 -O2 -Wall -Wextra -o "$kvtpack.new" "$here/kvtpack.cc"
  mv -f "$kvtpack.new" "$kvtpack"
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$kvt_exe" "$stage/KVT.exe"
mkdir -p "$stage/文档"
# Text files for Windows: UTF-8 with a byte-order mark and CR LF line ends.
printf '\xEF\xBB\xBFKVT记账宝 %s 演示版\r\n\r\n双击 KVT.exe 或桌面上的“KVT记账宝”快捷方式启动。\r\n' \
  "$version" >"$stage/说明.txt"
printf '\xEF\xBB\xBF版本 %s\r\n演示发布，仅用于测试在线安装程序。\r\n' "$version" \
  >"$stage/文档/版本说明.txt"

mkdir -p "$out_dir"
"$kvtpack" "$out_dir/KVT_SETUP.rar" "$stage"
"$kvtpack" -l "$out_dir/KVT_SETUP.rar"
cp -f "$unrar_exe" "$out_dir/UnRAR.exe"
# The installer reads the manifest in the ANSI code page of Simplified Chinese Windows (936).
printf '%s\r\n%s\r\n%s' "$version" "$scheme://$host/UnRAR.exe" "$scheme://$host/KVT_SETUP.rar" |
  iconv -f UTF-8 -t CP936 >"$out_dir/KVT_TRNQP_SETUP_LOG.txt"
if [ -n "$sign_key" ]; then
  "$tool" sign "$out_dir" --key "$sign_key"
else
  rm -f "$out_dir/KVT_TRNQP_SETUP_LOG.txt.sig"
fi
echo "make-release: demo release $version for $scheme://$host/ in $out_dir${sign_key:+, signed}"
