#!/usr/bin/env bash
# Runs every test: the core and the Linux adapters (ctest), then the real kvt-setup.exe and the
# Windows adapters under Wine (Debian 12's Wine 8; then the 64-bit kvt-setup.exe under Debian 13's
# Wine 10 in a chroot made once per machine, as root; the 32-bit one under Wine 10 too where the
# kernel lets it start 32-bit programs, else, with the adapters built for 32-bit Windows, under
# an emulated 32-bit Wine made once per machine), and checks the release builds of kvt-setup.exe
# (64-bit: reproducible; both 64-bit and 32-bit: imports that every Windows from 7 SP1 on has).
# Installs what is missing first (Debian packages).
set -euo pipefail
cd "$(dirname "$0")"
source tools/packages.sh
ensure_packages

start=$(date +%s)
echo "== Linux build and unit tests"
cmake --preset linux >/dev/null
cmake --build --preset linux -j2
ctest --preset linux -j2

echo "== Fuzzing: each target 20 s from its seed corpus"
tests/fuzz/run.sh 20

echo "== Windows adapters under Wine"
# The Linux build above already holds the scenario server that the Wine tests talk to.
KVT_SCENARIO_SERVER="$PWD/build/linux/tests/kvt_scenario_server" tests/win32/run.sh

echo "== End-to-end: kvt-setup.exe under Wine"
tests/e2e/run.sh

echo "== End-to-end under Wine 10 (Debian 13 chroot): the 64-bit kvt-setup.exe"
wine10=0
tests/wine10/chroot.sh ensure || wine10=$?
if [ "$wine10" = 0 ]; then
  KVT_E2E_WINE=10 tests/e2e/run.sh
elif [ "$wine10" = 3 ] && [ "${KVT_WINE10_REQUIRED:-0}" != 1 ]; then
  echo "Wine 10 rows not run: the Debian 13 chroot cannot be made here (see above)"
else
  echo "FAIL the Debian 13 chroot with Wine 10"
  exit 1
fi

echo "== End-to-end: the 32-bit kvt-setup.exe (Wine 10's WoW64, or an emulated 32-bit Wine)"
# Wine 10 starts 32-bit programs with the 32-bit system call gate (int $0x80), which some kernels
# refuse to user code (every such process dies). Asked with a 64-bit probe; where it is refused,
# or with KVT_WINE32=emulated, the 32-bit build runs under Debian 12's 32-bit Wine with qemu-i386
# translating its system calls (tests/wine32/emulated.sh), and so do the Windows adapter tests
# built for 32-bit Windows.
probe=$(mktemp -d)
printf 'int main(void){long r;__asm__ volatile("int $0x80":"=a"(r):"a"(20L));return r<=0;}' |
  gcc -x c -o "$probe/int80" - && { "$probe/int80"; } 2>/dev/null && int80=1 || int80=0
rm -rf "$probe"
if [ "$wine10" = 0 ] && [ "$int80" = 1 ] && [ "${KVT_WINE32:-}" != emulated ]; then
  echo "this kernel allows int \$0x80: the 32-bit rows run under Wine 10's WoW64"
  KVT_E2E_WINE=10 KVT_E2E_PRESET=windows32-demo tests/e2e/run.sh
else
  wine32=0
  tests/wine32/emulated.sh ensure || wine32=$?
  if [ "$wine32" = 0 ]; then
    echo "the 32-bit rows run under the emulated 32-bit Wine ($([ "$int80" = 1 ] &&
      echo "KVT_WINE32=emulated or no Wine 10" || echo "this kernel refuses int \$0x80"))"
    KVT_E2E_WINE=32 tests/e2e/run.sh
    tests/wine32/emulated.sh run --bind "$PWD" -- env KVT_WIN32_ARCH=i686 \
      KVT_SCENARIO_SERVER="$PWD/build/linux/tests/kvt_scenario_server" tests/win32/run.sh
  elif [ "$wine32" = 3 ] && [ "${KVT_WINE32_REQUIRED:-0}" != 1 ]; then
    echo "32-bit rows not run: neither Wine 10 (int \$0x80 $([ "$int80" = 1 ] && echo allowed ||
      echo refused), chroot $([ "$wine10" = 0 ] && echo ready || echo "not made")) nor the" \
      "emulated 32-bit Wine can run here (see above)"
  else
    echo "FAIL the emulated 32-bit Wine"
    exit 1
  fi
fi

echo "== Release builds: 64-bit kvt-setup.exe twice (same bytes), 32-bit once; their imports"
tests/release/run.sh

echo "== All tests passed in $(( $(date +%s) - start )) s"
