#include "platform/win32/win32_ui.h"

#include "platform/win32/win32_text.h"

namespace kvt::win32 {
namespace {
constexpr wchar_t kInstanceMutex[] = L"KVTsoftOnlineSetupMutex";
}  // namespace

bool Win32Ui::AnotherInstanceRunning() {
  // The handle is kept open on purpose until the process ends.
  instance_mutex_ = CreateMutexW(nullptr, FALSE, kInstanceMutex);
  return instance_mutex_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
}

int Win32Ui::MessageBox(const std::string& text, int style, const std::string& title) {
  HWND owner = window_.hwnd();
  UINT flags = static_cast<UINT>(style);
  if (owner == nullptr || !IsWindowVisible(owner)) {
    owner = nullptr;
    flags |= MB_SETFOREGROUND;  // no window of ours yet: bring the box to the user
  }
  return MessageBoxW(owner, Widen(text).c_str(), Widen(title).c_str(), flags);
}

void Win32Ui::Dispatch(MSG& msg) {
  // Tab, arrow and access keys are handled within the page in front only.
  HWND page = window_.FrontPage();
  if (page != nullptr && IsDialogMessageW(page, &msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

void Win32Ui::DoEvents() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // leave it for the event loop
      return;
    }
    Dispatch(msg);
  }
}

void Win32Ui::PumpFor(std::uint32_t milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
    // Sleeps until a message arrives or the time is up, whichever comes first.
    if (MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(end - now), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0) {
      DoEvents();
    }
  }
}

void Win32Ui::RunEventLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) Dispatch(msg);
  EndProgram();
}

void Win32Ui::EndProgram() {
  // Ended outright, wherever the program stands: a transfer or a name lookup may be under way
  // on another thread, and ExitProcess would run the libraries' detach code, which can wait for
  // locks such a thread holds. Files written so far are the system's already and stay as they
  // are.
  TerminateProcess(GetCurrentProcess(), 0);
  ExitProcess(0);
}

}  // namespace kvt::win32
