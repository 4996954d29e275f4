// A whole installer run for tests: the headless window and user, real files under a drive map,
// real processes and the loopback server serving a release (manifest, extractor, archive).
//
// The extractor is a small shell script standing in for UnRAR.exe: it records its arguments,
// "extracts" the archive by copying it to KVT.exe in the destination folder and exits with a
// chosen code. The archive is itself a shell script standing in for the product: when started it
// writes a marker file. So the files left after an install can be compared byte for byte.
//
//   kvt::testing::InstallRig rig;
//   rig.ServeRelease();
//   kvt::Fd& fd = rig.OpenPathPage();
//   EXPECT_FALSE(rig.Press(kvt::kCyes));
//   EXPECT_TRUE(fd.Frame3.Visible());
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/manifest.h"
#include "platform/headless/headless.h"
#include "platform/processes.h"
#include "support/posix_machine.h"
#include "support/test_server.h"
#include "window/fd.h"

namespace kvt::testing {

// Forwards every call to the real processes and records it.
class RecordingProcesses : public platform::Processes {
 public:
  struct StartCall {
    std::string command_line;
    int window_style;
    bool started;
    bool owned;  // StartOwned
    std::uint32_t pid;
  };
  std::vector<StartCall> starts;
  std::vector<std::uint32_t> waits;  // milliseconds asked for
  int closes = 0;
  int terminates = 0;

  explicit RecordingProcesses(platform::Processes& inner) : inner_(inner) {}

  platform::ProcessHandle Start(const std::string& command_line, int window_style,
                                std::uint32_t& pid) override;
  platform::ProcessHandle StartOwned(const std::string& command_line, int window_style,
                                     std::uint32_t& pid) override;
  bool Terminate(platform::ProcessHandle process) override;
  std::uint32_t Wait(platform::ProcessHandle process, std::uint32_t milliseconds) override;
  bool ExitCode(platform::ProcessHandle process, std::uint32_t& code) override;
  bool Close(platform::ProcessHandle process) override;

 private:
  platform::Processes& inner_;
};

// Server paths of the release.
inline constexpr char kManifestTarget[] = "/KVT_TRNQP_SETUP_LOG.txt";
inline constexpr char kExtractorTarget[] = "/UnRAR.exe";
inline constexpr char kArchiveTarget[] = "/KVT_SETUP.rar";

// The default install folder and the files an install leaves there.
inline constexpr char kDefaultFolder[] = "D:\\KVT记账宝\\";
inline constexpr char kExtractorPath[] = "D:\\KVT记账宝\\\\UnRAR.exe";
inline constexpr char kArchivePath[] = "D:\\KVT记账宝\\\\KVT_SETUP.rar";
inline constexpr char kProductPath[] = "D:\\KVT记账宝\\KVT.exe";
inline constexpr char kShortcutPath[] = "C:\\Users\\kvt\\Desktop\\KVT记账宝.lnk";

class InstallRig {
 public:
  explicit InstallRig(PosixMachineOptions options = {});
  ~InstallRig();
  InstallRig(const InstallRig&) = delete;
  InstallRig& operator=(const InstallRig&) = delete;

  // The manifest "2.1" CR LF extractor URL CR LF archive URL, with the vendor host.
  static std::string Manifest(const std::string& version = "2.1",
                              const Mupdate::Scheme& scheme = Mupdate::BuildScheme());
  // The scheme's prefix ("http://" or "https://") + vendor host + target.
  static std::string VendorUrl(const std::string& target,
                               const Mupdate::Scheme& scheme = Mupdate::BuildScheme());
  // The extractor script; it exits with `exit_code`.
  std::string ExtractorScript(int exit_code) const;
  // The archive: a product script padded to `size` bytes (at least its script part).
  std::string ProductArchive(std::size_t size = 5000) const;

  // Routes the manifest (in the run's scheme), the extractor and the archive on `server`
  // (default: this rig's).
  void ServeRelease(int extractor_exit = 0, std::size_t archive_size = 5000);
  void ServeRelease(TestServer& on, int extractor_exit = 0, std::size_t archive_size = 5000);

  // Runs Main with `vendor` and returns the window on its agreement page.
  Fd& Start();
  // Main, tick Ck, press Continue; the path page must be shown.
  Fd& OpenPathPage();
  // Clicks a control as the user would (it must be reachable); true when the program ended.
  bool Press(ControlId id);
  // The close box; true when the program ended.
  bool PressClose();

  // Targets requested from this rig's server since request number `from`.
  std::vector<std::string> TargetsSince(std::size_t from) const;
  // The window log since entry `from`.
  std::vector<std::string> LogSince(std::size_t from) const;
  // The run's support log as written so far.
  std::string SupportLog() { return m.log.files["C:\\Temp\\KVT_SETUP.log"]; }
  // Linux path of a Windows path on C: or D:.
  std::string Linux(const std::string& windows_path) const { return m.Linux(windows_path); }
  // Lines the extractor recorded: its program path, then every argument.
  std::vector<std::string> ExtractorArgv() const;
  // The raw command line the extractor was given.
  std::string ExtractorCommandLine() const;
  // Linux path of the file the product writes when it is started.
  std::string ProductMarker() const { return m.temp.Sub("product-started"); }
  // Waits (up to 5 s) for the started product to leave its marker; the command line it got.
  std::optional<std::string> WaitForProductMarker() const;

  headless::HeadlessUi& ui() { return m.machine.ui; }
  headless::HeadlessWindow& window() { return m.machine.window; }
  headless::HeadlessShell& shell() { return m.machine.shell; }

  TestServer server;
  PosixMachine m;
  RecordingProcesses processes;
  // The scheme and release keys of the run (the build's unless a test sets others before Start;
  // `keys` holds a test's own).
  Mupdate::VendorSettings vendor;
  Mupdate::ReleaseKeys keys;

 private:
  PosixMachineOptions options_;
};

// True when the build points the manifest at the loopback server (the tests need that).
bool VendorIsLoopback();

}  // namespace kvt::testing
