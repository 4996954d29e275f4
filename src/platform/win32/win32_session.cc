// Leaving the installer window: the close box, the system menu's Close and Alt+F4 (each ends in
// WM_CLOSE, posted or sent, also by another program and during a wait), log-off and shut-down,
// and the input block while the folder picker is open. The window only translates: what each
// request does is decided by Fd's handlers and its busy state.
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_text.h"
#include "platform/win32/win32_window.h"
#include "window/fd.h"

namespace kvt::win32 {
namespace {

// ShutdownBlockReasonCreate/Destroy exist from Windows Vista on: looked up at run time.
using ReasonCreateFn = BOOL(WINAPI*)(HWND, LPCWSTR);
using ReasonDestroyFn = BOOL(WINAPI*)(HWND);

FARPROC User32(const char* name) { return GetProcAddress(GetModuleHandleW(L"user32.dll"), name); }

}  // namespace

bool Win32Window::OnLeaveMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
  switch (msg) {
    case WM_CLOSE: {
      result = 0;
      if (fd_ == nullptr) return true;
      std::int16_t cancel = 0;
      fd_->Form_Unload(cancel);
      if (cancel == 0) platform::EndProgram();
      return true;
    }
    case WM_QUERYENDSESSION:
      result = fd_ == nullptr || fd_->Form_QueryEndSession() ? TRUE : FALSE;
      return true;
    case WM_ENDSESSION:
      result = 0;
      if (fd_ != nullptr) fd_->Form_EndSession(wp != FALSE);
      return true;
    default:
      return false;
  }
}

void Win32Window::SetInputEnabled(bool enabled) {
  if (main_ == nullptr) return;
  EnableWindow(main_, enabled ? TRUE : FALSE);
  // The picker went away while this window took no input, so the system may have activated
  // another one: bring this window back to the user.
  if (enabled && IsWindowVisible(main_)) SetForegroundWindow(main_);
}

void Win32Window::SetShutdownReason(const std::string& reason) {
  if (main_ == nullptr) return;
  static const auto create = reinterpret_cast<ReasonCreateFn>(
      reinterpret_cast<void*>(User32("ShutdownBlockReasonCreate")));
  static const auto destroy = reinterpret_cast<ReasonDestroyFn>(
      reinterpret_cast<void*>(User32("ShutdownBlockReasonDestroy")));
  if (reason.empty()) {
    if (shutdown_reason_ && destroy != nullptr) destroy(main_);
    shutdown_reason_ = false;
    return;
  }
  if (shutdown_reason_) return;  // registered already: there is only one reason
  if (create != nullptr) shutdown_reason_ = create(main_, Widen(reason).c_str()) != FALSE;
}

}  // namespace kvt::win32
