// Module Mupdate: the start-up procedure, the shared values and the window instance.
#pragma once

#include <string>

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
// the window and shows it modeless, then returns.
void Main();

// The one window instance; created (and initialised) on first use.
Fd& FdInstance();
// True once the window exists.
bool FdExists();

// Forgets the window and empties the shared values, so that a test harness can start a fresh
// run in the same process.
void ResetForNewRun();

}  // namespace kvt::Mupdate
