// The file of a download: room on the volume, the old file and a leftover partial file deleted,
// the partial file created, and after the body the hash compared and the name given and held.
#include <algorithm>
#include <string>

#include "net/download_parts.h"
#include "net/release_signature.h"
#include "startup/pending_error.h"

namespace kvt::Mupdate::parts {
namespace {

using platform::FileResult;
using platform::Sys;

// A file another process holds is tried again after pauses that start short and grow, for this
// long in all.
constexpr std::uint32_t kHeldRetryMs = 10000;
constexpr std::uint32_t kFirstPauseMs = 50;
constexpr std::uint32_t kLongestPauseMs = 1000;

// A skipped failure of a file operation: held as the pending error and reported.
void Skip(Events& events, const char* operation, const std::string& path,
          FileResult result = FileResult::kFailed) {
  PendingError::Raise(std::string("cannot ") + operation + " " + path);
  std::string how = ResultText(result);
  const std::uint32_t code = Sys().files->LastErrorCode();
  if (code != 0) how += ", system error " + std::to_string(code);
  events.FileFailed(operation, path, how);
}

// The folder part of a file path, up to and with its last separator; empty without one.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Bytes on the volume that deleting the file at `path` gives back; 0 when there is none.
std::uint64_t FreedByDeleting(const std::string& path) {
  std::uint64_t size = 0;
  return Sys().files->FileSize(path, size) ? size : 0;
}

// Runs a change to a file until it is no longer refused because another process holds the
// file: a virus scanner opens every new file and keeps it open while it reads it. Between
// tries the window keeps answering; after kHeldRetryMs of pauses the refusal stands.
template <typename Change>
FileResult RetryWhileHeld(Change change) {
  FileResult result = change();
  std::uint32_t waited = 0;
  std::uint32_t pause = kFirstPauseMs;
  while (result == FileResult::kHeld && waited < kHeldRetryMs) {
    pause = std::min(pause, kHeldRetryMs - waited);
    Sys().ui->PumpFor(pause);
    waited += pause;
    pause = std::min(pause * 2, kLongestPauseMs);
    result = change();
  }
  return result;
}

// Deletes the file at `path` when there is one, waiting while another process holds it; a
// failure is skipped and reported, a failed look into the folder only when `report_listing`.
FileResult DeleteIfThere(const std::string& path, bool report_listing, Outcome& outcome) {
  bool ok = true;
  FileResult changed = FileResult::kOk;
  if (Sys().files->FileExists(path, ok)) {
    changed = RetryWhileHeld([&] { return Sys().files->DeleteFile(path); });
    if (changed != FileResult::kOk) Skip(outcome.events, "delete", path, changed);
  }
  if (!ok && report_listing) Skip(outcome.events, "list", path);
  return changed;
}

}  // namespace

const char* ResultText(FileResult result) {
  switch (result) {
    case FileResult::kHeld:
      return "held by another process";
    case FileResult::kDiskFull:
      return "disk full";
    case FileResult::kOk:
      return "ok";
    default:
      return "failed";
  }
}

bool RoomFor(const std::string& localPath, const std::string& partial, std::int64_t size,
             Outcome& outcome) {
  std::uint64_t free_bytes = 0;
  if (!Sys().files->FreeSpace(FolderOf(localPath), free_bytes)) return true;
  const std::uint64_t needed = static_cast<std::uint64_t>(size);
  const std::uint64_t freed = FreedByDeleting(localPath) + FreedByDeleting(partial);
  if (needed <= freed || needed - freed <= free_bytes) return true;
  LastDownloadFailure = DownloadFailure::kDiskFull;
  return outcome.Fail("disk full: " + std::to_string(free_bytes) + " bytes free and " +
                      std::to_string(freed) + " to be freed, for " + std::to_string(size));
}

platform::FileHandle StartPartialFile(const std::string& localPath, const std::string& partial,
                                      Outcome& outcome) {
  const platform::Platform& sys = Sys();
  (void)DeleteIfThere(localPath, true, outcome);
  // A leftover partial file is nobody's: it is deleted at once, without waiting.
  bool ok = true;
  FileResult changed = FileResult::kOk;
  if (sys.files->FileExists(partial, ok) &&
      (changed = sys.files->DeleteFile(partial)) != FileResult::kOk) {
    Skip(outcome.events, "delete", partial, changed);
  }
  if (!ok) Skip(outcome.events, "list", partial);
  // Until it is closed, others may only read the partial file: the bytes hashed are the bytes
  // written, and they take their name through this same handle.
  const platform::FileHandle file = sys.files->CreateForWrite(partial);
  if (file == 0) {
    // Nowhere to store the body: the transfer cannot succeed.
    Skip(outcome.events, "create", partial);
    outcome.Fail("cannot create " + partial);
  }
  return file;
}

bool AbandonPartialFile(platform::FileHandle file, const std::string& partial, BodyEnd end,
                        Outcome& outcome) {
  if (!Sys().files->Close(file)) Skip(outcome.events, "close", partial);
  if (end != BodyEnd::kDiskFull) {
    return outcome.Fail("broken off after " + std::to_string(ReceivedBytes) + " of " +
                        std::to_string(TotalBytes) + " bytes (cut, timed out or not written)");
  }
  // Unlike a cut transfer's, this partial file is no use to anyone: it would only keep the
  // volume full.
  LastDownloadFailure = DownloadFailure::kDiskFull;
  (void)Sys().files->DeleteFile(partial);
  return outcome.Fail("disk full after " + std::to_string(ReceivedBytes) + " bytes");
}

bool FinishFile(platform::FileHandle file, const std::string& localPath,
                const std::string& partial, platform::Sha256* hash, const SignedFile* expected,
                platform::UniqueHeldFile* held, Outcome& outcome) {
  const platform::Platform& sys = Sys();
  // Complete means the announced length, which was checked to be the signed size.
  if (hash != nullptr && hash->Finish() != expected->sha256) {
    // Not what the vendor signed: deleted through the handle that wrote it, so that it never
    // bears a name anyone would run.
    const FileResult deleted = sys.files->DeleteOpen(file);
    if (deleted != FileResult::kOk) Skip(outcome.events, "delete", partial, deleted);
    LastDownloadFailure = DownloadFailure::kTampered;
    outcome.verdict = Verdict::kDiffers;
    return outcome.Fail("not what the vendor signed");
  }
  if (hash != nullptr) outcome.verdict = Verdict::kMatches;

  // Where the folder cannot be listed, giving the name tells whether the old file is still there.
  const FileResult deleted = DeleteIfThere(localPath, false, outcome);
  // The name is given through the writing handle, and the file stays held from there on.
  platform::HeldFile held_file = 0;
  // On success the handle passes to the held file (and `file` becomes 0).
  const FileResult renamed = RetryWhileHeld([&] {
    if (file == 0) return FileResult::kFailed;
    return sys.files->HoldAs(file, localPath, static_cast<std::uint64_t>(ReceivedBytes),
                             held_file);
  });
  if (file != 0 && !sys.files->Close(file)) Skip(outcome.events, "close", partial);
  if (renamed == FileResult::kOk) {
    LastDownloadFailure = DownloadFailure::kNone;
    if (held != nullptr) {
      held->Put(*sys.files) = held_file;
    } else {
      (void)sys.files->Release(held_file);
    }
    return true;
  }
  Skip(outcome.events, "rename", partial, renamed);
  if (renamed == FileResult::kChanged) {
    // Another process changed or replaced the file between its rename and its hold.
    LastDownloadFailure = DownloadFailure::kTampered;
    outcome.verdict = Verdict::kDiffers;
    return outcome.Fail("changed by another process as it took its name");
  }
  if (renamed == FileResult::kHeld || deleted == FileResult::kHeld) {
    LastDownloadFailure = DownloadFailure::kFileInUse;
  }
  return outcome.Fail("cannot give " + partial + " its name");
}

}  // namespace kvt::Mupdate::parts
