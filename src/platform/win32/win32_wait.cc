#include "platform/win32/win32_wait.h"

#include "platform/platform.h"

namespace kvt::win32 {
namespace {

// One worker thread and its hand-over: the window's thread puts a job in and signals `start`;
// the worker runs it and signals `done`. `state` decides the race between a job finishing and
// the caller giving up on it.
struct Worker {
  enum : LONG { kIdle, kRunning, kFinished, kAbandoned };
  HANDLE start = nullptr;
  HANDLE done = nullptr;
  std::shared_ptr<BlockingJob> job;
  volatile LONG state = kIdle;
};

// Idle worker kept for the next call (the window's thread only).
Worker* g_idle = nullptr;
volatile LONG g_outstanding = 0;

void Destroy(Worker* w) {
  if (w->start != nullptr) CloseHandle(w->start);
  if (w->done != nullptr) CloseHandle(w->done);
  delete w;
}

DWORD WINAPI WorkerMain(void* param) {
  Worker* w = static_cast<Worker*>(param);
  while (WaitForSingleObject(w->start, INFINITE) == WAIT_OBJECT_0) {
    if (!w->job) break;  // no longer needed
    w->job->Run();
    if (InterlockedCompareExchange(&w->state, Worker::kFinished, Worker::kRunning) !=
        Worker::kRunning) {
      // The caller gave up on this job: nobody waits for it or for this worker any more.
      w->job.reset();
      Destroy(w);
      InterlockedDecrement(&g_outstanding);
      return 0;
    }
    SetEvent(w->done);
  }
  Destroy(w);
  return 0;
}

Worker* TakeWorker() {
  if (g_idle != nullptr) {
    Worker* w = g_idle;
    g_idle = nullptr;
    return w;
  }
  Worker* w = new Worker;
  w->start = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  w->done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = nullptr;
  if (w->start != nullptr && w->done != nullptr) {
    thread = CreateThread(nullptr, 64 * 1024, WorkerMain, w, STACK_SIZE_PARAM_IS_A_RESERVATION,
                          nullptr);
  }
  if (thread == nullptr) {
    Destroy(w);
    return nullptr;
  }
  CloseHandle(thread);  // the worker lives on its own; it is reached through its events
  return w;
}

void KeepWorker(Worker* w) {
  w->job.reset();
  w->state = Worker::kIdle;
  if (g_idle == nullptr) {
    g_idle = w;
    return;
  }
  // A nested call's worker: one idle worker is enough. Woken without a job, it ends.
  SetEvent(w->start);
}

// The window's events through the installed user interface; without one (adapters used on
// their own) the thread's messages are still dispatched so that the wait does not spin.
void PumpMessages() {
  if (platform::Sys().ui != nullptr) {
    platform::DoEvents();
    return;
  }
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace

bool RunWhilePumping(const std::shared_ptr<BlockingJob>& job, DWORD limit_ms) {
  Worker* w = TakeWorker();
  if (w == nullptr) {
    // No thread to be had: do the call here rather than not at all.
    job->Run();
    return true;
  }
  w->job = job;
  w->state = Worker::kRunning;
  InterlockedIncrement(&g_outstanding);
  SetEvent(w->start);
  const ULONGLONG begin = GetTickCount64();
  while (true) {
    DWORD wait = INFINITE;
    if (limit_ms != INFINITE) {
      const ULONGLONG spent = GetTickCount64() - begin;
      wait = spent >= limit_ms ? 0 : static_cast<DWORD>(limit_ms - spent);
    }
    const DWORD r = MsgWaitForMultipleObjectsEx(1, &w->done, wait, QS_ALLINPUT,
                                                MWMO_INPUTAVAILABLE);
    if (r == WAIT_OBJECT_0) break;
    if (r == WAIT_OBJECT_0 + 1) {
      PumpMessages();
      continue;
    }
    // Time is up (or the wait itself failed): give the job up unless it just finished.
    if (InterlockedCompareExchange(&w->state, Worker::kAbandoned, Worker::kRunning) ==
        Worker::kRunning) {
      return false;  // the worker cleans up after itself
    }
    WaitForSingleObject(w->done, INFINITE);
    break;
  }
  InterlockedDecrement(&g_outstanding);
  KeepWorker(w);
  return true;
}

bool BlockingCallsOutstanding() { return g_outstanding != 0; }

}  // namespace kvt::win32
