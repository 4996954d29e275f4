// The release manifest: version, extractor URL and product-archive URL.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/download.h"
#include "net/release_signature.h"

namespace kvt::Mupdate {

// The build's mirrors (KVT_VENDOR_MIRRORS), in order; empty: the vendor host alone
// (net/mirrors.cc).
const std::vector<std::string>& BuildMirrors();

// What a run knows of the vendor's releases: the scheme of every transfer, the keys a release
// must be signed with (no points: no signature file is asked for) and the hosts that mirror the
// vendor host. Made without arguments it is the build's; a test harness or the release tool
// gives its own, which outlive the run.
struct VendorSettings {
  const Scheme* scheme = &BuildScheme();
  const ReleaseKeys* keys = &BuildReleaseKeys();
  const std::vector<std::string>* mirrors = &BuildMirrors();
};

// A manifest is three short lines: one announced longer than this is refused before any file is
// touched, and no more of it is ever read.
inline constexpr std::int64_t kMaxManifestBytes = 64 * 1024;

// The scheme's prefix ("http://" or "https://") + vendor host + "/KVT_TRNQP_SETUP_LOG.txt".
std::string ManifestUrl(const Scheme& scheme);

// The manifest's lines: split at every CR LF, empty lines kept; an empty text is one empty line.
std::vector<std::string> SplitManifestLines(const std::string& text);

// Downloads the manifest (ManifestUrl of the vendor's scheme, at most kMaxManifestBytes; when that
// host fails, the same path on each of the vendor's mirrors: net/mirrors.h) into a temporary file
// beside the program, reads it once, parses it, deletes the file. Returns -1 when version and
// package URL are both non-empty, 0 otherwise. A download that fails leaves no partial file
// behind either.
// With release keys in `vendor` the signature file beside the manifest is then
// downloaded the same way and checked against the bytes that were parsed and the two URLs; the
// result is -1 only when it verifies (`verified` then holds what each download must be: extractor,
// archive; it is empty after any other outcome, and in a build without release keys). A
// signature file that cannot be fetched leaves LastDownloadFailure as the download left it; one
// that is too large or does not verify sets it to kTampered. On any failure after a successful
// manifest download the three outputs are emptied as after a failed download. `events` (when
// given) hears each download and the signature check's verdict.
std::int16_t FetchReleaseManifest(const VendorSettings& vendor, std::string& version,
                                  std::string& extractorUrl, std::string& packageUrl,
                                  std::vector<SignedFile>& verified, Events* events = nullptr);
// The same for the manifest at `url`: the release tooling reads a vendor server named at run
// time exactly as the installer reads its compiled-in one.
std::int16_t FetchReleaseManifestFrom(const std::string& url, const VendorSettings& vendor,
                                      std::string& version, std::string& extractorUrl,
                                      std::string& packageUrl, std::vector<SignedFile>& verified,
                                      Events* events = nullptr);

}  // namespace kvt::Mupdate
