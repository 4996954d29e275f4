// Plays a virus scanner for the end-to-end tests: waits for a file to appear, opens it for
// reading the way a scanner does (sharing reads and writes, not deletion, so that the file can
// be neither renamed nor deleted while it is open), keeps it open until it has reached SIZE
// bytes and then HOLD_MS milliseconds more, and closes it.
//
//   kvt-e2e-holder.exe PATH SIZE HOLD_MS
//
// Prints "held <bytes>" once it has the file open and "released" when it lets go; exits 1 when
// the file never appeared (60 s) or never reached SIZE (60 s after it was opened).
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kvt-e2e-holder PATH SIZE HOLD_MS\n");
    return 2;
  }
  const long long size = _wtoi64(argv[2]);
  const DWORD hold_ms = static_cast<DWORD>(_wtoi(argv[3]));
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
  for (int waited = 0; now.QuadPart < size; waited += 20) {
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
