// The headless window and user together with the real POSIX files, HTTP client and processes:
// drive C: and D: are folders of a fresh TempDir, the program runs from "C:\KVT", and the HTTP
// client reaches port 80 on the given (test server) port. Construction installs everything with
// platform::Install and starts a fresh run (Mupdate::ResetForNewRun, PendingError::Clear);
// destruction resets the run again and uninstalls.
//
//   kvt::testing::TestServer server;
//   kvt::testing::PosixMachine m(server.port());
//   m.machine.ui.answers.push_back(kvt::platform::kIdOk);
//   ... run the core ...
//   EXPECT_TRUE(kvt::testing::PathExists(m.Linux("D:\\KVT记账宝\\UnRAR.exe")));
#pragma once

#include <cstdint>
#include <string>

#include "platform/headless/headless.h"
#include "platform/posix/posix.h"
#include "support/temp_dir.h"

namespace kvt::testing {

struct PosixMachineOptions {
  // Reported as the folder of the running program; created on disk when it is on C: or D:.
  std::string program_folder = "C:\\KVT";
  // Map drive D: (off: "D:" does not exist).
  bool map_d = true;
  // Use the real resolver, clock and /proc process list instead of the headless ones.
  bool real_resolver = false;
  bool real_clock = false;
  bool real_process_list = false;
  // The port the HTTP client reaches when port 443 is asked for.
  std::uint16_t https_port = 443;
};

class PosixMachine {
 public:
  explicit PosixMachine(std::uint16_t http_port, PosixMachineOptions options = {});
  ~PosixMachine();
  PosixMachine(const PosixMachine&) = delete;
  PosixMachine& operator=(const PosixMachine&) = delete;

  // The Linux path of a Windows path on C: or D:; empty when it has none.
  std::string Linux(const std::string& windows_path) const;
  // Installs the adapters again (after a test swapped one out).
  void Install();

  TempDir temp;
  const std::string c_drive;  // Linux folder of C:
  const std::string d_drive;  // Linux folder of D: (exists only when mapped)
  headless::Machine machine;
  posix::PosixFileSystem files;
  posix::PosixInternet internet;
  posix::PosixProcesses processes;
  posix::PosixResolver resolver;
  posix::PosixClock clock;
  posix::PosixProcessList process_list;
  posix::PosixCrypto crypto;
  // The run's support log, kept in memory for the test to read.
  headless::MemoryLogStore log;

 private:
  PosixMachineOptions options_;
};

}  // namespace kvt::testing
