// The machine's side of the installer window. The core keeps every control property in its own
// model (window/fd.h) and tells the backend about each change; the backend draws and reports the
// user's actions back by calling the window's handlers.
#pragma once

#include <string>

#include "window/control_ids.h"

namespace kvt {
class Fd;
}

namespace kvt::platform {

class WindowBackend {
 public:
  virtual ~WindowBackend() = default;

  // Creates the window and all of its controls from the design table, not yet shown.
  // `fd` receives the user's actions for the lifetime of the window.
  virtual void Create(Fd& fd) = 0;
  // Shows the window modeless, centred on the screen, focus in the agreement text.
  virtual void Show() = 0;

  // Outer size of the window in twips (title bar and border included).
  virtual void SetOuterSize(int width_twips, int height_twips) = 0;
  virtual void Move(ControlId id, double left_twips, double top_twips) = 0;
  virtual void SetWidth(ControlId id, double width_twips) = 0;
  virtual void SetText(ControlId id, const std::string& text) = 0;
  virtual void SetVisible(ControlId id, bool visible) = 0;
  virtual void SetEnabled(ControlId id, bool enabled) = 0;
  // Check box state: 0 not ticked, 1 ticked.
  virtual void SetValue(ControlId id, int value) = 0;
  // Repaints the control at once.
  virtual void Refresh(ControlId id) = 0;
  // Blocks (false) or restores (true) the user's input to the whole window, close box included,
  // while a window of the system without an owner (the folder picker) is open.
  virtual void SetInputEnabled(bool enabled) = 0;
  // Registers the reason shown when a log-off or shut-down waits for this window; an empty text
  // withdraws it.
  virtual void SetShutdownReason(const std::string& reason) = 0;
};

}  // namespace kvt::platform
