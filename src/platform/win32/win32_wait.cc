#include "platform/win32/win32_wait.h"

#include "platform/platform.h"

namespace kvt::win32 {
namespace {

// The window's events through the installed user interface (a WM_QUIT there ends the
// program). Without one (adapters used on their own) the thread's messages are dispatched
// here; a WM_QUIT is put back and ends the wait (false), which would otherwise wake at once for
// it again and again.
bool PumpMessages() {
  if (platform::Sys().ui != nullptr) {
    platform::DoEvents();
    return true;
  }
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return false;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return true;
}

// Waits for `object`, processing messages whenever they arrive.
bool Wait(HANDLE object, DWORD limit_ms) {
  const ULONGLONG begin = GetTickCount64();
  while (true) {
    DWORD wait = INFINITE;
    if (limit_ms != INFINITE) {
      const ULONGLONG spent = GetTickCount64() - begin;
      if (spent >= limit_ms) return WaitForSingleObject(object, 0) == WAIT_OBJECT_0;
      wait = static_cast<DWORD>(limit_ms - spent);
    }
    const DWORD r = MsgWaitForMultipleObjectsEx(1, &object, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (r == WAIT_OBJECT_0) return true;
    if (r == WAIT_OBJECT_0 + 1) {
      if (!PumpMessages()) return WaitForSingleObject(object, 0) == WAIT_OBJECT_0;
      continue;
    }
    if (r == WAIT_FAILED) return false;
  }
}

DWORD WINAPI RunJob(void* param) {
  auto* job = static_cast<std::shared_ptr<BlockingJob>*>(param);
  (*job)->Run();
  delete job;  // the thread's own reference
  return 0;
}

}  // namespace

bool WaitWhilePumping(HANDLE object, DWORD limit_ms) { return Wait(object, limit_ms); }

bool RunWhilePumping(const std::shared_ptr<BlockingJob>& job, DWORD limit_ms) {
  auto* reference = new std::shared_ptr<BlockingJob>(job);
  // The program's normal stack size: a name lookup runs through whatever resolver and network
  // providers the system has installed.
  HANDLE thread = CreateThread(nullptr, 0, RunJob, reference, 0, nullptr);
  if (thread == nullptr) {
    delete reference;
    job->Run();  // no thread to be had: do the call here rather than not at all
    return true;
  }
  const bool finished = WaitWhilePumping(thread, limit_ms);
  CloseHandle(thread);
  return finished;
}

}  // namespace kvt::win32
