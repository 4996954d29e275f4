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
  // A box re-enables its owner when it closes: a window whose input is blocked (the folder
  // picker is open) stays blocked.
  const bool blocked = owner != nullptr && !IsWindowEnabled(owner);
  const int answer = MessageBoxW(owner, Widen(text).c_str(), Widen(title).c_str(), flags);
  if (blocked) EnableWindow(owner, FALSE);
  return answer;
}

void Win32Ui::Dispatch(MSG& msg) {
  // Tab, arrow and access keys are handled within the page in front only.
  HWND page = window_.FrontPage();
  if (page != nullptr && IsDialogMessageW(page, &msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

void Win32Ui::DoEventsIfDue() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  if (ticks_per_interval_ == 0) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    ticks_per_interval_ = frequency.QuadPart * kPumpIntervalMs / 1000;
  }
  if (pumped_ && now.QuadPart - last_pump_ < ticks_per_interval_) return;
  DoEvents();
}

void Win32Ui::DoEvents() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  last_pump_ = now.QuadPart;
  pumped_ = true;
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    // The event loop ends the program on WM_QUIT; so does a pump inside a handler, rather than
    // leave it in the queue, where every wait would wake for it at once, again and again.
    if (msg.message == WM_QUIT) EndProgram();
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
