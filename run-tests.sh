#!/usr/bin/env bash
# Runs every test: the core and the Linux adapters (ctest), then the real kvt-setup.exe and the
# Windows adapters under Wine, and checks the release builds of kvt-setup.exe (64-bit: reproducible;
# both 64-bit and 32-bit: imports that every Windows from 7 SP1 on has).
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

echo "== Windows adapters under Wine"
# The Linux build above already holds the scenario server that the Wine tests talk to.
KVT_SCENARIO_SERVER="$PWD/build/linux/tests/kvt_scenario_server" tests/win32/run.sh

echo "== End-to-end: kvt-setup.exe under Wine"
tests/e2e/run.sh

echo "== Release builds: 64-bit kvt-setup.exe twice (same bytes), 32-bit once; their imports"
tests/release/run.sh

echo "== All tests passed in $(( $(date +%s) - start )) s"
