#include "platform/win32/win32_adapters.h"
#include "platform/win32/win32_text.h"

#include <algorithm>

namespace kvt::win32 {
namespace {

bool WriteWhole(const std::string& path, const std::string& bytes, DWORD access,
                DWORD disposition) {
  // Others may read the log while it is written (support opening it in Notepad), never change it.
  const HANDLE file = ::CreateFileW(Widen(path).c_str(), access, FILE_SHARE_READ, nullptr,
                                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < bytes.size()) {
    DWORD written = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    ok = ::WriteFile(file, bytes.data() + done, want, &written, nullptr) && written == want;
    done += written;
  }
  return ::CloseHandle(file) && ok;
}

}  // namespace

std::string Win32LogStore::Folder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH) return {};
  return Narrow(std::wstring(buffer, n));
}

std::string Win32LogStore::SystemDescription() {
  // GetVersionEx reports what the program's manifest claims to support; RtlGetVersion the truth.
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  const auto get_version = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  std::string text = "Windows";
  if (get_version != nullptr && get_version(&version) == 0) {
    text += " " + std::to_string(version.dwMajorVersion) + "." +
            std::to_string(version.dwMinorVersion) + "." + std::to_string(version.dwBuildNumber);
    if (version.szCSDVersion[0] != L'\0') text += " " + Narrow(version.szCSDVersion);
  }
  SYSTEM_INFO info{};
  ::GetNativeSystemInfo(&info);
  switch (info.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
      text += " x64";
      break;
    case PROCESSOR_ARCHITECTURE_INTEL:
      text += " x86";
      break;
    case 12:  // PROCESSOR_ARCHITECTURE_ARM64
      text += " ARM64";
      break;
    default:
      text += " architecture " + std::to_string(info.wProcessorArchitecture);
  }
  BOOL wow64 = FALSE;
  if (sizeof(void*) == 4 && ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64) {
    text += ", 32-bit program under WoW64";
  } else {
    text += sizeof(void*) == 4 ? ", 32-bit program" : ", 64-bit program";
  }
  return text;
}

platform::LocalTime Win32LogStore::Now() {
  SYSTEMTIME t{};
  ::GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

bool Win32LogStore::Replace(const std::string& from, const std::string& to) {
  return ::MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool Win32LogStore::Write(const std::string& path, const std::string& bytes) {
  return WriteWhole(path, bytes, GENERIC_WRITE, CREATE_ALWAYS);
}

bool Win32LogStore::Append(const std::string& path, const std::string& bytes) {
  // FILE_APPEND_DATA alone: every write goes to the end of the file.
  return WriteWhole(path, bytes, FILE_APPEND_DATA, OPEN_ALWAYS);
}

}  // namespace kvt::win32
