// SHA-256 on a thread of its own: the pieces handed to Update are copied into a small ring of
// buffers, and a hashing thread digests them while the caller goes on (receiving the next piece
// of a download, say). Shared by the crypto adapters, which supply the thread and the wake-ups.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "platform/crypto.h"

namespace kvt::platform {

// One thread waits for it, another gives it. A wake-up given while nobody waits is kept for the
// next Wait, and several such are kept as one (an auto-reset event).
class Wakeup {
 public:
  virtual ~Wakeup() = default;
  virtual void Give() = 0;
  virtual void Wait() = 0;
};

// A running thread; destroying this waits for the thread's function to return.
class Joinable {
 public:
  virtual ~Joinable() = default;
};

// What the hashing thread needs from the system.
class ThreadKit {
 public:
  virtual ~ThreadKit() = default;
  // nullptr when the system cannot provide one.
  virtual std::unique_ptr<Wakeup> NewWakeup() = 0;
  // Runs `body` on a new thread; nullptr (and `body` never runs) when none can be started.
  virtual std::unique_ptr<Joinable> Start(std::function<void()> body) = 0;
};

// The ring: this many buffers of this many bytes each, the most memory the pipeline holds.
inline constexpr std::size_t kSha256PipelineSlots = 4;
inline constexpr std::size_t kSha256PipelineSlotSize = 64 * 1024;

// SHA-256 of the pieces given to the result's Update, digested by `serial` on a thread of `kit`'s.
// Update copies the piece and returns before it is digested (it waits only while the ring is
// full); Finish waits for the ring to drain. Destroying the result stops the thread after at
// most the buffer it is digesting. When `kit` cannot provide a thread, `serial` itself is
// returned: the same digest, computed on the caller's thread.
std::unique_ptr<Sha256> NewPipelinedSha256(std::unique_ptr<Sha256> serial, ThreadKit& kit);

}  // namespace kvt::platform
