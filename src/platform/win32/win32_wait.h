// Blocking calls that keep the window alive: the call runs on a worker thread while the
// window's thread goes on processing its messages (and so runs the window's event handlers)
// until the call returns or its time limit passes.
#pragma once

#include <windows.h>

#include <memory>

namespace kvt::win32 {

// A blocking call and its results. Run() executes on the worker thread and may touch only the
// job's own members: the caller may have given up on it and gone on by the time it returns.
class BlockingJob {
 public:
  virtual ~BlockingJob() = default;
  virtual void Run() = 0;
};

// Runs `job` on a worker thread and processes the window's messages (platform::DoEvents)
// until it is done: true. False when it is not done within `limit_ms` (INFINITE: no limit);
// the job is then abandoned, finishes on its own and is destroyed by the worker, and later
// calls get a new worker. A handler run meanwhile may end the program.
bool RunWhilePumping(const std::shared_ptr<BlockingJob>& job, DWORD limit_ms);

// True while a job runs or an abandoned one has not finished yet (ending the process must then
// not wait for the loader lock that such a thread may hold).
bool BlockingCallsOutstanding();

}  // namespace kvt::win32
