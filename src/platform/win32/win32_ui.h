// The user-interface side of the machine on Windows: single-instance guard, message boxes,
// the message pump and ending the process.
#pragma once

#include "platform/ui.h"
#include "platform/win32/win32_window.h"  // also undoes <windows.h>'s MessageBox macro

namespace kvt::win32 {

class Win32Ui : public platform::Ui {
 public:
  // `window` gives message boxes their owner and the pump its dialog navigation.
  explicit Win32Ui(Win32Window& window) : window_(window) {}
  Win32Ui(const Win32Ui&) = delete;
  Win32Ui& operator=(const Win32Ui&) = delete;

  // Creates a named mutex that lives as long as the process; it exists already when another
  // copy of the installer runs in the same session.
  bool AnotherInstanceRunning() override;
  // Modal to the installer window once that exists.
  int MessageBox(const std::string& text, int style, const std::string& title) override;
  void DoEvents() override;
  // Looks into the queue only when the last look was kPumpIntervalMs or more ago.
  void DoEventsIfDue() override;
  void PumpFor(std::uint32_t milliseconds) override;
  void RunEventLoop() override;
  [[noreturn]] void EndProgram() override;

 private:
  void Dispatch(MSG& msg);

  // Every look into the queue is a round trip to the window system (under Wine, to the
  // wineserver); a download on a fast line would make tens of thousands a second. A person
  // notices no delay below about 50 ms.
  static constexpr LONGLONG kPumpIntervalMs = 10;

  Win32Window& window_;
  HANDLE instance_mutex_ = nullptr;
  LONGLONG ticks_per_interval_ = 0;  // performance-counter ticks in kPumpIntervalMs
  LONGLONG last_pump_ = 0;           // performance counter at the last look
  bool pumped_ = false;
};

}  // namespace kvt::win32
