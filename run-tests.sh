#!/usr/bin/env bash
# Runs every test: the core and the Linux adapters (ctest), then the real kvt-setup.exe and the
# Windows adapters under Wine (Debian 12's Wine 8; then the 64-bit and the 32-bit kvt-setup.exe
# under Debian 13's Wine 10 in a chroot made once per machine, as root), and checks the release
# builds of kvt-setup.exe (64-bit: reproducible; both 64-bit and 32-bit: imports that every
# Windows from 7 SP1 on has).
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

echo "== End-to-end under Wine 10 (Debian 13 chroot): the 64-bit and the 32-bit kvt-setup.exe"
wine10=0
tests/wine10/chroot.sh ensure || wine10=$?
if [ "$wine10" = 0 ]; then
  KVT_E2E_WINE=10 tests/e2e/run.sh
  # Wine 10 starts 32-bit programs with the 32-bit system call gate (int $0x80); a kernel that
  # refuses it to user code kills every such process. Asked first with a 64-bit probe, so that
  # such a machine does not build the 32-bit installer and a Wine prefix for nothing.
  probe=$(mktemp -d)
  printf 'int main(void){long r;__asm__ volatile("int $0x80":"=a"(r):"a"(20L));return r<=0;}' |
    gcc -x c -o "$probe/int80" - && { "$probe/int80"; } 2>/dev/null && int80=1 || int80=0
  rm -rf "$probe"
  if [ "$int80" = 1 ]; then
    KVT_E2E_WINE=10 KVT_E2E_PRESET=windows32-demo tests/e2e/run.sh
  else
    echo "32-bit rows not run: this kernel refuses the 32-bit system call gate (int \$0x80)" \
      "that Wine 10 needs to start 32-bit programs (README, Wine notes)"
  fi
elif [ "$wine10" = 3 ] && [ "${KVT_WINE10_REQUIRED:-0}" != 1 ]; then
  echo "Wine 10 rows not run: the Debian 13 chroot cannot be made here (see above)"
else
  echo "FAIL the Debian 13 chroot with Wine 10"
  exit 1
fi

echo "== Release builds: 64-bit kvt-setup.exe twice (same bytes), 32-bit once; their imports"
tests/release/run.sh

echo "== All tests passed in $(( $(date +%s) - start )) s"
