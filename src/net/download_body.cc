// The body of a download: received piece by piece into the partial file, hashed as it is
// written, its progress reported at the display's pace.
#include <memory>
#include <string>

#include "net/download_parts.h"
#include "startup/pending_error.h"

namespace kvt::Mupdate::parts {
namespace {

// Progress is reported at this pace (the window's display shows each report).
constexpr double kDisplayInterval = 0.2;

}  // namespace

BodyEnd ReceiveBody(platform::InetHandle request, platform::FileHandle file,
                    const std::string& captionPrefix, platform::Sha256* hash, Events& events) {
  const platform::Platform& sys = platform::Sys();
  const std::unique_ptr<char[]> buffer(new char[kReadSize]);
  double last_update = sys.clock->MonotonicSeconds();
  while (true) {
    // The window's events before and after every piece; on a fast line, where pieces follow each
    // other within microseconds, the adapter may look into its queue less often.
    platform::DoEventsIfDue();
    // Never more than the announced length still owed: bytes a server sends past it are no
    // part of the body, although some clients (Wine's WinINet) hand them on.
    std::uint32_t want = kReadSize;
    if (TotalBytes - ReceivedBytes < kReadSize) {
      want = static_cast<std::uint32_t>(TotalBytes - ReceivedBytes);
    }
    std::uint32_t n = 0;
    const bool read_ok = sys.internet->ReadFile(request, buffer.get(), want, n);
    if (read_ok && n > 0) {
      platform::DoEventsIfDue();
      const platform::FileResult written =
          sys.files->WriteAt(file, static_cast<std::uint64_t>(ReceivedBytes), buffer.get(), n);
      if (written != platform::FileResult::kOk) {
        // The file can no longer hold the body: reading on would only waste the transfer.
        PendingError::Raise("cannot write the downloaded data");
        events.FileFailed("write", "the downloaded data", ResultText(written));
        return written == platform::FileResult::kDiskFull ? BodyEnd::kDiskFull
                                                          : BodyEnd::kIncomplete;
      }
      if (hash != nullptr) hash->Update(buffer.get(), n);
      ReceivedBytes += n;
      const double now = sys.clock->MonotonicSeconds();
      if (now - last_update >= kDisplayInterval) {
        last_update = now;
        events.Progress(captionPrefix, ReceivedBytes, TotalBytes);
      }
    }
    if (ReceivedBytes == TotalBytes) return BodyEnd::kComplete;
    // A failed or timed-out read, or the end of the body before the announced length (the
    // server closed the connection early).
    if (!read_ok || n == 0) return BodyEnd::kIncomplete;
  }
}

}  // namespace kvt::Mupdate::parts
