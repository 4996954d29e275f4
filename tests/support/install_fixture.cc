#include "support/install_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "kvt/build_config.h"
#include "net/download.h"
#include "startup/mupdate.h"

namespace kvt::testing {

platform::ProcessHandle RecordingProcesses::Start(const std::string& command_line,
                                                  int window_style, std::uint32_t& pid) {
  const platform::ProcessHandle process = inner_.Start(command_line, window_style, pid);
  starts.push_back({command_line, window_style, process != 0, false, pid});
  return process;
}

platform::ProcessHandle RecordingProcesses::StartOwned(const std::string& command_line,
                                                       int window_style, std::uint32_t& pid) {
  const platform::ProcessHandle process = inner_.StartOwned(command_line, window_style, pid);
  starts.push_back({command_line, window_style, process != 0, true, pid});
  return process;
}

bool RecordingProcesses::Terminate(platform::ProcessHandle process) {
  ++terminates;
  return inner_.Terminate(process);
}

std::uint32_t RecordingProcesses::Wait(platform::ProcessHandle process,
                                       std::uint32_t milliseconds) {
  waits.push_back(milliseconds);
  return inner_.Wait(process, milliseconds);
}

bool RecordingProcesses::ExitCode(platform::ProcessHandle process, std::uint32_t& code) {
  return inner_.ExitCode(process, code);
}

bool RecordingProcesses::Close(platform::ProcessHandle process) {
  ++closes;
  return inner_.Close(process);
}

bool VendorIsLoopback() { return std::string(build::kVendorHost) == "127.0.0.1"; }

InstallRig::InstallRig(PosixMachineOptions options)
    : m(server.port(), options), processes(m.processes), options_(std::move(options)) {
  // The probe host of this build resolves; nothing else does.
  m.machine.resolver.resolvable = {build::kProbeHost};
  // A guard against a test that waits for data that never comes.
  m.internet.SetTimeoutCapMs(15000);
  platform::Platform p = m.machine.Platform(&m.internet, &m.files, &processes);
  p.log = &m.log;
  p.crypto = &m.crypto;
  if (options_.real_process_list) p.process_list = &m.process_list;
  if (options_.real_clock) p.clock = &m.clock;
  if (options_.real_resolver) p.resolver = &m.resolver;
  platform::Install(p);
}

InstallRig::~InstallRig() {
  // Stalled responses end before the machine goes away.
  server.Stop();
}

std::string InstallRig::VendorUrl(const std::string& target, const Mupdate::Scheme& scheme) {
  return std::string(scheme.prefix) + build::kVendorHost + target;
}

std::string InstallRig::Manifest(const std::string& version, const Mupdate::Scheme& scheme) {
  return version + "\r\n" + VendorUrl(kExtractorTarget, scheme) + "\r\n" +
         VendorUrl(kArchiveTarget, scheme);
}

std::string InstallRig::ExtractorScript(int exit_code) const {
  // The destination argument keeps a quote at its end: the command line closes it after a
  // backslash, which makes it a literal quote.
  return "#!/bin/sh\n"
         "# Stand-in for UnRAR.exe: records its arguments and extracts the archive as KVT.exe.\n"
         "printf '%s\\n' \"$0\" \"$@\" > '" +
         m.temp.Sub("extractor-argv") +
         "'\n"
         "printf '%s' \"$KVT_WINDOWS_COMMAND_LINE\" > '" +
         m.temp.Sub("extractor-cmdline") +
         "'\n"
         "q='\"'\n"
         "dest=\"${4%$q}\"\n"
         "cp \"$3\" \"$dest/KVT.exe\"\n"
         "exit " +
         std::to_string(exit_code) + "\n";
}

std::string InstallRig::ProductArchive(std::size_t size) const {
  std::string body =
      "#!/bin/sh\n"
      "# Stand-in for KVT记账宝: notes that it was started.\n"
      "printf '%s' \"$KVT_WINDOWS_COMMAND_LINE\" > '" +
      ProductMarker() +
      ".new'\n"
      "mv '" +
      ProductMarker() + ".new' '" + ProductMarker() +
      "'\n"
      "exit 0\n";
  if (body.size() < size) {
    std::string padding = "#";
    while (body.size() + padding.size() + 1 < size)
      padding += static_cast<char>('a' + padding.size() % 26);
    body += padding + "\n";
  }
  return body;
}

void InstallRig::ServeRelease(int extractor_exit, std::size_t archive_size) {
  ServeRelease(server, extractor_exit, archive_size);
}

void InstallRig::ServeRelease(TestServer& on, int extractor_exit, std::size_t archive_size) {
  on.Route(kManifestTarget, Response::Ok(Manifest("2.1", *vendor.scheme)));
  on.Route(kExtractorTarget, Response::Ok(ExtractorScript(extractor_exit)));
  on.Route(kArchiveTarget, Response::Ok(ProductArchive(archive_size)));
}

Fd& InstallRig::Start() {
  EXPECT_FALSE(headless::RunUntilEnd([this] { Mupdate::Main(vendor); }));
  return Mupdate::FdInstance();
}

Fd& InstallRig::OpenPathPage() {
  Fd& fd = Start();
  EXPECT_FALSE(Press(kCk));
  EXPECT_FALSE(Press(kCcontinue));
  EXPECT_TRUE(fd.Frame2.Visible()) << "the manifest fetch did not reach the path page";
  EXPECT_TRUE(ui().messages.empty());
  return fd;
}

bool InstallRig::Press(ControlId id) {
  Fd& fd = Mupdate::FdInstance();
  return headless::RunUntilEnd(
      [&] { EXPECT_TRUE(headless::Click(fd, id)) << "control " << id << " is out of reach"; });
}

bool InstallRig::PressClose() {
  Fd& fd = Mupdate::FdInstance();
  return headless::RunUntilEnd([&] { headless::Close(fd); });
}

std::vector<std::string> InstallRig::TargetsSince(std::size_t from) const {
  std::vector<std::string> targets;
  const std::vector<RecordedRequest> requests = server.Requests();
  for (std::size_t i = from; i < requests.size(); ++i) targets.push_back(requests[i].target);
  return targets;
}

std::vector<std::string> InstallRig::LogSince(std::size_t from) const {
  const std::vector<std::string>& log = m.machine.window.log;
  if (from >= log.size()) return {};
  return {log.begin() + static_cast<std::ptrdiff_t>(from), log.end()};
}

std::vector<std::string> InstallRig::ExtractorArgv() const {
  std::vector<std::string> lines;
  const std::optional<std::string> text = ReadFileBytes(m.temp.Sub("extractor-argv"));
  if (!text) return lines;
  std::istringstream in(*text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::optional<std::string> InstallRig::WaitForProductMarker() const {
  std::optional<std::string> marker;
  for (int i = 0; i < 500 && !(marker = ReadFileBytes(ProductMarker())); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return marker;
}

std::string InstallRig::ExtractorCommandLine() const {
  return ReadFileBytes(m.temp.Sub("extractor-cmdline")).value_or("");
}

}  // namespace kvt::testing
