#!/usr/bin/env bash
# Demo of kvt-setup.exe under Wine on this Linux machine.
#
# Installs what is missing (Debian packages, as root), builds the windows-demo preset and starts
# the installer in a Wine prefix of its own under build/windows-demo/e2e. With DISPLAY set the
# window opens on that display and the script waits until the installer ends; without DISPLAY it
# runs on a private Xvfb, saves a screenshot, says where it is, and stops what it started.
set -u
repo="$(cd "$(dirname "$0")" && pwd)"
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 wine fonts-wine
          xvfb locales fonts-wqy-zenhei imagemagick)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" ||
      { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"; } ||
      { echo "could not install: ${missing[*]}"; exit 1; }
  else
    echo "missing packages; as root run: apt-get install ${missing[*]}"
    exit 1
  fi
fi

build_dir="$repo/build/windows-demo"
echo "building kvt-setup.exe in $build_dir"
(cd "$repo" && cmake --preset windows-demo -DKVT_E2E=ON >/dev/null &&
   cmake --build "$build_dir" -j2 --target kvt-setup kvt-e2e-driver) || { echo "build failed"; exit 1; }

# shellcheck source=tests/e2e/lib.sh
source "$repo/tests/e2e/lib.sh"
had_display="${DISPLAY:-}"
e2e_init "$build_dir"
DRIVER_EXE="$BUILD_DIR/kvt-e2e-driver.exe"
if [ -z "$had_display" ]; then start_x || exit 1; fi
make_prefix
set_dpi 96
start_app "$BUILD_DIR/kvt-setup.exe"
if [ -n "$had_display" ]; then
  echo "the installer is open on $DISPLAY; it ends when you finish, cancel or close it"
  wait "$APP_PID"
  APP_PID=""
else
  run_driver wait >/dev/null || { echo "the installer window did not appear"; exit 1; }
  screenshot demo-agreement
fi
