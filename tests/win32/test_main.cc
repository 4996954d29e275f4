// The Win32 adapter tests. The same program also serves as the child process of the process
// tests when started with one of the options listed in test_support.h.
#include "platform/win32/win32_adapters.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "platform/win32/win32_text.h"
#include "tests/win32/test_support.h"

namespace {

// Runs a child-process role; returns -1 when the arguments name none.
int RunChildRole(int argc, wchar_t** argv) {
  if (argc != 3) return -1;
  const std::wstring option = argv[1];
  if (option == L"--exit-with") return static_cast<int>(std::wcstol(argv[2], nullptr, 10));
  if (option == L"--sleep") {
    ::Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    return 0;
  }
  if (option == L"--write-program-folder") {
    kvt::win32::Win32FileSystem files;
    return kvt::win32::testing::WriteBytes(kvt::win32::Narrow(argv[2]), files.ProgramFolder()) ? 0
                                                                                               : 2;
  }
  return -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int role = RunChildRole(argc, argv);
  if (role >= 0) return role;
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
