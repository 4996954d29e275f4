// What the support log needs of the machine: a folder for it, a description of the system, the
// local time, and whole-file writes, appends and the rotation of the previous run's file.
// Operations return false on failure and never throw; a caller may ignore every failure.
#pragma once

#include <string>

namespace kvt::platform {

// Local wall-clock time, to the millisecond.
struct LocalTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

class LogStore {
 public:
  virtual ~LogStore() = default;
  // The folder the log is written to (the user's temporary folder), ending in a separator;
  // empty when there is none.
  virtual std::string Folder() = 0;
  // The operating system's version and architecture, and the program's when they differ
  // ("Windows 6.1.7601 x64, 32-bit program under WoW64").
  virtual std::string SystemDescription() = 0;
  virtual LocalTime Now() = 0;
  // Moves `from` over `to`, replacing it; false when `from` does not exist or cannot be moved.
  virtual bool Replace(const std::string& from, const std::string& to) = 0;
  // Makes `bytes` the whole content of `path`, creating the file when needed.
  virtual bool Write(const std::string& path, const std::string& bytes) = 0;
  // Adds `bytes` at the end of `path`, creating the file when needed.
  virtual bool Append(const std::string& path, const std::string& bytes) = 0;
};

}  // namespace kvt::platform
