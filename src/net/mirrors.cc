// Failover across the vendor host and its mirrors.
#include "net/mirrors.h"

#include <limits>

#include "kvt/build_config.h"
#include "startup/pending_error.h"

namespace kvt::Mupdate {
namespace {

// A host to try: where the URL points, and the scheme to fetch it with (a mirror's own port).
struct HostTarget {
  std::string host;
  std::string url;
  Scheme scheme;
};

// `url` on its own host, then on each mirror. A mirror's port is dialled through the scheme, not
// written into the URL: the host name a request carries stays a plain name.
std::vector<HostTarget> Targets(const std::string& url, const VendorSettings& vendor) {
  const Scheme& scheme = *vendor.scheme;
  const std::string host = GetHostFromUrl(url, scheme);
  std::vector<HostTarget> targets{{host, url, scheme}};
  // A URL without a host (or of another scheme) is not one any mirror could serve.
  if (host.empty() || vendor.mirrors == nullptr) return targets;
  for (const std::string& mirror : *vendor.mirrors) {
    HostTarget target{mirror, {}, scheme};
    std::string name = mirror;
    const std::size_t colon = mirror.rfind(':');
    if (colon != std::string::npos) {
      name = mirror.substr(0, colon);
      // 1 to 65535, checked when the build was configured; an entry given otherwise that names
      // no such port is not tried.
      unsigned port = 0;
      for (std::size_t i = colon + 1; i < mirror.size() && port <= 65535; ++i) {
        const char c = mirror[i];
        port = c >= '0' && c <= '9' ? port * 10 + static_cast<unsigned>(c - '0') : 65536;
      }
      if (port == 0 || port > 65535) continue;
      target.scheme.port = static_cast<std::uint16_t>(port);
    }
    target.url = MirrorUrl(url, name, scheme);
    targets.push_back(std::move(target));
  }
  return targets;
}

// Why a failed try ended, for the support log.
const char* Reason(DownloadFailure failure, bool local) {
  if (local) return "local file error";
  switch (failure) {
    case DownloadFailure::kNone:
      return "manifest unusable";
    case DownloadFailure::kNotStored:
      return "no connection, time-out, refused status or length, or cut body";
    case DownloadFailure::kTooLarge:
      return "announced larger than such a file can be";
    case DownloadFailure::kDiskFull:
      return "disk full";
    case DownloadFailure::kTampered:
      return "not what the vendor signed";
    case DownloadFailure::kFileInUse:
      return "file held by another process";
  }
  return "";
}

// Records the try and tells whether the next host may be tried: not after a failure that lies
// on this machine (a full disk, a held file, a file that could not be written).
bool LeaveHost(const HostTarget& target, bool more, Events* events,
               std::vector<HostAttempt>* attempts) {
  const bool local = PendingError::IsPending();
  const DownloadFailure failure = LastDownloadFailure;
  const char* reason = Reason(failure, local);
  if (attempts != nullptr) attempts->push_back({target.host, target.url, false, failure, reason});
  const bool next =
      !local && failure != DownloadFailure::kDiskFull && failure != DownloadFailure::kFileInUse;
  if (events != nullptr && more) {
    events->Note("Host " + target.host + " left (" + reason + ")" +
                 (next ? ": the next host is tried" : ": no other host can mend this"));
  }
  return next;
}

void Served(const HostTarget& target, bool mirror, Events* events,
            std::vector<HostAttempt>* attempts) {
  if (attempts != nullptr) attempts->push_back({target.host, target.url, true});
  if (events != nullptr && mirror) events->Note("Served by the mirror " + target.host);
}

}  // namespace

const std::vector<std::string>& BuildMirrors() {
  static const std::vector<std::string> mirrors = ParseMirrorList(build::kVendorMirrors);
  return mirrors;
}

std::vector<std::string> ParseMirrorList(std::string_view text) {
  std::vector<std::string> entries;
  while (!text.empty()) {
    const std::size_t semicolon = text.find(';');
    std::string_view entry = text.substr(0, semicolon);
    text = semicolon == std::string_view::npos ? std::string_view() : text.substr(semicolon + 1);
    while (!entry.empty() && entry.front() == ' ') entry.remove_prefix(1);
    while (!entry.empty() && entry.back() == ' ') entry.remove_suffix(1);
    if (!entry.empty()) entries.emplace_back(entry);
  }
  return entries;
}

std::string MirrorUrl(const std::string& url, const std::string& host, const Scheme& scheme) {
  const std::string old_host = GetHostFromUrl(url, scheme);
  if (old_host.empty()) return {};
  const std::size_t at = url.find(scheme.prefix) + std::string_view(scheme.prefix).size();
  return url.substr(0, at) + host + url.substr(at + old_host.size());
}

std::int16_t DownloadFileFromHosts(const std::string& url, const std::string& localPath,
                                   const std::string& captionPrefix, const SignedFile* expected,
                                   const VendorSettings& vendor, platform::UniqueHeldFile* held,
                                   Events* events, std::vector<HostAttempt>* attempts) {
  const std::vector<HostTarget> targets = Targets(url, vendor);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const HostTarget& target = targets[i];
    // The vendor signed the file under the manifest's URL; a mirror serves it under its own.
    SignedFile on_mirror;
    const SignedFile* signed_file = expected;
    if (expected != nullptr && i > 0) {
      on_mirror = *expected;
      on_mirror.url = target.url;
      signed_file = &on_mirror;
    }
    if (DownloadFile(target.url, localPath, captionPrefix, signed_file, target.scheme,
                     std::numeric_limits<std::int64_t>::max(), held, events) == -1) {
      Served(target, i > 0, events, attempts);
      return -1;
    }
    if (!LeaveHost(target, i + 1 < targets.size(), events, attempts)) break;
  }
  return 0;
}

std::int16_t FetchReleaseManifestFromHosts(const VendorSettings& vendor, std::string& version,
                                           std::string& extractorUrl, std::string& packageUrl,
                                           std::vector<SignedFile>& verified, Events* events,
                                           std::vector<HostAttempt>* attempts) {
  const std::vector<HostTarget> targets = Targets(ManifestUrl(*vendor.scheme), vendor);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const HostTarget& target = targets[i];
    VendorSettings on_host = vendor;
    on_host.scheme = &target.scheme;
    if (FetchReleaseManifestFrom(target.url, on_host, version, extractorUrl, packageUrl, verified,
                                 events) == -1) {
      Served(target, i > 0, events, attempts);
      return -1;
    }
    if (!LeaveHost(target, i + 1 < targets.size(), events, attempts)) break;
  }
  return 0;
}

}  // namespace kvt::Mupdate
