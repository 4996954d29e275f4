// The desktop shell: the folder picker and shortcut files.
#pragma once

#include <string>

namespace kvt::platform {

inline constexpr int kBifEditBox = 16;
inline constexpr int kSsfDrives = 17;

enum class PickResult { kChosen, kCancelled, kFailed };

class Shell {
 public:
  virtual ~Shell() = default;
  // The system folder picker without an owner window. On kChosen `path` holds the chosen
  // folder's file-system path (no trailing backslash, except at a drive root).
  virtual PickResult BrowseForFolder(const std::string& title, int options, int root,
                                     std::string& path) = 0;
  // The current user's desktop folder without a trailing backslash; false when unavailable.
  virtual bool DesktopFolder(std::string& path) = 0;
  // Writes the shortcut file `link_path` whose target is `target`; nothing else is set.
  virtual bool SaveShortcut(const std::string& link_path, const std::string& target) = 0;
};

}  // namespace kvt::platform
