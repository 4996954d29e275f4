// The three parts of one download, for download.cc alone: the request (opened, sent, proxy login,
// status and length), the body (received, hashed, progress) and the file's replacement (room on
// the volume, the old file and the partial file deleted, the hash compared, the name given and
// held).
#pragma once

#include <cstdint>
#include <string>

#include "net/download.h"
#include "net/events.h"
#include "platform/platform.h"

namespace kvt::Mupdate::parts {

// Each read takes what has arrived, up to this much, and the piece goes to disk at once.
inline constexpr std::uint32_t kReadSize = 64 * 1024;

// What one download learns on its way, for the report of its end.
struct Outcome {
  explicit Outcome(Events& receiver) : events(receiver) {}

  Events& events;
  std::string reason;  // why it failed, empty while nothing has
  Verdict verdict = Verdict::kNotChecked;

  // Records why the download failed; returns false for the caller to return.
  bool Fail(std::string why) {
    reason = std::move(why);
    return false;
  }
};

// Closes an internet handle when it goes out of scope.
class UniqueHinternet {
 public:
  UniqueHinternet() = default;
  UniqueHinternet(const UniqueHinternet&) = delete;
  UniqueHinternet& operator=(const UniqueHinternet&) = delete;
  ~UniqueHinternet() { Reset(0); }
  void Reset(platform::InetHandle h) {
    if (h_ != 0) platform::Sys().internet->CloseHandle(h_);
    h_ = h;
  }
  platform::InetHandle get() const { return h_; }
  explicit operator bool() const { return h_ != 0; }

 private:
  platform::InetHandle h_ = 0;
};

// Why a change to a file was refused, for the report.
const char* ResultText(platform::FileResult result);

// --- The request (download_request.cc) ---

// The handles of one request; the request closes first, then the connection, then the session.
struct Request {
  UniqueHinternet open;
  UniqueHinternet connect;
  UniqueHinternet request;
  std::string status;       // the response's status code as text, empty without one
  std::int64_t length = 0;  // the announced body length, when `length_known`
  bool length_known = false;
};

// Sends a GET for `url` and reads the response's status and announced length. False (with the
// reason in `outcome`) when the URL is unusable, the machine is offline, or no response came.
bool SendRequest(const std::string& url, const Scheme& scheme, bool proxy, Request& request,
                 Outcome& outcome);

// --- The body (download_body.cc) ---

enum class BodyEnd { kComplete, kIncomplete, kDiskFull };

// Reads the body into the open partial file: complete when exactly the announced `TotalBytes`
// arrived and every byte was written. Each written piece also goes into `hash` when there is one.
BodyEnd ReceiveBody(platform::InetHandle request, platform::FileHandle file,
                    const std::string& captionPrefix, platform::Sha256* hash, Events& events);

// --- The file's replacement (download_file.cc) ---

// Refuses (kDiskFull) a body of `size` bytes the volume of `localPath` cannot hold, counting
// what deleting the old file and the partial file gives back.
bool RoomFor(const std::string& localPath, const std::string& partial, std::int64_t size,
             Outcome& outcome);

// Deletes the old file and a leftover partial file (failures are skipped and reported), then
// creates the partial file for writing; 0 when it cannot be created.
platform::FileHandle StartPartialFile(const std::string& localPath, const std::string& partial,
                                      Outcome& outcome);

// After a body that did not complete: the partial file is closed (and, after a full disk,
// deleted). Always false.
bool AbandonPartialFile(platform::FileHandle file, const std::string& partial, BodyEnd end,
                        Outcome& outcome);

// After a complete body: compares `hash` (when given) with the signed digest, then gives the
// partial file its name through the handle that wrote it and holds it (in `held`, or lets it go).
// The partial file is closed in every case. True when the file is stored under `localPath`.
bool FinishFile(platform::FileHandle file, const std::string& localPath,
                const std::string& partial, platform::Sha256* hash, const SignedFile* expected,
                platform::UniqueHeldFile* held, Outcome& outcome);

}  // namespace kvt::Mupdate::parts
