#!/usr/bin/env bash
# A 32-bit Wine for the tests on machines whose kernel refuses 32-bit system calls: Debian 12's
# own i386 Wine in an i386 root file system, every 32-bit Linux process of it run by qemu-i386
# (user-mode emulation: the 32-bit program's system calls become 64-bit ones, so no 32-bit
# system call reaches the kernel). Made once per machine, outside the clone.
#
#   emulated.sh ensure                 make it unless a finished one exists; exit 0 when it is
#                                      ready, 3 with one line saying why when it cannot be made
#                                      here (not root, no debootstrap, no package mirror, a
#                                      kernel without private binfmt_misc)
#   emulated.sh run [--bind DIR]... -- COMMAND...
#                                      run COMMAND on this machine's file system in private
#                                      user, mount, PID and network namespaces, with a private
#                                      /tmp and with `wine`, `wineserver` and `wineboot` first on
#                                      PATH: they run the emulated Wine chrooted into the i386
#                                      root, where each DIR, /tmp and the working folder's DIR
#                                      are mounted at their own paths
#   emulated.sh root                   print the root file system's folder
#
# Only Wine runs emulated; the command itself and what it starts besides Wine (X server, servers,
# screenshots) are this machine's own programs. The cache is KVT_WINE32_CACHE (default
# /var/cache/kvt-wine32): root/ holds the i386 root file system and qemu-i386, which comes from
# bookworm-backports' qemu-user (QEMU 10; bookworm's own QEMU 7.2 treats MAP_FIXED_NOREPLACE as a
# hint and Wine then crawls), fetched with `apt-get download` through an apt configuration of its
# own in apt/ and unpacked, never installed. A stamp written as the last step names the recipe;
# a root without the right stamp or without its key files is made anew (into root.new, renamed
# when finished), under a lock so that two runs never make it at once.
#
# Nothing is registered, mounted or installed on the machine outside that folder: qemu-i386 is
# registered for i386 programs in a binfmt_misc instance private to a new user namespace (kernel
# 6.7 and later; the F flag opens the interpreter at registration, so it also serves inside the
# chroot), every mount is made in a private mount namespace, the PID namespace ends every process
# started inside when COMMAND ends (also on Ctrl-C or failure), and the network namespace holds
# only lo and a veth pair (Wine counts the machine as connected only when a default route
# exists). The user namespace maps its IDs 0-65535 to the same IDs outside, so that files keep
# their owners. Needs root. About 10 minutes and 1.5 GB to make.
set -euo pipefail

script="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"
cache="${KVT_WINE32_CACHE:-/var/cache/kvt-wine32}"
root="$cache/root"
suite=bookworm
qemu_package=qemu-user
qemu_version='1:10.0.2+ds-2+deb13u1~bpo12+1'
# What runs inside: Wine with GnuTLS (CNG's ECDSA; only a Recommends), the font that the test
# prefix names for Chinese texts, Marlett's package, and the locale data for code page 936.
packages=(wine wine32 libgnutls30 fonts-wine fonts-wqy-zenhei locales)
recipe="kvt-wine32 1 $suite $qemu_package=$qemu_version ${packages[*]}"
stamp="$root/.kvt-wine32-ready"
qemu="/.kvt-qemu-i386"  # inside the root folder
key_files=("$qemu" /usr/bin/wine /usr/lib/wine/wine /usr/lib/wine/wineserver32
           /usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll
           /usr/lib/i386-linux-gnu/wine/i386-windows/bcrypt.dll
           /usr/lib/locale/locale-archive /usr/share/fonts/truetype/wqy/wqy-zenhei.ttc)
# qemu's own pattern for i386 ELF programs (executables and shared objects).
binfmt_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
binfmt_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

say() { echo "wine32: $*" >&2; }

# True when the root is finished: the stamp names this recipe and the key files are there.
ready() {
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ] || return 1
  local f
  for f in "${key_files[@]}"; do [ -e "$root$f" ] || return 1; done
}

# The Debian mirror of this machine's apt sources (deb822 or one-line format).
mirror() {
  if [ -n "${KVT_WINE32_MIRROR:-}" ]; then echo "$KVT_WINE32_MIRROR"; return; fi
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

# Fetches qemu-user from the backports suite with an apt configuration of its own (sources,
# lists and package cache in DIR; the machine's keyring checks the suite) and unpacks its
# qemu-i386 to TARGET. Nothing is installed.
fetch_qemu() {
  local dir=$1 url=$2 target=$3
  rm -rf "$dir" && mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/deb"
  echo "deb $url $suite-backports main" >"$dir/sources.list"
  local apt=(-o "Dir::Etc::SourceList=$dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
             -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache"
             -o Dir::State::status=/dev/null -o APT::Architecture=amd64
             -o APT::Sandbox::User=root -o Debug::NoLocking=1)
  # Called in a condition, where errexit is off: every step is chained.
  apt-get "${apt[@]}" update -qq &&
    (cd "$dir/deb" && apt-get "${apt[@]}" download -qq "$qemu_package=$qemu_version") &&
    dpkg-deb -x "$dir/deb/"*.deb "$dir/x" &&
    install -m 755 "$dir/x/usr/bin/qemu-i386" "$target" &&
    rm -rf "$dir"
}

# Starts `unshare --user ...` running this script's SUBCOMMAND, gives the new user namespace
# the IDs 0-65535 of this one (written from outside: newuidmap is not needed), and waits for it.
# The child holds until its maps exist.
in_namespaces() {
  local flags=$1 sub=$2
  shift 2
  local gate pid rc=0 i
  gate=$(mktemp -u "${TMPDIR:-/tmp}/kvt-wine32-gate.XXXXXX")
  mkfifo -m 600 "$gate"
  # shellcheck disable=SC2086
  unshare --user $flags -- "$script" "$sub" "$gate" "$@" &
  pid=$!
  trap 'kill -TERM "$pid" 2>/dev/null; rm -f "$gate"' INT TERM
  for i in $(seq 1 200); do
    [ "$(readlink "/proc/$pid/ns/user" 2>/dev/null)" != "$(readlink /proc/self/ns/user)" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.01
  done
  if echo '0 0 65536' >"/proc/$pid/uid_map" && echo '0 0 65536' >"/proc/$pid/gid_map"; then
    echo go >"$gate"
  else
    say "cannot map the IDs of the new user namespace"
    kill -TERM "$pid" 2>/dev/null || true
  fi
  wait "$pid" || rc=$?
  trap - INT TERM
  rm -f "$gate"
  return "$rc"
}

# In the new user namespace: waits until its IDs are mapped.
wait_for_maps() {
  local line
  read -r line <"$1"
  [ "$line" = go ]
}

# Registers qemu-i386 (in the root folder ROOT) for i386 programs in a binfmt_misc instance of
# this user namespace, mounted over /proc's.
register_qemu() {
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  printf ':kvt-i386:M::%s:%s:%s:F' "$binfmt_magic" "$binfmt_mask" "$1$qemu" \
    >/proc/sys/fs/binfmt_misc/register
}

# Makes the root file system in NEW (runs in the private namespaces).
build_inside() {
  wait_for_maps "$1"
  register_qemu "$2"
  local new=$2
  export container=lxc  # debootstrap's second stage refuses a root it thinks is noexec otherwise
  chroot "$new" /debootstrap/debootstrap --second-stage
  mountpoint -q "$new/proc" || mount -t proc proc "$new/proc"
  mount --rbind /dev "$new/dev"
  # Services are never started by package scripts.
  printf '#!/bin/sh\nexit 101\n' >"$new/usr/sbin/policy-rc.d"
  chmod 755 "$new/usr/sbin/policy-rc.d"
  printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$new/etc/hosts"
  # Names resolve through the namespace's own view of the machine's resolver configuration.
  cp /etc/resolv.conf "$new/etc/resolv.conf" 2>/dev/null || true
  chroot "$new" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive chroot "$new" apt-get install -y -qq --no-install-recommends \
    "${packages[@]}"
  echo 'zh_CN.UTF-8 UTF-8' >"$new/etc/locale.gen"
  chroot "$new" locale-gen
  chroot "$new" apt-get clean
  rm -f "$new/etc/resolv.conf"
  printf '%s\n' "$recipe" >"$new/.kvt-wine32-ready"
}

# True when this kernel gives a new user namespace a binfmt_misc instance of its own.
private_binfmt() {
  unshare --user --map-root-user --mount -- \
    sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null
}

cmd_ensure() {
  if [ "$(id -u)" != 0 ]; then say "cannot make or enter the emulated 32-bit Wine: not root"; return 3; fi
  mkdir -p "$cache"
  if ready; then return 0; fi
  command -v debootstrap >/dev/null || {
    say "cannot make the emulated 32-bit Wine: debootstrap is not installed"; return 3; }
  private_binfmt || {
    say "cannot run the emulated 32-bit Wine: this kernel gives user namespaces no binfmt_misc of their own (needs 6.7 or later)"
    return 3; }
  exec 9>"$cache/.lock"
  flock -x 9
  if ready; then flock -u 9; return 0; fi
  local url new="$cache/root.new" log="$cache/build.log" start=$SECONDS
  url=$(mirror)
  say "making the emulated 32-bit Wine (Debian 12 i386 and qemu-i386) in $root from $url (minutes; log: $log)"
  remove_tree "$new" || return 1
  if ! { debootstrap --arch=i386 --variant=minbase --foreign "$suite" "$new" "$url" &&
         fetch_qemu "$cache/apt" "$url" "$new$qemu" &&
         in_namespaces "--mount --propagation private --pid --fork --kill-child" _build "$new"
       } >"$log" 2>&1; then
    remove_tree "$new" || true
    if grep -qiE 'Failed getting release file|Could not resolve|Temporary failure|Connection (refused|timed out)|Network is unreachable|Unable to locate package' "$log"; then
      say "cannot make the emulated 32-bit Wine: the package mirror $url (and its $suite-backports) is not reachable (log: $log)"
      return 3
    fi
    say "making the emulated 32-bit Wine failed; last lines of $log:"
    tail -n 15 "$log" >&2
    return 1
  fi
  remove_tree "$root" || return 1
  mv "$new" "$root"
  flock -u 9
  say "emulated 32-bit Wine ready in $((SECONDS - start)) s, $(du -sh "$root" | cut -f1)"
}

# Runs inside the new namespaces, as their first process: network, a private /tmp, the root's
# mounts, the wrappers, then the command.
run_inside() {
  wait_for_maps "$1"
  shift
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
  mount -t proc proc /proc  # this PID namespace's processes only
  register_qemu "$root"
  # The folders to bind are held at a place of their own first: the private /tmp hides those
  # under /tmp (a clone in /tmp), and they are put back at their own paths after it.
  local dir i=0
  for dir in "${binds[@]}"; do
    mkdir -p "$cache/binds/$i"
    mount --bind "$dir" "$cache/binds/$i"
    i=$((i + 1))
  done
  mount -t tmpfs -o mode=1777 tmpfs /tmp
  mount --rbind /dev "$root/dev"
  mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --bind /tmp "$root/tmp"
  i=0
  for dir in "${binds[@]}"; do
    case "$dir/" in
      /tmp/*) mkdir -p "$dir" && mount --bind "$cache/binds/$i" "$dir" ;;
    esac
    mkdir -p "$root$dir"
    mount --bind "$cache/binds/$i" "$root$dir"
    i=$((i + 1))
  done
  # The wrappers: each Wine command chrooted into the root, in the caller's working folder when
  # the root has it. The locale data inside is the root's own (its glibc reads only its own).
  local bin=/tmp/.kvt-wine32-bin name
  mkdir -p "$bin"
  for name in wine wineserver wineboot; do
    cat >"$bin/$name" <<EOF
#!/bin/sh
wd=/
[ -d "$root\$PWD" ] && wd=\$PWD
exec env -u LOCPATH unshare --root="$root" --wd="\$wd" /usr/bin/$name "\$@"
EOF
    chmod 755 "$bin/$name"
  done
  export PATH="$bin:$PATH" KVT_WINE32_EMULATED=1
  exec "$@"
}

cmd_run() {
  local binds=() dir
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    case "$1" in
      --bind) dir="$(cd "$2" && pwd -P)"; binds+=("$dir"); shift 2 ;;
      *) say "unknown option $1"; return 2 ;;
    esac
  done
  [ "${1:-}" = -- ] && [ $# -ge 2 ] || { say "usage: emulated.sh run [--bind DIR]... -- COMMAND..."; return 2; }
  shift
  cmd_ensure || return
  exec 9>"$cache/.lock"
  flock -s 9  # a root in use is never made anew underneath
  ready || { say "the emulated 32-bit Wine in $root is not ready"; return 1; }
  in_namespaces "--mount --propagation private --net --pid --fork --kill-child" _inside \
    "${binds[@]}" -- "$@"
}

case "${1:-}" in
  ensure) cmd_ensure ;;
  run) shift; cmd_run "$@" ;;
  root) echo "$root" ;;
  _build) build_inside "$2" "$3" ;;
  _inside) shift; run_inside "$@" ;;
  *) sed -n '2,/^set -euo/p' "$script" | sed '$d; s/^# \{0,1\}//'; exit 2 ;;
esac
