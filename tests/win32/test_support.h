// Shared pieces of the Win32 adapter tests: a scratch folder with a Chinese name, raw file
// access that bypasses the adapters, and this test program doubling as a child process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32/win32_adapters.h"

namespace kvt::win32::testing {

// A fresh folder under the user's temp folder, removed with its contents at the end.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // The folder, UTF-8, without a trailing backslash.
  const std::string& path() const { return path_; }
  // The folder joined with `name` by one backslash.
  std::string Join(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

// Raw file helpers on UTF-8 paths.
bool WriteBytes(const std::string& path, const std::string& bytes);
bool ReadBytes(const std::string& path, std::string& bytes);
bool PathExists(const std::string& path);

// The running test program's own path.
std::string SelfPath();
// Copies this test program to `target`; the copy acts as a child process (see test_main.cc):
//   --exit-with N            ends at once with exit code N
//   --sleep MS               sleeps, then ends with 0
//   --write-program-folder F writes Win32FileSystem::ProgramFolder() (UTF-8) into file F
bool CopySelf(const std::string& target);

// A started child process, ended and waited for when this goes away.
class ChildProcess {
 public:
  ChildProcess() = default;
  // Starts `exe` with `arguments` (already quoted) hidden; Valid() tells whether it runs.
  ChildProcess(const std::string& exe, const std::string& arguments);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess();
  bool Valid() const { return process_ != nullptr; }
  std::uint32_t pid() const { return pid_; }
  // Waits for the end; the exit code, or -1 when it did not end within `milliseconds`.
  long Wait(std::uint32_t milliseconds);

 private:
  HANDLE process_ = nullptr;
  std::uint32_t pid_ = 0;
};

// True when the ANSI code page is 936 (simplified Chinese), as on the product's machines.
bool ChineseCodePage();

}  // namespace kvt::win32::testing
