#include "tests/win32/test_support.h"

#include <shellapi.h>

#include "platform/win32/win32_text.h"

namespace kvt::win32::testing {
namespace {

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found{};
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(child.c_str());
      }
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(folder.c_str());
}

}  // namespace

ScratchFolder::ScratchFolder() {
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  static int counter = 0;
  std::wstring folder = temp;
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  folder +=
      L"\\kvt测试 " + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
  RemoveTree(folder);
  ::CreateDirectoryW(folder.c_str(), nullptr);
  path_ = Narrow(folder);
}

ScratchFolder::~ScratchFolder() { RemoveTree(Widen(path_)); }

bool WriteBytes(const std::string& path, const std::string& bytes) {
  HANDLE file = ::CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok =
      ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  return ok && written == bytes.size();
}

bool ReadBytes(const std::string& path, std::string& bytes) {
  bytes.clear();
  HANDLE file = ::CreateFileW(Widen(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[4096];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ::ReadFile(file, buffer, sizeof(buffer), &got, nullptr)) && got > 0) {
    bytes.append(buffer, got);
  }
  ::CloseHandle(file);
  return ok;
}

bool PathExists(const std::string& path) {
  return ::GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string SelfPath() {
  wchar_t buffer[32768] = {};
  ::GetModuleFileNameW(nullptr, buffer, 32768);
  return Narrow(buffer);
}

bool CopySelf(const std::string& target) {
  return ::CopyFileW(Widen(SelfPath()).c_str(), Widen(target).c_str(), FALSE) != FALSE;
}

ChildProcess::ChildProcess(const std::string& exe, const std::string& arguments) {
  std::wstring line = L"\"" + Widen(exe) + L"\" " + Widen(arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info{};
  if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info)) {
    ::CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
  }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : process_(other.process_), pid_(other.pid_) {
  other.process_ = nullptr;
  other.pid_ = 0;
}

ChildProcess::~ChildProcess() {
  if (process_ == nullptr) return;
  ::TerminateProcess(process_, 1);
  ::WaitForSingleObject(process_, 5000);
  ::CloseHandle(process_);
}

long ChildProcess::Wait(std::uint32_t milliseconds) {
  if (process_ == nullptr || ::WaitForSingleObject(process_, milliseconds) != WAIT_OBJECT_0) {
    return -1;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process_, &code);
  return static_cast<long>(code);
}

bool ChineseCodePage() { return ::GetACP() == 936; }

}  // namespace kvt::win32::testing
