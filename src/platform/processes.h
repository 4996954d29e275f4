// Starting programs and waiting for them.
#pragma once

#include <cstdint>
#include <string>

namespace kvt::platform {

// A process handle; 0 means none.
using ProcessHandle = std::uintptr_t;

inline constexpr int kSwHide = 0;
inline constexpr int kSwShowNormal = 1;
inline constexpr std::uint32_t kSynchronize = 0x00100000u;
inline constexpr std::uint32_t kProcessQueryLimitedInformation = 0x1000u;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr std::uint32_t kWaitObject0 = 0;

class Processes {
 public:
  virtual ~Processes() = default;
  // Starts the command line (Windows quoting rules) with the window style, without waiting.
  // `pid` receives the new process id; false when the program could not be started.
  virtual bool Start(const std::string& command_line, int window_style, std::uint32_t& pid) = 0;
  // OpenProcess; 0 when the process cannot be opened.
  virtual ProcessHandle Open(std::uint32_t access, bool inherit, std::uint32_t pid) = 0;
  // WaitForSingleObject; returns kWaitObject0 once the process has ended.
  virtual std::uint32_t Wait(ProcessHandle process, std::uint32_t milliseconds) = 0;
  // GetExitCodeProcess.
  virtual bool ExitCode(ProcessHandle process, std::uint32_t& code) = 0;
  virtual bool Close(ProcessHandle process) = 0;
};

}  // namespace kvt::platform
