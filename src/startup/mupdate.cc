#include "startup/mupdate.h"

#include <memory>

#include "net/manifest.h"
#include "platform/platform.h"
#include "startup/texts.h"
#include "window/fd.h"

namespace kvt::Mupdate {

std::string InstallPath;
std::string ReleaseVersion;
std::string UnrarUrl;
std::string PackageUrl;

namespace {
std::unique_ptr<Fd> g_fd;
}  // namespace

Fd& FdInstance() {
  if (!g_fd) g_fd = std::make_unique<Fd>(*platform::Sys().window, VendorSettings());
  return *g_fd;
}

bool FdExists() { return g_fd != nullptr; }

void Main(const VendorSettings& vendor) {
  const platform::Platform& sys = platform::Sys();
  if (sys.ui->AnotherInstanceRunning()) {
    sys.ui->MessageBox(text::kAlreadyRunning, platform::kMbInformation, text::kTitleNotice);
    platform::EndProgram();
  }
  // The window's initialisation shows InstallPath, so it is set first.
  InstallPath = std::string(text::kDefaultDrive) + text::kProductName + "\\";
  if (!g_fd) g_fd = std::make_unique<Fd>(*sys.window, vendor);
  sys.window->Show();
}

void ResetForNewRun() {
  g_fd.reset();
  InstallPath.clear();
  ReleaseVersion.clear();
  UnrarUrl.clear();
  PackageUrl.clear();
  SignedFiles.clear();
}

}  // namespace kvt::Mupdate
