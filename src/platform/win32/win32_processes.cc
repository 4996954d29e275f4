#include "platform/win32/win32_adapters.h"

#include <vector>

#include "platform/win32/win32_handles.h"
#include "platform/win32/win32_text.h"
#include "platform/win32/win32_wait.h"

namespace kvt::win32 {
namespace {

HANDLE H(platform::ProcessHandle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

platform::ProcessHandle Win32Processes::Start(const std::string& command_line, int window_style,
                                              std::uint32_t& pid) {
  pid = 0;
  // CreateProcessW may write into the command line, so it gets its own copy.
  const std::wstring wide = Widen(command_line);
  std::vector<wchar_t> writable(wide.begin(), wide.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(window_style);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
    return 0;
  }
  UniqueHandle thread(info.hThread);
  pid = info.dwProcessId;
  // The handle from the start, not one opened again by id: it can be waited on and its exit
  // code read however soon the process ends, and it can never name another process.
  return reinterpret_cast<platform::ProcessHandle>(info.hProcess);
}

platform::ProcessHandle Win32Processes::Open(std::uint32_t access, bool inherit,
                                             std::uint32_t pid) {
  return reinterpret_cast<platform::ProcessHandle>(
      ::OpenProcess(access, inherit ? TRUE : FALSE, pid));
}

std::uint32_t Win32Processes::Wait(platform::ProcessHandle process, std::uint32_t milliseconds) {
  return WaitWithoutInput(H(process), milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

bool Win32Processes::ExitCode(platform::ProcessHandle process, std::uint32_t& code) {
  DWORD value = 0;
  const BOOL ok = ::GetExitCodeProcess(H(process), &value);
  code = value;
  return ok != FALSE;
}

bool Win32Processes::Close(platform::ProcessHandle process) {
  return process != 0 && ::CloseHandle(H(process)) != FALSE;
}

}  // namespace kvt::win32
