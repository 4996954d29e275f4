// HTTP download of one URL into one local file, reporting what happens to the caller's receiver:
// the request, the body and the file's replacement are its three parts (download_parts.h).
#include "net/download.h"

#include <memory>
#include <string_view>

#include "net/download_parts.h"
#include "net/release_signature.h"
#include "platform/platform.h"
#include "startup/pending_error.h"
#include "startup/texts.h"

namespace kvt::Mupdate {

std::int64_t ReceivedBytes = 0;
std::int64_t TotalBytes = 0;
DownloadFailure LastDownloadFailure = DownloadFailure::kNone;

namespace {

// `numerator` / `denominator` rounded to a whole number, halves to the even neighbour.
std::int64_t DivideHalfEven(std::int64_t numerator, std::int64_t denominator) {
  std::int64_t q = numerator / denominator;
  const std::int64_t r = numerator % denominator;
  if (2 * r > denominator || (2 * r == denominator && q % 2 != 0)) ++q;
  return q;
}

constexpr std::size_t kQueryBufferSize = 1024;

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
  (void)platform::Sys().internet->QueryInfo(request, infoLevel, kQueryBufferSize, text);
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
  const platform::Platform& sys = platform::Sys();
  if (held != nullptr) held->Reset();
  TotalBytes = 0;
  ReceivedBytes = 0;
  LastDownloadFailure = DownloadFailure::kNotStored;
  PendingError::Clear();
  platform::DoEvents();

  // However the transfer ends, the receiver hears how and why.
  Events quiet;
  parts::Outcome outcome{receiver != nullptr ? *receiver : quiet};
  bool stored = false;
  struct Ending {
    const std::string& url;
    const bool& stored;
    parts::Outcome& outcome;
    ~Ending() {
      outcome.events.TransferEnds(url, ReceivedBytes, stored, outcome.reason, outcome.verdict);
    }
  } ending{url, stored, outcome};

  if (url.empty() || localPath.empty()) {
    outcome.Fail("no URL or no file to store it in");
    return 0;
  }
  // Declared before the file's handle, so that the request closes after the file.
  parts::Request request;
  if (!parts::SendRequest(url, scheme, sys.internet->ProxyConfigured(), request, outcome)) {
    return 0;
  }
  const std::int64_t announced = request.length;
  if (request.length_known) TotalBytes = announced;
  if (request.status != "200" && request.status != "206") {
    outcome.Fail("status " + (request.status.empty() ? "none" : request.status));
    return 0;
  }
  // Without one valid length no end of the body can be told from a cut: refused before any
  // file is touched, so that an earlier good file stays.
  if (!request.length_known) {
    outcome.Fail("no single valid Content-Length");
    return 0;
  }
  if (announced > max_bytes) {
    LastDownloadFailure = DownloadFailure::kTooLarge;
    outcome.Fail("announced length " + std::to_string(announced) + " is over the limit of " +
                 std::to_string(max_bytes));
    return 0;
  }
  // A file the vendor signed: any other length, or no way to hash it, is refused before a file
  // is touched.
  std::unique_ptr<platform::Sha256> hash;
  if (expected != nullptr &&
      (expected->url != url || announced != expected->size ||
       sys.crypto == nullptr || !(hash = sys.crypto->NewSha256()))) {
    LastDownloadFailure = DownloadFailure::kTampered;
    outcome.verdict = Verdict::kDiffers;
    outcome.Fail(expected->url != url ? "the URL is not the one signed"
                 : announced != expected->size
                     ? "announced length " + std::to_string(announced) +
                           " is not the signed size " + std::to_string(expected->size)
                     : "no SHA-256 to check it with");
    return 0;
  }

  // A body the volume cannot hold is not begun: no file is touched.
  const std::string partial = localPath + text::kPartialSuffix;
  if (!parts::RoomFor(localPath, partial, announced, outcome)) return 0;
  const platform::FileHandle file = parts::StartPartialFile(localPath, partial, outcome);
  if (file == 0) return 0;
  const parts::BodyEnd end =
      parts::ReceiveBody(request.request.get(), file, captionPrefix, hash.get(), outcome.events);
  stored = end == parts::BodyEnd::kComplete
               ? parts::FinishFile(file, localPath, partial, hash.get(), expected, held, outcome)
               : parts::AbandonPartialFile(file, partial, end, outcome);
  return stored ? -1 : 0;
}

}  // namespace kvt::Mupdate
