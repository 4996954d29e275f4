#include "platform/win32/win32_adapters.h"

#include <vector>

#include "platform/win32/win32_handles.h"
#include "platform/win32/win32_text.h"

namespace kvt::win32 {
namespace {

HANDLE H(platform::ProcessHandle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

bool Win32Processes::Start(const std::string& command_line, int window_style, std::uint32_t& pid) {
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
    return false;
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  pid = info.dwProcessId;
  return true;
}

platform::ProcessHandle Win32Processes::Open(std::uint32_t access, bool inherit,
                                             std::uint32_t pid) {
  return reinterpret_cast<platform::ProcessHandle>(
      ::OpenProcess(access, inherit ? TRUE : FALSE, pid));
}

std::uint32_t Win32Processes::Wait(platform::ProcessHandle process, std::uint32_t milliseconds) {
  return ::WaitForSingleObject(H(process), milliseconds);
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
