// Waits that keep the window alive: the window's thread goes on processing its messages (and so
// runs the window's event handlers) while it waits for an object or for a blocking call that
// runs on a worker thread.
#pragma once

#include <windows.h>

#include <memory>

namespace kvt::win32 {

// Waits until `object` is signalled (true) or `limit_ms` has passed (false; INFINITE: no
// limit), processing the window's messages meanwhile (platform::DoEvents). A handler run
// meanwhile may end the program; the window's busy state keeps it from starting other work.
bool WaitWhilePumping(HANDLE object, DWORD limit_ms);

// A blocking call and its results. Run() executes on a worker thread and may touch only the
// job's own members: the caller may have given up on it and gone on by the time it returns.
class BlockingJob {
 public:
  virtual ~BlockingJob() = default;
  virtual void Run() = 0;
};

// Runs `job` on a worker thread of its own and waits for it with WaitWhilePumping: true when it
// finished, false when it did not within `limit_ms` (the thread then finishes on its own and
// the job is released with it).
bool RunWhilePumping(const std::shared_ptr<BlockingJob>& job, DWORD limit_ms);

}  // namespace kvt::win32
