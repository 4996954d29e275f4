#include "platform/win32/win32_adapters.h"

#include <vector>

#include "platform/win32/win32_handles.h"
#include "platform/win32/win32_text.h"
#include "platform/win32/win32_wait.h"

namespace kvt::win32 {
namespace {

HANDLE H(platform::ProcessHandle h) { return reinterpret_cast<HANDLE>(h); }

// The exit code of a process ended by Terminate.
constexpr UINT kTerminatedCode = ERROR_CANCELLED;

// A job that kills its processes when its last handle closes; null when none can be made.
HANDLE MakeKillOnCloseJob() {
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    ::CloseHandle(job);
    return nullptr;
  }
  return job;
}

}  // namespace

Win32Processes::~Win32Processes() {
  for (auto& [process, job] : jobs_) {
    if (job != nullptr) ::CloseHandle(job);
  }
}

platform::ProcessHandle Win32Processes::Start(const std::string& command_line, int window_style,
                                              std::uint32_t& pid) {
  return Launch(command_line, window_style, false, pid);
}

platform::ProcessHandle Win32Processes::StartOwned(const std::string& command_line,
                                                   int window_style, std::uint32_t& pid) {
  return Launch(command_line, window_style, true, pid);
}

platform::ProcessHandle Win32Processes::Launch(const std::string& command_line, int window_style,
                                               bool owned, std::uint32_t& pid) {
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
  // An owned process starts suspended, so that it runs no instruction outside its job.
  if (!::CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE,
                        owned ? CREATE_SUSPENDED : 0, nullptr, nullptr, &startup, &info)) {
    return 0;
  }
  UniqueHandle thread(info.hThread);
  if (owned) {
    // Windows 7 refuses a second job to a process that is in one already (a program started by
    // some launchers is): it then runs without, and Terminate ends it alone.
    HANDLE job = MakeKillOnCloseJob();
    if (job != nullptr && !::AssignProcessToJobObject(job, info.hProcess)) {
      ::CloseHandle(job);
      job = nullptr;
    }
    jobs_[info.hProcess] = job;
    ::ResumeThread(info.hThread);
  }
  pid = info.dwProcessId;
  // The handle from the start, not one opened again by id: it can be waited on and its exit
  // code read however soon the process ends, and it can never name another process.
  return reinterpret_cast<platform::ProcessHandle>(info.hProcess);
}

bool Win32Processes::Terminate(platform::ProcessHandle process) {
  auto it = jobs_.find(H(process));
  if (it == jobs_.end()) return false;
  const BOOL ended = it->second != nullptr ? ::TerminateJobObject(it->second, kTerminatedCode)
                                           : ::TerminateProcess(H(process), kTerminatedCode);
  // Termination completes on its own, soon; a process that had ended already cannot be
  // terminated any more but counts as ended.
  return ended != FALSE || ::WaitForSingleObject(H(process), 0) == WAIT_OBJECT_0;
}

std::uint32_t Win32Processes::Wait(platform::ProcessHandle process, std::uint32_t milliseconds) {
  return WaitWhilePumping(H(process), milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

bool Win32Processes::ExitCode(platform::ProcessHandle process, std::uint32_t& code) {
  DWORD value = 0;
  const BOOL ok = ::GetExitCodeProcess(H(process), &value);
  code = value;
  return ok != FALSE;
}

bool Win32Processes::Close(platform::ProcessHandle process) {
  if (process == 0) return false;
  auto it = jobs_.find(H(process));
  if (it != jobs_.end()) {
    // Closing the job ends an owned process that still runs; one outside a job is ended here.
    if (it->second != nullptr) {
      ::CloseHandle(it->second);
    } else {
      ::TerminateProcess(H(process), kTerminatedCode);
    }
    jobs_.erase(it);
  }
  return ::CloseHandle(H(process)) != FALSE;
}

}  // namespace kvt::win32
