#include "system/shortcut.h"

#include "platform/platform.h"
#include "startup/pending_error.h"
#include "startup/texts.h"

namespace kvt::Mupdate {

void CreateDesktopShortcut(const std::string& targetPath, const std::string& name) {
  platform::Shell& shell = *platform::Sys().shell;
  std::string desktop;
  // Without a desktop folder there is no place for the shortcut (and the current folder is
  // not one).
  if (!shell.DesktopFolder(desktop) || desktop.empty()) {
    PendingError::Raise("no desktop folder");
    return;
  }
  if (!shell.SaveShortcut(desktop + "\\" + name + text::kShortcutSuffix, targetPath)) {
    PendingError::Raise("cannot write the desktop shortcut");
  }
}

}  // namespace kvt::Mupdate
