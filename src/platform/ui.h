// The user-interface side of the machine: instance guard, message boxes, the event pump and
// ending the program.
#pragma once

#include <cstdint>
#include <string>

namespace kvt::platform {

// Message box styles and answers, as the Windows message box numbers them.
inline constexpr int kMbOkCancel = 1;
inline constexpr int kMbCritical = 16;
inline constexpr int kMbInformation = 64;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

class Ui {
 public:
  virtual ~Ui() = default;

  // True when another copy of this installer already runs. Called once, before anything else.
  virtual bool AnotherInstanceRunning() = 0;

  // Modal message box; returns the button chosen (kIdOk, kIdCancel).
  virtual int MessageBox(const std::string& text, int style, const std::string& title) = 0;

  // Processes the pending window events once (every handler they raise runs inside this call).
  virtual void DoEvents() = 0;

  // DoEvents for a loop that calls it for every piece of work, thousands of times a second. An
  // adapter whose look into the queue is costly may skip the look when the last one was only a
  // few milliseconds ago; what the user does is then handled that little later.
  virtual void DoEventsIfDue() { DoEvents(); }

  // A pause during which the window keeps answering: processes the window's events as they come
  // for `milliseconds`, then returns.
  virtual void PumpFor(std::uint32_t milliseconds) = 0;

  // Runs the event loop until the program ends. Used once, after the window is shown.
  virtual void RunEventLoop() = 0;

  // Ends the program at once: no close handler, nothing after it runs. Files the program
  // holds open are closed with what was written to them kept.
  [[noreturn]] virtual void EndProgram() = 0;
};

}  // namespace kvt::platform
