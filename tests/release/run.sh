#!/usr/bin/env bash
# The vendor's kvt-setup.exe (the windows preset) as it is released:
#   - built twice, one build after the other, from two copies of the source in folders of
#     different names and lengths, the two files are byte for byte the same;
#   - it imports only DLLs that every Windows has (no C or C++ runtime DLL to ship), and at
#     load time only DLLs on the system's KnownDLLs list, which Windows never takes from the
#     program's folder; the rest are delay-loaded from the system folder.
# The copies hold the working tree's files (tracked and new, not ignored), so uncommitted
# changes are checked too. Prints one ok/FAIL line per check; exit code 0 when all hold.
# Usage: tests/release/run.sh
set -u
SRC="$(cd "$(dirname "$0")/../.." && pwd)"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/kvt-release.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

# DLLs that come with every Windows (lower case).
SYSTEM_DLLS=(advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll
  oleaut32.dll shell32.dll shlwapi.dll user32.dll uxtheme.dll wininet.dll ws2_32.dll wsock32.dll)

status=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok $what"; else echo "FAIL $what"; status=1; fi
}

copy_source() {  # copy_source DEST
  mkdir -p "$1"
  if git -C "$SRC" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$SRC" && git ls-files -z --cached --others --exclude-standard |
       tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -xf - -C "$1"
  else
    tar -C "$SRC" --exclude=./build -cf - . | tar -xf - -C "$1"
  fi
}

build() {  # build SOURCE_COPY: the windows preset's kvt-setup.exe, log beside the copy
  copy_source "$1"
  (cd "$1" && cmake --preset windows && cmake --build --preset windows -j2 --target kvt-setup) \
    >"$1.log" 2>&1 || { cat "$1.log"; return 1; }
}

first="$WORK/a"
second="$WORK/second-copy-of-the-source"
check "build in $first" build "$first"
check "build in $second" build "$second"
exe1="$first/build/windows/kvt-setup.exe"
exe2="$second/build/windows/kvt-setup.exe"
[ -f "$exe1" ] && [ -f "$exe2" ] || { echo "FAIL kvt-setup.exe missing"; exit 1; }

same_bytes() {
  cmp -s "$exe1" "$exe2" && return 0
  echo "  $(stat -c %s "$exe1") and $(stat -c %s "$exe2") bytes; first differing bytes (offset, octal):"
  cmp -l "$exe1" "$exe2" | head -5 | sed 's/^/    /'
  return 1
}
check "kvt-setup.exe byte for byte the same from both folders" same_bytes

system_dlls_only() {
  local dlls dll ok=0
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe1" | awk '/DLL Name:/ {print tolower($3)}')
  [ -n "$dlls" ] || { echo "  no imports found"; return 1; }
  for dll in $dlls; do
    [[ " ${SYSTEM_DLLS[*]} " == *" $dll "* ]] || { echo "  imports $dll"; ok=1; }
  done
  return $ok
}
check "kvt-setup.exe imports only system DLLs" system_dlls_only

# Loaded with the program, before it can restrict the DLL search: KnownDLLs only.
KNOWN_DLLS=(gdi32.dll kernel32.dll msvcrt.dll user32.dll)
known_dlls_at_load_time() {
  local dll ok=0
  for dll in $(x86_64-w64-mingw32-objdump -p "$exe1" | awk '/DLL Name:/ {print tolower($3)}'); do
    [[ " ${KNOWN_DLLS[*]} " == *" $dll "* ]] || { echo "  imports $dll at load time"; ok=1; }
  done
  return $ok
}
check "at load time kvt-setup.exe imports only KnownDLLs (${KNOWN_DLLS[*]})" known_dlls_at_load_time
# The delay-loaded ones are named in the file; each is a system DLL.
delayed_system_dlls() {
  local dll ok=0 found=0
  for dll in $(strings "$exe1" | tr 'A-Z' 'a-z' | grep -E '^[a-z0-9_]+\.dll$' | sort -u); do
    found=1
    [[ " ${SYSTEM_DLLS[*]} " == *" $dll "* ]] || { echo "  names $dll"; ok=1; }
  done
  [ "$found" = 1 ] || { echo "  no DLL names found"; ok=1; }
  return $ok
}
check "every DLL kvt-setup.exe names is a system DLL" delayed_system_dlls
exit $status
