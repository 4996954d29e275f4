#include "platform/sha256_pipeline.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <utility>

namespace kvt::platform {
namespace {

constexpr std::size_t kSlots = kSha256PipelineSlots;
constexpr std::size_t kSlotSize = kSha256PipelineSlotSize;
static_assert(kSlots >= 2 && (kSlots & (kSlots - 1)) == 0,
              "the slot counters wrap around: a power of two keeps their remainders in order");

// One producer (the caller of Update and Finish) and one consumer (the hashing thread) share a
// ring of slots. `published_` counts the slots filled, `digested_` the slots hashed; each is
// written by one side only. A side that finds nothing to do says so in its `*_waiting_` flag
// before it looks once more and sleeps, and the other side gives a wake-up only when it sees
// that flag: on a steady stream neither pays for a wake-up it does not need. (All the atomics
// are sequentially consistent: the flag and the counter of each side are written by one thread
// and read by the other, and either the sleeper sees the new count or the other side sees the
// flag.)
class PipelinedSha256 final : public Sha256 {
 public:
  PipelinedSha256(std::unique_ptr<Sha256> serial, std::unique_ptr<Wakeup> filled,
                  std::unique_ptr<Wakeup> emptied)
      : serial_(std::move(serial)),
        filled_(std::move(filled)),
        emptied_(std::move(emptied)),
        buffers_(new char[kSlots * kSlotSize]) {}
  ~PipelinedSha256() override { Stop(); }
  PipelinedSha256(const PipelinedSha256&) = delete;
  PipelinedSha256& operator=(const PipelinedSha256&) = delete;

  bool Start(ThreadKit& kit) {
    worker_ = kit.Start([this] { Digest(); });
    return worker_ != nullptr;
  }
  // The serial computation back, when no thread could be started.
  std::unique_ptr<Sha256> TakeSerial() { return std::move(serial_); }

  void Update(const char* data, std::size_t size) override {
    if (worker_ == nullptr) return;  // spent by Finish
    // Pieces larger than a slot are copied a slot at a time.
    while (size > 0) {
      WaitForFree(1);
      const std::uint32_t at = published_.load();
      const std::size_t n = std::min(size, kSlotSize);
      std::memcpy(Slot(at), data, n);
      sizes_[at % kSlots] = n;
      published_.store(at + 1);
      if (consumer_waiting_.exchange(false)) filled_->Give();
      data += n;
      size -= n;
    }
  }

  Sha256Digest Finish() override {
    if (worker_ != nullptr) {
      WaitForFree(kSlots);
      Stop();
    }
    return serial_->Finish();
  }

 private:
  char* Slot(std::uint32_t count) { return buffers_.get() + (count % kSlots) * kSlotSize; }
  std::size_t Free() const { return kSlots - (published_.load() - digested_.load()); }

  // The producer's wait for `slots` free slots.
  void WaitForFree(std::size_t slots) {
    while (Free() < slots) {
      producer_waiting_.store(true);
      if (Free() < slots) emptied_->Wait();
      producer_waiting_.store(false);
    }
  }

  // The hashing thread: digests the slots in order until told to stop.
  void Digest() {
    std::uint32_t at = digested_.load();
    while (true) {
      while (!stop_.load() && published_.load() == at) {
        consumer_waiting_.store(true);
        if (!stop_.load() && published_.load() == at) filled_->Wait();
        consumer_waiting_.store(false);
      }
      if (stop_.load()) return;
      serial_->Update(Slot(at), sizes_[at % kSlots]);
      digested_.store(++at);
      // A waiting producer is woken once half the ring is free, not for every slot: it then
      // fills several slots at once, and a digest slower than the transfer costs a wake-up
      // every few slots rather than every one.
      if (Free() >= kSlots / 2 && producer_waiting_.exchange(false)) emptied_->Give();
    }
  }

  // Ends the hashing thread, which may leave slots undigested: only for Finish, after the ring
  // has drained, and for a computation given up.
  void Stop() {
    if (worker_ == nullptr) return;
    stop_.store(true);
    filled_->Give();
    worker_.reset();
  }

  std::unique_ptr<Sha256> serial_;
  std::unique_ptr<Wakeup> filled_;   // the producer published a slot
  std::unique_ptr<Wakeup> emptied_;  // the hashing thread freed slots
  std::unique_ptr<char[]> buffers_;
  std::array<std::size_t, kSlots> sizes_{};
  std::atomic<std::uint32_t> published_{0};
  std::atomic<std::uint32_t> digested_{0};
  std::atomic<bool> producer_waiting_{false};
  std::atomic<bool> consumer_waiting_{false};
  std::atomic<bool> stop_{false};
  // Last: destroyed (the thread joined) before anything the thread uses.
  std::unique_ptr<Joinable> worker_;
};

}  // namespace

std::unique_ptr<Sha256> NewPipelinedSha256(std::unique_ptr<Sha256> serial, ThreadKit& kit) {
  if (serial == nullptr) return nullptr;
  std::unique_ptr<Wakeup> filled = kit.NewWakeup();
  std::unique_ptr<Wakeup> emptied = kit.NewWakeup();
  if (filled == nullptr || emptied == nullptr) return serial;
  auto pipelined =
      std::make_unique<PipelinedSha256>(std::move(serial), std::move(filled), std::move(emptied));
  if (!pipelined->Start(kit)) return pipelined->TakeSerial();
  return pipelined;
}

}  // namespace kvt::platform
