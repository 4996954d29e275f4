#!/usr/bin/env bash
# A second Wine for the tests: Debian 13 (trixie) with its Wine 10 in a chroot folder outside the
# clone, made once per machine. Wine 10 runs 32-bit Windows programs in its WoW64 mode from a pure
# 64-bit install, which needs no 32-bit Linux code (the kernels here cannot run any): the 32-bit
# Windows DLLs come from the libwine:i386 package, unpacked into the amd64 Wine's empty
# i386-windows folder, never installed.
#
#   chroot.sh ensure                   make the chroot unless a finished one exists; exit 0 when
#                                      it is ready, 3 with one line saying why when it cannot be
#                                      made here (not root, no debootstrap, no package mirror)
#   chroot.sh run [--bind DIR]... -- COMMAND...
#                                      run COMMAND (a path inside the chroot) in the chroot, in
#                                      private mount, PID and network namespaces; each DIR is
#                                      mounted at the same path inside, and the working folder is
#                                      kept when it lies in one
#   chroot.sh root                     print the chroot folder
#
# The chroot lives in KVT_WINE10_CACHE (default /var/cache/kvt-wine10)/root; a stamp written as
# the last step of making it names the recipe, and a chroot without the right stamp or without
# its key files is made anew (into root.new, renamed when finished). Nothing is mounted or
# changed on the machine outside that folder: every mount is made in a private mount namespace,
# which ends with its last process; the network namespace holds only lo and a veth pair whose
# ends both stay inside (Wine counts the machine as connected only when a default route exists);
# the PID namespace ends every process started inside (Xvfb, wineserver, servers) when COMMAND
# ends, also on Ctrl-C or failure. The package mirror is the Debian one of this machine's apt
# sources (KVT_WINE10_MIRROR overrides it). Needs root. About 2.5 minutes and 2 GB to make.
set -euo pipefail

script="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"
cache="${KVT_WINE10_CACHE:-/var/cache/kvt-wine10}"
root="$cache/root"
suite=trixie
# What the end-to-end tests use inside: Wine (with GnuTLS, which its CNG needs for ECDSA and
# which is only a Recommends), an X server, fonts, the Chinese locale's sources, screenshots,
# nginx as the demo vendor server.
packages=(wine wine64 libgnutls30t64 xvfb xauth fonts-wine fonts-wqy-zenhei locales imagemagick
          nginx curl procps)
# Changing the recipe above changes the stamp, so that every machine makes the chroot anew.
recipe="kvt-wine10 1 $suite ${packages[*]}"
stamp="$root/.kvt-wine10-ready"
wine_lib=/usr/lib/x86_64-linux-gnu/wine
key_files=(/usr/bin/wine "$wine_lib/x86_64-windows/kernel32.dll"
           "$wine_lib/i386-windows/kernel32.dll" "$wine_lib/i386-windows/user32.dll"
           /usr/bin/Xvfb /usr/sbin/nginx /usr/bin/import /usr/bin/localedef)

say() { echo "wine10: $*" >&2; }

# True when the chroot is finished: the stamp names this recipe and the key files are there.
ready() {
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ] || return 1
  local f
  for f in "${key_files[@]}"; do [ -e "$root$f" ] || return 1; done
}

# The Debian mirror of this machine's apt sources (deb822 or one-line format).
mirror() {
  if [ -n "${KVT_WINE10_MIRROR:-}" ]; then echo "$KVT_WINE10_MIRROR"; return; fi
  local url
  url=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
          awk '/^URIs:/ {print $2}' | grep -E '/debian/?$' | head -n1 || true)
  [ -n "$url" ] || url=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
                           awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; break}}' |
                           grep -E '/debian/?$' | head -n1 || true)
  echo "${url:-http://deb.debian.org/debian}"
}

# Removes a folder of the cache after making sure nothing is mounted below it.
remove_tree() {
  local dir=$1
  [ -e "$dir" ] || return 0
  if awk -v d="$dir" '$5 == d || index($5, d "/") == 1 {found = 1} END {exit !found}' \
       /proc/self/mountinfo; then
    say "something is mounted under $dir; not removing it"
    return 1
  fi
  rm -rf --one-file-system "$dir"
}

# Makes the chroot in NEW (runs inside a private mount namespace: debootstrap's and apt's
# mounts of /proc and /dev end with it).
build_inside() {
  local new=$1 url=$2
  debootstrap --variant=minbase "$suite" "$new" "$url"
  mountpoint -q "$new/proc" || mount -t proc proc "$new/proc"
  mountpoint -q "$new/dev" || mount --rbind /dev "$new/dev"
  # Services are never started by package scripts (nginx would bind port 80 of this machine).
  printf '#!/bin/sh\nexit 101\n' >"$new/usr/sbin/policy-rc.d"
  chmod 755 "$new/usr/sbin/policy-rc.d"
  printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$new/etc/hosts"
  cp /etc/resolv.conf "$new/etc/resolv.conf" 2>/dev/null || true
  local both=(-o APT::Architectures::=amd64 -o APT::Architectures::=i386)
  chroot "$new" apt-get "${both[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive chroot "$new" apt-get install -y -qq "${packages[@]}"
  # The 32-bit Windows DLLs of the same Wine version, unpacked into the amd64 Wine's folder.
  local version
  version=$(chroot "$new" dpkg-query -W -f='${Version}' libwine)
  mkdir -p "$new/tmp/libwine-i386"
  chroot "$new" sh -c "cd /tmp/libwine-i386 && apt-get ${both[*]} download -qq libwine:i386=$version"
  chroot "$new" sh -c 'dpkg-deb -x /tmp/libwine-i386/libwine_*_i386.deb /tmp/libwine-i386/x &&
    cp -a /tmp/libwine-i386/x/usr/lib/i386-linux-gnu/wine/i386-windows/. '"$wine_lib/i386-windows/"
  rm -rf "$new/tmp/libwine-i386"
  chroot "$new" apt-get clean
  rm -f "$new/etc/resolv.conf"
  printf '%s\n' "$recipe" >"$new/.kvt-wine10-ready"
}

cmd_ensure() {
  if [ "$(id -u)" != 0 ]; then say "cannot make or enter the Debian 13 chroot: not root"; return 3; fi
  mkdir -p "$cache"
  if ready; then return 0; fi
  command -v debootstrap >/dev/null || {
    say "cannot make the Debian 13 chroot: debootstrap is not installed"; return 3; }
  exec 9>"$cache/.lock"
  flock -x 9
  if ready; then flock -u 9; return 0; fi
  local url new="$cache/root.new" log="$cache/build.log" start=$SECONDS
  url=$(mirror)
  say "making the Debian 13 chroot with Wine 10 in $root from $url (minutes; log: $log)"
  remove_tree "$new" || return 1
  if ! unshare --mount --propagation private -- "$script" _build "$new" "$url" >"$log" 2>&1; then
    remove_tree "$new" || true
    if grep -qiE 'Failed getting release file|Could not resolve|Temporary failure|Connection (refused|timed out)|Network is unreachable' "$log"; then
      say "cannot make the Debian 13 chroot: the package mirror $url is not reachable (log: $log)"
      return 3
    fi
    say "making the Debian 13 chroot failed; last lines of $log:"
    tail -n 15 "$log" >&2
    return 1
  fi
  remove_tree "$root" || return 1
  mv "$new" "$root"
  flock -u 9
  say "chroot ready in $((SECONDS - start)) s, $(du -sh "$root" | cut -f1)"
}

# Runs inside the new namespaces, as their first process: network, mounts, then the command.
run_inside() {
  local binds=()
  while [ "$1" != -- ]; do binds+=("$1"); shift; done
  shift
  ip link set lo up
  ip link add kvt-a type veth peer name kvt-b
  ip addr add 10.77.0.1/24 dev kvt-a
  ip addr add 10.77.0.2/24 dev kvt-b
  ip link set kvt-a up
  ip link set kvt-b up
  ip route add default via 10.77.0.2 dev kvt-a
  mount --rbind /dev "$root/dev"
  mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  local dir
  for dir in "${binds[@]}"; do
    mkdir -p "$root$dir"
    mount --bind "$dir" "$root$dir"
  done
  local cwd=/
  for dir in "${binds[@]}"; do
    case "$PWD/" in "$dir"/*) cwd=$PWD ;; esac
  done
  exec chroot "$root" /bin/sh -c 'cd "$0" && exec "$@"' "$cwd" "$@"
}

cmd_run() {
  local binds=() dir
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    case "$1" in
      --bind) dir="$(cd "$2" && pwd -P)"; binds+=("$dir"); shift 2 ;;
      *) say "unknown option $1"; return 2 ;;
    esac
  done
  [ "${1:-}" = -- ] && [ $# -ge 2 ] || { say "usage: chroot.sh run [--bind DIR]... -- COMMAND..."; return 2; }
  shift
  cmd_ensure || return
  exec 9>"$cache/.lock"
  flock -s 9  # a chroot in use is never made anew underneath
  ready || { say "the chroot in $root is not ready"; return 1; }
  unshare --mount --propagation private --net --pid --fork --kill-child -- \
    "$script" _inside "${binds[@]}" -- "$@"
}

case "${1:-}" in
  ensure) cmd_ensure ;;
  run) shift; cmd_run "$@" ;;
  root) echo "$root" ;;
  _build) build_inside "$2" "$3" ;;
  _inside) shift; run_inside "$@" ;;
  *) sed -n '2,/^set -euo/p' "$script" | sed '$d; s/^# \{0,1\}//'; exit 2 ;;
esac
