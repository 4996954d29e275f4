// HTTP download of one URL into one local file, reporting what happens to the caller's receiver.
#include "net/download.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "kvt/build_config.h"
#include "net/http_text.h"
#include "net/netcheck.h"
#include "net/release_signature.h"
#include "platform/platform.h"
#include "startup/mupdate.h"
#include "startup/pending_error.h"
#include "startup/texts.h"

namespace kvt::Mupdate {

std::int64_t ReceivedBytes = 0;
std::int64_t TotalBytes = 0;
DownloadFailure LastDownloadFailure = DownloadFailure::kNone;

namespace {

using platform::FileResult;
using platform::InetHandle;
using platform::Sys;

// Each read takes what has arrived, up to this much, and the piece goes to disk at once.
constexpr std::uint32_t kReadSize = 64 * 1024;
constexpr std::size_t kQueryBufferSize = 1024;
constexpr std::size_t kHeadBufferSize = 64 * 1024;
// Progress is reported at this pace (the window's display shows each report).
constexpr double kDisplayInterval = 0.2;
// A file another process holds is tried again after pauses that start short and grow, for this
// long in all.
constexpr std::uint32_t kHeldRetryMs = 10000;
constexpr std::uint32_t kFirstPauseMs = 50;
constexpr std::uint32_t kLongestPauseMs = 1000;
// Times a proxy may ask for a login before its answer counts as a refusal.
constexpr int kMaxProxyLogins = 5;
// What is read of a refusal's body before the request goes again (a proxy's login page).
constexpr std::int64_t kMaxDrainBytes = 1024 * 1024;

// Closes an internet handle when it goes out of scope.
class UniqueHinternet {
 public:
  explicit UniqueHinternet(InetHandle h = 0) : h_(h) {}
  UniqueHinternet(const UniqueHinternet&) = delete;
  UniqueHinternet& operator=(const UniqueHinternet&) = delete;
  ~UniqueHinternet() {
    if (h_ != 0) Sys().internet->CloseHandle(h_);
  }
  InetHandle get() const { return h_; }
  explicit operator bool() const { return h_ != 0; }

 private:
  InetHandle h_;
};

// A URL holding CR, LF or another control character could smuggle header lines into the
// request; such a URL is never used.
bool HasControlCharacter(const std::string& s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// The body length the server announced, when it announced exactly one valid length. A response
// may repeat the header line; the length counts only when every copy gives the same number, so
// a head too large to be read whole (where a later copy may hide) announces none.
bool AnnouncedLength(InetHandle request, std::int64_t& length) {
  std::string text;
  QueryHttpInfo(request, platform::kHttpQueryContentLength, text);
  if (!http::ParseContentLength(text, length)) return false;
  std::string head;
  if (!Sys().internet->QueryInfo(request, platform::kHttpQueryRawHeadersCrlf, kHeadBufferSize,
                                 head)) {
    return false;
  }
  std::size_t start = head.find("\r\n");  // past the status line
  while (start != std::string::npos && start + 2 < head.size()) {
    start += 2;
    const std::size_t end = head.find("\r\n", start);
    const std::string line = head.substr(start, end - start);
    const std::size_t colon = line.find(':');
    std::int64_t other = 0;
    if (colon != std::string::npos && http::EqualsNoCase(line.substr(0, colon), "content-length") &&
        (!http::ParseContentLength(line.substr(colon + 1), other) || other != length)) {
      return false;
    }
    start = end;
  }
  return true;
}

// `numerator` / `denominator` rounded to a whole number, halves to the even neighbour.
std::int64_t DivideHalfEven(std::int64_t numerator, std::int64_t denominator) {
  std::int64_t q = numerator / denominator;
  const std::int64_t r = numerator % denominator;
  if (2 * r > denominator || (2 * r == denominator && q % 2 != 0)) ++q;
  return q;
}

// Why a change to a file was refused, for the report.
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

// Reads and drops the rest of a response (at most kMaxDrainBytes), so that the connection is
// free for the request to go again.
void DrainBody(InetHandle request) {
  const std::unique_ptr<char[]> buffer(new char[kReadSize]);
  std::int64_t drained = 0;
  std::uint32_t n = 0;
  while (drained < kMaxDrainBytes &&
         Sys().internet->ReadFile(request, buffer.get(), kReadSize, n) && n > 0) {
    drained += n;
    platform::DoEvents();
  }
}

// Sends the request. Through a configured proxy (`proxy`), a proxy that asks for a login (407)
// gets the system's own password dialog, owned by the installer window, and the request goes
// again with what the user entered. False when the request cannot be sent or the user cancels
// the dialog. A proxy that goes on asking, and a 407 on a direct connection (whoever sent it is
// no proxy of this user's, and gets no password), are left for the status check.
bool SendRequest(InetHandle request, bool proxy) {
  const platform::Platform& sys = Sys();
  for (int logins = 0;; ++logins) {
    if (!sys.internet->SendRequest(request)) return false;
    platform::DoEvents();
    std::string status;
    QueryHttpInfo(request, platform::kHttpQueryStatusCode, status);
    if (status != "407" || !proxy || logins == kMaxProxyLogins) return true;
    DrainBody(request);
    const std::uint32_t answer = sys.internet->ErrorDlg(
        request, platform::kErrorInternetIncorrectPassword,
        platform::kFlagsErrorUiFilterForErrors | platform::kFlagsErrorUiFlagsGenerateData |
            platform::kFlagsErrorUiFlagsChangeOptions);
    if (answer != platform::kErrorInternetForceRetry) return false;
  }
}

// How the body ended.
enum class BodyEnd { kComplete, kIncomplete, kDiskFull };

// Reads the body into the open partial file: complete when exactly the announced `TotalBytes`
// arrived and every byte was written. Each written piece also goes into `hash` when there is one.
BodyEnd ReceiveBody(InetHandle request, platform::FileHandle file, const std::string& captionPrefix,
                    platform::Sha256* hash, Events& events) {
  const platform::Platform& sys = Sys();
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
      const FileResult written =
          sys.files->WriteAt(file, static_cast<std::uint64_t>(ReceivedBytes), buffer.get(), n);
      if (written != FileResult::kOk) {
        // The file can no longer hold the body: reading on would only waste the transfer.
        PendingError::Raise("cannot write the downloaded data");
        events.FileFailed("write", "the downloaded data", ResultText(written));
        return written == FileResult::kDiskFull ? BodyEnd::kDiskFull : BodyEnd::kIncomplete;
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

}  // namespace

std::string GetHostFromUrl(const std::string& url, const Scheme& scheme) {
  if (url.empty()) return {};
  const std::string_view prefix = scheme.prefix;
  const std::size_t first = url.find(prefix);
  if (first == std::string::npos) return {};
  const std::size_t start = first + prefix.size();
  // The piece after the first scheme ends where the next one begins.
  std::string piece = url.substr(start, url.find(prefix, start) - start);
  return piece.substr(0, piece.find('/'));
}

std::string GetPathFromUrl(const std::string& url, const std::string& host, const Scheme& scheme) {
  if (host.empty()) return {};
  // The host follows the scheme; a short host name such as "h" or "tp" also occurs inside
  // "http://" itself, so the search starts after the scheme.
  const std::string_view prefix = scheme.prefix;
  const std::size_t at_scheme = url.find(prefix);
  const std::size_t from = at_scheme == std::string::npos ? 0 : at_scheme + prefix.size();
  const std::size_t at = url.find(host, from);
  if (at == std::string::npos) return {};
  return url.substr(at + host.size());
}

std::string QueryHttpInfo(platform::InetHandle request, std::uint32_t infoLevel,
                          std::string& text) {
  text.clear();
  // The call's own result is not needed: an absent item leaves no digits in the text.
  (void)Sys().internet->QueryInfo(request, infoLevel, kQueryBufferSize, text);
  return {};
}

std::string FormatSize(std::int64_t n) {
  if (n < 1024) return std::to_string(n) + "B";
  if (n <= 0xFFFFF) return std::to_string(DivideHalfEven(n, 1024)) + "KB";
  // Hundredths of a megabyte, from the whole megabytes and the rest apart so that no
  // intermediate value overflows, whatever the size.
  const std::int64_t whole = n / 1048576;
  const std::int64_t hundredths = whole * 100 + DivideHalfEven(n % 1048576 * 100, 1048576);
  const std::int64_t cents = hundredths % 100;
  return std::to_string(hundredths / 100) + (cents < 10 ? ".0" : ".") + std::to_string(cents) +
         "M";
}

std::int16_t DownloadFile(const std::string& url, const std::string& localPath,
                          const std::string& captionPrefix, const SignedFile* expected,
                          const Scheme& scheme, std::int64_t max_bytes,
                          platform::UniqueHeldFile* held, Events* receiver) {
  const platform::Platform& sys = Sys();
  std::int16_t result = 0;
  if (held != nullptr) held->Reset();
  TotalBytes = 0;
  ReceivedBytes = 0;
  LastDownloadFailure = DownloadFailure::kNotStored;
  PendingError::Clear();
  platform::DoEvents();

  // However the transfer ends, the receiver hears how and why.
  Events quiet;
  Events& events = receiver != nullptr ? *receiver : quiet;
  std::string reason;
  Verdict verdict = Verdict::kNotChecked;
  struct Ending {
    std::function<void()> report;
    ~Ending() { report(); }
  } ending{[&] { events.TransferEnds(url, ReceivedBytes, result == -1, reason, verdict); }};
  const auto fail = [&reason](std::string why) -> std::int16_t {
    reason = std::move(why);
    return 0;
  };

  if (url.empty() || localPath.empty()) return fail("no URL or no file to store it in");
  if (HasControlCharacter(url)) return fail("the URL holds a control character");
  // A secure scheme never downgrades: a URL of any other scheme is not even looked at.
  if (scheme.secure && url.rfind(scheme.prefix, 0) != 0) {
    return fail(std::string("not a ") + scheme.prefix + " URL");
  }
  const bool proxy = sys.internet->ProxyConfigured();
  events.RequestBegins(url, proxy ? "through the configured proxy" : "direct");
  if (!sys.internet->GetConnectedState()) return fail("the system reports no connection");
  // Behind a proxy the proxy looks up the names: many office networks resolve no outside name
  // themselves, and there the probe's lookup would refuse a network that works.
  if (!proxy && Mnetcheck::CanResolveHost() != -1) {
    return fail(std::string("the name ") + build::kProbeHost + " cannot be looked up");
  }

  // Declared in this order so that they close request first, then connect, then open.
  UniqueHinternet open(sys.internet->Open(url));
  if (!open) return fail("cannot open an internet session");
  const std::string host = GetHostFromUrl(url, scheme);
  UniqueHinternet connect(sys.internet->Connect(open.get(), host, scheme.port));
  if (!connect) return fail("cannot connect to " + host);
  const std::string path = GetPathFromUrl(url, host, scheme);
  // Always from the server, and never copied into the user's internet cache.
  UniqueHinternet request(sys.internet->OpenRequest(
      connect.get(), "GET", path, "HTTP/1.1",
      platform::kInternetFlagReload | platform::kInternetFlagNoCacheWrite | scheme.request_flags));
  if (!request) return fail("cannot open the request");
  // Nothing waits on the network for ever: a server that cannot be reached, or that stops
  // sending, ends the transfer as a failure.
  (void)sys.internet->SetOption(request.get(), platform::kInternetOptionConnectTimeout,
                                build::kConnectTimeoutMs);
  (void)sys.internet->SetOption(request.get(), platform::kInternetOptionSendTimeout,
                                build::kReceiveTimeoutMs);
  (void)sys.internet->SetOption(request.get(), platform::kInternetOptionReceiveTimeout,
                                build::kReceiveTimeoutMs);

  platform::DoEvents();
  for (const std::string& line : {std::string("Accept: */*"), std::string("User-Agent: Pelorix1.0"),
                                  "Host: " + host, std::string("Connection: close")}) {
    (void)sys.internet->AddRequestHeaders(request.get(), line, platform::kHttpAddReqFlagAdd);
  }
  if (!SendRequest(request.get(), proxy)) {
    return fail("no response (refused, broken off or timed out), or the proxy login was cancelled");
  }

  std::int64_t announced = 0;
  const bool length_known = AnnouncedLength(request.get(), announced);
  if (length_known) TotalBytes = announced;
  std::string text;
  QueryHttpInfo(request.get(), platform::kHttpQueryStatusCode, text);
  events.ResponseHead(text, length_known ? announced : -1);
  if (text != "200" && text != "206") return fail("status " + (text.empty() ? "none" : text));
  // Without one valid length no end of the body can be told from a cut: refused before any
  // file is touched, so that an earlier good file stays.
  if (!length_known) return fail("no single valid Content-Length");
  if (announced > max_bytes) {
    LastDownloadFailure = DownloadFailure::kTooLarge;
    return fail("announced length " + std::to_string(announced) + " is over the limit of " +
                std::to_string(max_bytes));
  }
  // A file the vendor signed: any other length, or no way to hash it, is refused before a file
  // is touched.
  std::unique_ptr<platform::Sha256> hash;
  if (expected != nullptr &&
      (expected->url != url || announced != expected->size ||
       sys.crypto == nullptr || !(hash = sys.crypto->NewSha256()))) {
    LastDownloadFailure = DownloadFailure::kTampered;
    verdict = Verdict::kDiffers;
    return fail(expected->url != url ? "the URL is not the one signed"
                : announced != expected->size
                    ? "announced length " + std::to_string(announced) + " is not the signed size " +
                          std::to_string(expected->size)
                    : "no SHA-256 to check it with");
  }

  // A body the volume cannot hold is not begun: no file is touched. The earlier target and
  // partial file are deleted before the body comes, so their space counts as free.
  const std::string partial = localPath + text::kPartialSuffix;
  std::uint64_t free_bytes = 0;
  if (sys.files->FreeSpace(FolderOf(localPath), free_bytes)) {
    const std::uint64_t needed = static_cast<std::uint64_t>(announced);
    const std::uint64_t freed = FreedByDeleting(localPath) + FreedByDeleting(partial);
    if (needed > freed && needed - freed > free_bytes) {
      LastDownloadFailure = DownloadFailure::kDiskFull;
      return fail("disk full: " + std::to_string(free_bytes) + " bytes free and " +
                  std::to_string(freed) + " to be freed, for " + std::to_string(announced));
    }
  }

  bool ok = true;
  FileResult changed = FileResult::kOk;
  if (sys.files->FileExists(localPath, ok)) {
    changed = RetryWhileHeld([&] { return sys.files->DeleteFile(localPath); });
    if (changed != FileResult::kOk) Skip(events, "delete", localPath, changed);
  }
  if (!ok) Skip(events, "list", localPath);
  if (sys.files->FileExists(partial, ok) &&
      (changed = sys.files->DeleteFile(partial)) != FileResult::kOk) {
    Skip(events, "delete", partial, changed);
  }
  if (!ok) Skip(events, "list", partial);
  // Until it is closed, others may only read the partial file: the bytes hashed are the bytes
  // written, and they take their name through this same handle.
  platform::FileHandle file = sys.files->CreateForWrite(partial);
  if (file == 0) {
    // Nowhere to store the body: the transfer cannot succeed.
    Skip(events, "create", partial);
    return fail("cannot create " + partial);
  }

  const BodyEnd end = ReceiveBody(request.get(), file, captionPrefix, hash.get(), events);
  if (end != BodyEnd::kComplete) {
    if (!sys.files->Close(file)) Skip(events, "close", partial);
    reason = "broken off after " + std::to_string(ReceivedBytes) + " of " +
             std::to_string(TotalBytes) + " bytes (cut, timed out or not written)";
    if (end == BodyEnd::kDiskFull) {
      // Unlike a cut transfer's, this partial file is no use to anyone: it would only keep the
      // volume full.
      LastDownloadFailure = DownloadFailure::kDiskFull;
      reason = "disk full after " + std::to_string(ReceivedBytes) + " bytes";
      (void)sys.files->DeleteFile(partial);
    }
    return 0;
  }
  // Complete means the announced length, which was checked to be the signed size.
  if (hash != nullptr && hash->Finish() != expected->sha256) {
    // Not what the vendor signed: deleted through the handle that wrote it, so that it never
    // bears a name anyone would run.
    if ((changed = sys.files->DeleteOpen(file)) != FileResult::kOk) {
      Skip(events, "delete", partial, changed);
    }
    LastDownloadFailure = DownloadFailure::kTampered;
    verdict = Verdict::kDiffers;
    return fail("not what the vendor signed");
  }
  if (hash != nullptr) verdict = Verdict::kMatches;

  FileResult deleted = FileResult::kOk;
  if (sys.files->FileExists(localPath, ok)) {
    deleted = RetryWhileHeld([&] { return sys.files->DeleteFile(localPath); });
    if (deleted != FileResult::kOk) Skip(events, "delete", localPath, deleted);
  }
  // The name is given through the writing handle, and the file stays held from there on.
  platform::HeldFile held_file = 0;
  const FileResult renamed = RetryWhileHeld([&] {
    if (file == 0) return FileResult::kFailed;
    return sys.files->HoldAs(file, localPath, static_cast<std::uint64_t>(ReceivedBytes), held_file);
  });
  if (file != 0 && !sys.files->Close(file)) Skip(events, "close", partial);
  if (renamed == FileResult::kOk) {
    result = -1;
    LastDownloadFailure = DownloadFailure::kNone;
    if (held != nullptr) {
      held->Put(*sys.files) = held_file;
    } else {
      (void)sys.files->Release(held_file);
    }
  } else {
    if (renamed == FileResult::kChanged) {
      // Another process changed or replaced the file between its rename and its hold.
      LastDownloadFailure = DownloadFailure::kTampered;
      verdict = Verdict::kDiffers;
      reason = "changed by another process as it took its name";
    } else {
      if (renamed == FileResult::kHeld || deleted == FileResult::kHeld) {
        LastDownloadFailure = DownloadFailure::kFileInUse;
      }
      reason = "cannot give " + partial + " its name";
    }
    Skip(events, "rename", partial, renamed);
  }
  return result;
}

}  // namespace kvt::Mupdate
