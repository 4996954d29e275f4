// Module Mupdate: the start-up procedure, the shared values and the window instance.
#pragma once

#include <string>

#include "net/manifest.h"

namespace kvt {
class Fd;
}

namespace kvt::Mupdate {

// Shared values, one copy each for the whole run.
// The install folder; always ends in a backslash once Main has run.
extern std::string InstallPath;
// Results of the release manifest.
extern std::string ReleaseVersion;
extern std::string UnrarUrl;
extern std::string PackageUrl;

// The program's entry point: refuses a second copy, sets the default install folder, creates
// the window for a run with `vendor` (the build's settings; a test harness gives its own) and
// shows it modeless, then returns.
void Main(const VendorSettings& vendor = VendorSettings());

// The one window instance; created (and initialised) on first use, with the build's vendor
// settings unless Main made it.
Fd& FdInstance();
// True once the window exists.
bool FdExists();

// Forgets the window and empties the shared values, so that a test harness can start a fresh
// run in the same process.
void ResetForNewRun();

}  // namespace kvt::Mupdate
