#include "startup/mupdate.h"

#include <memory>

#include "kvt/build_config.h"
#include "net/manifest.h"
#include "platform/platform.h"
#include "startup/support_log.h"
#include "startup/texts.h"
#include "window/fd.h"

namespace kvt::Mupdate {

std::string InstallPath;
std::string ReleaseVersion;
std::string UnrarUrl;
std::string PackageUrl;

namespace {
std::unique_ptr<Fd> g_fd;
// The run's support log; made by Main, once it knows that it is the only copy running.
std::unique_ptr<SupportLog> g_log;

// The build as the log's head names it: "1.0.0, scheme http, 2 release keys".
std::string BuildDescription() {
  const unsigned keys = build::kReleaseKeyCount;
  return std::string(build::kVersion) + ", scheme " + (build::kVendorHttps ? "https" : "http") +
         ", " +
         (keys == 0 ? std::string("no release keys (unsigned releases)")
                    : std::to_string(keys) + " release key" + (keys == 1 ? "" : "s"));
}

void EndLog() {
  if (g_log) g_log->EndOfRun("the program ends");
}
}  // namespace

Fd& FdInstance() {
  if (!g_fd) g_fd = std::make_unique<Fd>(*platform::Sys().window, VendorSettings(), g_log.get());
  return *g_fd;
}

bool FdExists() { return g_fd != nullptr; }

void Main(const VendorSettings& vendor) {
  const platform::Platform& sys = platform::Sys();
  if (sys.ui->AnotherInstanceRunning()) {
    sys.ui->MessageBox(text::kAlreadyRunning, platform::kMbInformation, text::kTitleNotice);
    platform::EndProgram();
  }
  // Only now: a second copy must leave the first one's log alone.
  if (!g_log && sys.log != nullptr) {
    g_log = std::make_unique<SupportLog>(sys.log, BuildDescription());
    platform::AtEnd(EndLog);
  }
  // The window's initialisation shows InstallPath, so it is set first.
  InstallPath = std::string(text::kDefaultDrive) + text::kProductName + "\\";
  if (!g_fd) g_fd = std::make_unique<Fd>(*sys.window, vendor, g_log.get());
  sys.window->Show();
}

void ResetForNewRun() {
  g_fd.reset();
  platform::AtEnd(nullptr);
  g_log.reset();
  InstallPath.clear();
  ReleaseVersion.clear();
  UnrarUrl.clear();
  PackageUrl.clear();
}

}  // namespace kvt::Mupdate
