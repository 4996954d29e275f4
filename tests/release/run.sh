#!/usr/bin/env bash
# The vendor's kvt-setup.exe as it is released, for 64-bit Windows (the windows preset) and for
# 32-bit Windows (the windows32 preset):
#   - the 64-bit one built twice, one build after the other, from two copies of the source in
#     folders of different names and lengths, is byte for byte the same file;
#   - each is a program for its processor (PE format and the manifest's processorArchitecture,
#     which Windows refuses to start a program over when they disagree) that Windows 7 loads
#     (subsystem version at most 6.1);
#   - each imports only DLLs that every Windows from 7 SP1 on has (no C or C++ runtime DLL to
#     ship), and at load time only DLLs on the system's KnownDLLs list, which Windows never takes
#     from the program's folder; the rest are delay-loaded from the system folder;
#   - neither imports, at load time or delay-loaded, a function that Windows 7 SP1 lacks (those
#     are looked up at run time), nor a name with a 32-bit stdcall suffix ("InternetOpenA@20"),
#     which no system DLL exports.
# Only the 64-bit build runs in the tests (Wine here runs no 32-bit programs): for the 32-bit one
# these checks are what there is. Each check is also run once against a list made to fail it.
# The copies hold the working tree's files (tracked and new, not ignored), so uncommitted
# changes are checked too. Prints one ok/FAIL line per check; exit code 0 when all hold.
# Usage: tests/release/run.sh
set -u
SRC="$(cd "$(dirname "$0")/../.." && pwd)"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/kvt-release.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

# DLLs that come with every Windows from 7 SP1 on (lower case). Not shcore.dll (8.1), not the
# api-ms-win-* sets.
SYSTEM_DLLS=(advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll
  ole32.dll oleaut32.dll shell32.dll shlwapi.dll user32.dll uxtheme.dll wininet.dll ws2_32.dll
  wsock32.dll)
# Loaded with the program, before it can restrict the DLL search: KnownDLLs only.
KNOWN_DLLS=(gdi32.dll kernel32.dll msvcrt.dll user32.dll)
# Functions newer than Windows 7 SP1 that this program might be tempted to call. The DLL search
# functions come to Windows 7 only with an update (KB2533623).
NEWER_THAN_WIN7=(
  SetDefaultDllDirectories AddDllDirectory RemoveDllDirectory
  GetSystemTimePreciseAsFileTime CreateFile2 CopyFile2 GetOverlappedResultEx
  WaitOnAddress WakeByAddressSingle WakeByAddressAll SetThreadDescription
  GetDpiForWindow GetDpiForSystem GetSystemMetricsForDpi SystemParametersInfoForDpi
  AdjustWindowRectExForDpi SetThreadDpiAwarenessContext SetProcessDpiAwarenessContext
  GetThreadDpiAwarenessContext EnableNonClientDpiScaling LogicalToPhysicalPointForPerMonitorDPI
  PhysicalToLogicalPointForPerMonitorDPI
  GetDpiForMonitor SetProcessDpiAwareness GetProcessDpiAwareness)

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

build() {  # build SOURCE_COPY PRESET: the preset's kvt-setup.exe, log beside the copy
  [ -d "$1" ] || copy_source "$1"
  (cd "$1" && cmake --preset "$2" && cmake --build --preset "$2" -j2 --target kvt-setup) \
    >"$1.$2.log" 2>&1 || { cat "$1.$2.log"; return 1; }
}

first="$WORK/a"
second="$WORK/second-copy-of-the-source"
check "build in $first" build "$first" windows
check "build in $second" build "$second" windows
check "32-bit build in $first" build "$first" windows32
exe1="$first/build/windows/kvt-setup.exe"
exe2="$second/build/windows/kvt-setup.exe"
exe32="$first/build/windows32/kvt-setup.exe"
[ -f "$exe1" ] && [ -f "$exe2" ] && [ -f "$exe32" ] || { echo "FAIL kvt-setup.exe missing"; exit 1; }

same_bytes() {
  cmp -s "$exe1" "$exe2" && return 0
  echo "  $(stat -c %s "$exe1") and $(stat -c %s "$exe2") bytes; first differing bytes (offset, octal):"
  cmp -l "$exe1" "$exe2" | head -5 | sed 's/^/    /'
  return 1
}
check "kvt-setup.exe byte for byte the same from both folders" same_bytes

# The tools of the program's own target (the 64-bit objcopy does not read 32-bit programs).
tool() {  # tool EXE NAME
  case "$(x86_64-w64-mingw32-objdump -f "$1" | awk '/file format/ {print $NF}')" in
    pei-i386) echo "i686-w64-mingw32-$2" ;;
    *) echo "x86_64-w64-mingw32-$2" ;;
  esac
}
load_time_dlls() {  # load_time_dlls EXE: the import table's DLLs, lower case
  "$(tool "$1" objdump)" -p "$1" | awk '/DLL Name:/ {print tolower($3)}'
}
# The strings of the import section: the names of the DLLs and functions of the import table and
# of the delay-load tables (which the linker puts there too, but objdump does not interpret).
# Each function name follows the two bytes of its hint, which join the name when neither is 0;
# the high byte of a hint below 0x2000 (all of these DLLs' hints) is a control character, so the
# name is what follows the last character that cannot be part of one.
import_strings() {  # import_strings EXE
  "$(tool "$1" objcopy)" -O binary --only-section=.idata "$1" /dev/stdout | tr '\0' '\n' |
    grep -aoE '[A-Za-z_][A-Za-z0-9_.@?-]+$'
}
imported_dlls() { import_strings "$1" | grep -aiE '\.dll$' | tr 'A-Z' 'a-z' | sort -u; }
imported_functions() { import_strings "$1" | grep -aivE '\.dll$' | sort -u; }

pe_format() {  # pe_format EXE FORMAT MANIFEST_ARCHITECTURE
  local format arch
  format=$(x86_64-w64-mingw32-objdump -f "$1" | awk '/file format/ {print $NF}')
  arch=$(grep -ao 'processorArchitecture="[^"]*"' "$1" | sort -u | tr '\n' ' ')
  [ "$format" = "$2" ] && [ "$arch" = "processorArchitecture=\"$3\" " ] && return 0
  echo "  format $format, manifest $arch"
  return 1
}
loads_on_windows7() {  # loads_on_windows7 EXE
  "$(tool "$1" objdump)" -p "$1" | awk '
    /^MajorSubsystemVersion/ {major = $2} /^MinorSubsystemVersion/ {minor = $2}
    END {
      if (major == "") { print "  no subsystem version found"; exit 1 }
      if (major > 6 || (major == 6 && minor > 1)) { print "  subsystem version " major "." minor; exit 1 }
    }'
}
only_dlls() {  # only_dlls LISTER EXE ALLOWED...: each DLL that LISTER names is ALLOWED
  local lister=$1 exe=$2 dll dlls ok=0
  shift 2
  dlls=$("$lister" "$exe")
  [ -n "$dlls" ] || { echo "  no DLLs found"; return 1; }
  for dll in $dlls; do
    [[ " $* " == *" $dll "* ]] || { echo "  imports $dll"; ok=1; }
  done
  return $ok
}
none_of() {  # none_of EXE NAME...: the program imports none of the functions
  local names name ok=0
  names=$(imported_functions "$1")
  shift
  [ -n "$names" ] || { echo "  no imported functions found"; return 1; }
  for name in "$@"; do
    grep -qxF "$name" <<<"$names" && { echo "  imports $name"; ok=1; }
  done
  return $ok
}
undecorated() {  # undecorated EXE: no imported name ends in a stdcall suffix
  local decorated
  decorated=$(imported_functions "$1" | grep -E '@[0-9]+$')
  [ -z "$decorated" ] && return 0
  echo "$decorated" | sed 's/^/  imports /'
  return 1
}
# A check run against a list made to fail it must fail, naming each of NAMES.
fails_naming() {  # fails_naming "NAMES" COMMAND...
  local names=$1 out name
  shift
  out=$("$@") && { echo "  passed: $*"; return 1; }
  for name in $names; do
    grep -qF "imports $name" <<<"$out" || { echo "  did not name $name:"; echo "$out"; return 1; }
  done
}

for row in "64-bit:$exe1:pei-x86-64:amd64" "32-bit:$exe32:pei-i386:x86"; do
  IFS=: read -r bits exe format arch <<<"$row"
  check "$bits kvt-setup.exe is $format, its manifest names $arch" pe_format "$exe" "$format" "$arch"
  check "$bits kvt-setup.exe loads on Windows 7 (subsystem version)" loads_on_windows7 "$exe"
  check "$bits kvt-setup.exe imports only system DLLs" \
    only_dlls imported_dlls "$exe" "${SYSTEM_DLLS[@]}"
  check "$bits kvt-setup.exe imports only KnownDLLs at load time (${KNOWN_DLLS[*]})" \
    only_dlls load_time_dlls "$exe" "${KNOWN_DLLS[@]}"
  check "$bits kvt-setup.exe imports no function newer than Windows 7 SP1" \
    none_of "$exe" "${NEWER_THAN_WIN7[@]}"
  check "$bits kvt-setup.exe imports no name with a stdcall suffix" undecorated "$exe"
  # Made to fail: one load-time and one delay-loaded DLL or function of the program's own.
  check "$bits: the DLL check fails on user32.dll and wininet.dll left off its list" \
    fails_naming "user32.dll wininet.dll" only_dlls imported_dlls "$exe" \
      "${KNOWN_DLLS[@]/user32.dll/}" shell32.dll ole32.dll oleaut32.dll wsock32.dll bcrypt.dll
  check "$bits: the function check fails on GetTickCount64 and InternetOpenA put on its list" \
    fails_naming "GetTickCount64 InternetOpenA" none_of "$exe" SetDefaultDllDirectories \
      GetTickCount64 InternetOpenA
done
exit $status
