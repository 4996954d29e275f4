// Mirrors: further hosts that serve the vendor's release under the same paths. A transfer that
// fails on one host is tried on the next, so that one host that is down, overloaded or out of
// reach does not stop an install. A signed release makes any mirror safe: whatever host serves a
// file, only the signed size and SHA-256 are accepted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/download.h"
#include "net/manifest.h"

namespace kvt::Mupdate {

// The entries of a ";"-separated host list, blanks around them and empty entries dropped.
std::vector<std::string> ParseMirrorList(std::string_view text);

// `url` with its host (the text after the scheme's prefix up to the next "/") replaced by
// `host`: the same scheme and path. Empty when `url` names no host.
std::string MirrorUrl(const std::string& url, const std::string& host,
                      const Scheme& scheme = BuildScheme());

// One host a transfer was tried on, and how it ended there.
struct HostAttempt {
  std::string host;  // as the URL names it, or the mirror entry ("name" or "name:port")
  std::string url;   // what was asked for there
  bool served = false;
  // Why the host was left (when not served): the download's own verdict, and a short text for
  // the support log.
  DownloadFailure failure = DownloadFailure::kNone;
  const char* reason = "";
};

// DownloadFile of `url`, then, while it fails in a way another host may mend (no connection, a
// time-out, a refused status or length, a cut body, bytes that are not what the vendor signed),
// of the same path on each of `vendor`'s mirrors in order, each time from byte 0. A full disk, a
// file another process holds, or any other local failure ends the tries at once: no other host
// can mend them. With `expected` the signed record stays the one for `url`, whichever host
// serves it. Leaves ReceivedBytes, LastDownloadFailure and the pending error as the last try left
// them. `held` and `events` as for DownloadFile (events also hear why a host was left).
// `attempts` (may be null) receives every host tried, in order.
std::int16_t DownloadFileFromHosts(const std::string& url, const std::string& localPath,
                                   const std::string& captionPrefix, const SignedFile* expected,
                                   const VendorSettings& vendor,
                                   platform::UniqueHeldFile* held = nullptr,
                                   Events* events = nullptr,
                                   std::vector<HostAttempt>* attempts = nullptr);

// FetchReleaseManifestFrom on the vendor host, then on each mirror in order (the signature file
// from the same host as its manifest), until one yields a usable and, with release keys,
// verified manifest. When every host fails, the outputs and LastDownloadFailure are what the
// last one left. `attempts` (may be null) receives every host tried, in order.
std::int16_t FetchReleaseManifestFromHosts(const VendorSettings& vendor, std::string& version,
                                           std::string& extractorUrl, std::string& packageUrl,
                                           std::vector<SignedFile>& verified,
                                           Events* events = nullptr,
                                           std::vector<HostAttempt>* attempts = nullptr);

}  // namespace kvt::Mupdate
