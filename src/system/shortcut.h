// The desktop shortcut to the installed product.
#pragma once

#include <string>

namespace kvt::Mupdate {

// Writes <desktop>\<name>.lnk pointing at `targetPath`. A failure is left as the pending error
// for the caller, which goes on.
void CreateDesktopShortcut(const std::string& targetPath, const std::string& name);

}  // namespace kvt::Mupdate
