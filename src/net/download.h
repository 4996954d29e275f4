// HTTP download of one URL into one local file, reporting its progress and its end as events.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "kvt/build_config.h"
#include "platform/files.h"
#include "net/events.h"
#include "platform/internet.h"

namespace kvt::Mupdate {

struct SignedFile;  // net/release_signature.h

// The scheme of every transfer and URL of a run.
struct Scheme {
  const char* prefix;           // "http://" or "https://": where a URL's host begins
  std::uint16_t port;           // dialled whatever port a URL names
  std::uint32_t request_flags;  // added to the flags of every request
  bool secure;                  // a URL must begin with `prefix`: nothing falls back to plain
};
inline constexpr Scheme kHttpScheme{"http://", platform::kInternetDefaultHttpPort, 0, false};
inline constexpr Scheme kHttpsScheme{"https://", platform::kInternetDefaultHttpsPort,
                                     platform::kInternetFlagSecure, true};

// The build's scheme (KVT_VENDOR_SCHEME): the installer's, and the default of every function
// below that takes one.
inline const Scheme& BuildScheme() { return build::kVendorHttps ? kHttpsScheme : kHttpScheme; }

// Byte counters of the current (or last) transfer.
extern std::int64_t ReceivedBytes;
extern std::int64_t TotalBytes;

// Why the last DownloadFile call returned 0, so that the caller can tell the user the right
// thing; kNone after a success.
enum class DownloadFailure {
  kNone,
  // Not stored, for any reason not named below: no connection, refused, broken off, timed out,
  // bad status or length, or a local step (creating the partial file, closing it) that failed.
  kNotStored,
  kDiskFull,   // the volume cannot hold the file (checked before writing, or a write failed)
  kTampered,   // the file does not match the size and SHA-256 the vendor signed
  kFileInUse,  // every byte arrived, but another process kept the file from taking its name
  kTooLarge,   // the announced length is more than the caller accepts
};
extern DownloadFailure LastDownloadFailure;

// Downloads `url` (<scheme>host/path, always the scheme's port) into `localPath` through the
// partial file `localPath` + ".temp". With a secure `scheme` a URL not beginning with "https://"
// is refused before any handle is opened. Returns -1 when the whole announced body is stored at
// `localPath`, 0 otherwise. Leaves the pending error holding the last local failure it skipped.
// With `expected` (a release the vendor signed) the body must also be exactly the signed size and
// SHA-256: an announced length other than the size is refused before any file is touched, the
// pieces are hashed as they are written, and a body that differs is deleted instead of renamed
// (LastDownloadFailure kTampered). A body announced longer than `max_bytes` is refused before
// any file is touched (kTooLarge); no more than the announced length is ever read.
// Others may only read the partial file while it is written, and it takes its name through the
// handle that wrote it. With `held` the stored file stays held there (platform/files.h: nobody can
// change, replace, rename or delete it) until the caller releases it; without, it is let go.
// `events` (when given) hears the request, the response head, the progress at the display's pace
// (with `captionPrefix`), every file operation that failed, and the end with its reason and the
// hash verdict.
std::int16_t DownloadFile(const std::string& url, const std::string& localPath,
                          const std::string& captionPrefix, const SignedFile* expected = nullptr,
                          const Scheme& scheme = BuildScheme(),
                          std::int64_t max_bytes = std::numeric_limits<std::int64_t>::max(),
                          platform::UniqueHeldFile* held = nullptr, Events* events = nullptr);

// Host name: the text after the first `scheme` prefix ("http://" or "https://") up to the next
// "/"; empty without it.
std::string GetHostFromUrl(const std::string& url, const Scheme& scheme = BuildScheme());
// Request path: the text after the first occurrence of `host` in `url` (after its scheme).
std::string GetPathFromUrl(const std::string& url, const std::string& host,
                           const Scheme& scheme = BuildScheme());
// One response item as text (through `text`); the function result is left empty.
std::string QueryHttpInfo(platform::InetHandle request, std::uint32_t infoLevel,
                          std::string& text);
// Short size text: "1023B", "2KB", "1.50M".
std::string FormatSize(std::int64_t n);

}  // namespace kvt::Mupdate
