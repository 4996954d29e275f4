// Another program on the same machine, for the end-to-end tests. Two roles:
//
//   kvt-e2e-holder.exe PATH SIZE HOLD_MS [AFTER]
//
// Plays a virus scanner: waits for PATH to appear, opens it for reading the way a scanner does
// (sharing reads and writes, not deletion, so that the file can be neither renamed nor deleted
// while it is open), keeps it open until it has reached SIZE bytes (and the file AFTER exists,
// when given) and then HOLD_MS milliseconds more, and closes it. Prints "held <bytes>" once it
// has the file open and "released" when it lets go; exits 1 when the file never appeared (60 s)
// or never reached SIZE (60 s after it was opened).
//
//   kvt-e2e-holder.exe --tamper PATH DOWNLOADING
//
// Plays another user's program: every few milliseconds, until the extractor (UnRAR.exe) that was
// seen running has ended (at most 120 s), tries to open PATH for writing and to write its first
// byte back into it, and to rename it (and back). Counts the refusals while the file DOWNLOADING
// exists and while an extractor process runs, and prints "refused while downloading <opens>
// <renames>" and "refused while extracting <opens> <renames>" (and "opened unwritable <n>" for
// opens that were let through but could not write). Prints "changed" or "renamed" and exits 1 as
// soon as a write or a rename succeeds.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

bool ExtractorRuns() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
       more = Process32NextW(snapshot, &entry)) {
    found = _wcsicmp(entry.szExeFile, L"UnRAR.exe") == 0;
  }
  CloseHandle(snapshot);
  return found;
}

bool ReadFirstByte(const wchar_t* path, char& byte, DWORD& got) {
  HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = ReadFile(file, &byte, 1, &got, nullptr) && got == 1;
  CloseHandle(file);
  return ok;
}

// Another process has the file in a way that forbids this (not merely: there is no file).
bool Refused() {
  const DWORD error = GetLastError();
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

int Tamper(const wchar_t* path, const wchar_t* downloading) {
  const std::wstring moved = std::wstring(path) + L".moved";
  long opens[2] = {0, 0}, renames[2] = {0, 0}, unwritable = 0;
  bool seen_extractor = false;
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < 120000) {
    const bool extracting = ExtractorRuns();
    // Once the extractor has ended the installer lets go: from then on changes are allowed.
    if (extracting) {
      seen_extractor = true;
    } else if (seen_extractor) {
      break;
    }
    const int phase = extracting ? 1 : Exists(downloading) ? 0 : -1;
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      // Writes back the first byte as it is: a write that gets through proves the hole without
      // spoiling the file for the checks that follow.
      char first = 0;
      DWORD got = 0, written = 0;
      const bool wrote = ReadFirstByte(path, first, got) &&
                         WriteFile(file, &first, got, &written, nullptr) && written == got;
      CloseHandle(file);
      // A write just as the extractor ended may meet a file already let go.
      if (wrote && (phase == 0 || ExtractorRuns())) {
        std::printf("changed\n");
        return 1;
      }
      if (!wrote) ++unwritable;
    } else if (phase >= 0 && Refused()) {
      ++opens[phase];
    }
    if (MoveFileExW(path, moved.c_str(), 0)) {
      MoveFileExW(moved.c_str(), path, 0);
      if (phase == 0 || ExtractorRuns()) {
        std::printf("renamed\n");
        return 1;
      }
      continue;
    }
    if (phase >= 0 && Refused()) ++renames[phase];
    Sleep(3);
  }
  std::printf("refused while downloading %ld %ld\n", opens[0], renames[0]);
  std::printf("refused while extracting %ld %ld\n", opens[1], renames[1]);
  std::printf("opened unwritable %ld\n", unwritable);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wcscmp(argv[1], L"--tamper") == 0) return Tamper(argv[2], argv[3]);
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr,
                 "usage: kvt-e2e-holder PATH SIZE HOLD_MS [AFTER]\n"
                 "       kvt-e2e-holder --tamper PATH DOWNLOADING\n");
    return 2;
  }
  const long long size = _wtoi64(argv[2]);
  const DWORD hold_ms = static_cast<DWORD>(_wtoi(argv[3]));
  const wchar_t* after = argc == 5 ? argv[4] : nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int waited = 0; waited < 60000 && file == INVALID_HANDLE_VALUE; waited += 5) {
    file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) Sleep(5);
  }
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("never appeared\n");
    return 1;
  }
  LARGE_INTEGER now{};
  GetFileSizeEx(file, &now);
  std::printf("held %lld\n", now.QuadPart);
  std::fflush(stdout);
  for (int waited = 0; now.QuadPart < size || (after != nullptr && !Exists(after)); waited += 20) {
    if (waited >= 60000) {
      std::printf("stopped at %lld bytes\n", now.QuadPart);
      CloseHandle(file);
      return 1;
    }
    Sleep(20);
    GetFileSizeEx(file, &now);
  }
  Sleep(hold_ms);
  CloseHandle(file);
  std::printf("released\n");
  std::fflush(stdout);
  return 0;
}
