// Starting programs and waiting for them.
#pragma once

#include <cstdint>
#include <string>

namespace kvt::platform {

// A process handle; 0 means none.
using ProcessHandle = std::uintptr_t;

inline constexpr int kSwHide = 0;
inline constexpr int kSwShowNormal = 1;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr std::uint32_t kWaitObject0 = 0;

class Processes {
 public:
  virtual ~Processes() = default;
  // Starts the command line (Windows quoting rules) with the window style, without waiting.
  // Returns the process, to wait for and read the exit code of however soon it ends (the
  // caller closes it), and its id in `pid`; 0 when the program could not be started.
  virtual ProcessHandle Start(const std::string& command_line, int window_style,
                              std::uint32_t& pid) = 0;
  // Starts like Start a process that belongs to this program: it (and whatever it starts) is
  // ended by Terminate, by closing its handle while it runs, and when this program ends.
  virtual ProcessHandle StartOwned(const std::string& command_line, int window_style,
                                   std::uint32_t& pid) = 0;
  // Ends a process of StartOwned at once; it then counts as ended with a non-zero exit code.
  // True when it has ended (also when it had ended already).
  virtual bool Terminate(ProcessHandle process) = 0;
  // Waits for the process: kWaitObject0 once it has ended. The window's events are processed
  // meanwhile (its handlers may run, and may Terminate the process waited for).
  virtual std::uint32_t Wait(ProcessHandle process, std::uint32_t milliseconds) = 0;
  // GetExitCodeProcess.
  virtual bool ExitCode(ProcessHandle process, std::uint32_t& code) = 0;
  virtual bool Close(ProcessHandle process) = 0;
};

}  // namespace kvt::platform
