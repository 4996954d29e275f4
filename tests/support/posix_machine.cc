#include "support/posix_machine.h"

#include <sys/stat.h>

#include <map>

#include "platform/platform.h"
#include "startup/mupdate.h"
#include "startup/pending_error.h"

namespace kvt::testing {
namespace {

std::map<char, std::string> Drives(const TempDir& temp, bool map_d) {
  ::mkdir(temp.Sub("c").c_str(), 0755);
  std::map<char, std::string> drives{{'C', temp.Sub("c")}};
  if (map_d) {
    ::mkdir(temp.Sub("d").c_str(), 0755);
    drives['D'] = temp.Sub("d");
  }
  return drives;
}

}  // namespace

PosixMachine::PosixMachine(std::uint16_t http_port, PosixMachineOptions options)
    : c_drive(temp.Sub("c")),
      d_drive(temp.Sub("d")),
      files(Drives(temp, options.map_d), options.program_folder),
      internet(http_port, options.https_port),
      processes(files),
      options_(std::move(options)) {
  bool ok;
  const std::string program_folder = files.ToLinuxPath(options_.program_folder, ok);
  if (ok) ::mkdir(program_folder.c_str(), 0755);
  // While the client waits on the network the window's events go on, as in the product.
  internet.SetWaitPump([] { platform::DoEvents(); });
  Install();
  Mupdate::ResetForNewRun();
  PendingError::Clear();
}

PosixMachine::~PosixMachine() {
  Mupdate::ResetForNewRun();
  PendingError::Clear();
  platform::Install(platform::Platform{});
}

void PosixMachine::Install() {
  platform::Platform p = machine.Platform(&internet, &files, &processes);
  p.crypto = &crypto;
  p.log = &log;
  if (options_.real_resolver) p.resolver = &resolver;
  if (options_.real_clock) p.clock = &clock;
  if (options_.real_process_list) p.process_list = &process_list;
  platform::Install(p);
}

std::string PosixMachine::Linux(const std::string& windows_path) const {
  bool ok;
  std::string path = files.ToLinuxPath(windows_path, ok);
  return ok ? path : std::string();
}

}  // namespace kvt::testing
