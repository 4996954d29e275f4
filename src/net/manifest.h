// The release manifest: version, extractor URL and product-archive URL.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/release_signature.h"

namespace kvt::Mupdate {

// What the vendor signed about the two downloads (extractor, archive), kept from the last
// manifest fetch that verified its signature file; empty in a build without release keys.
extern std::vector<SignedFile> SignedFiles;

// Scheme prefix ("http://" or "https://") + vendor host + "/KVT_TRNQP_SETUP_LOG.txt".
std::string ManifestUrl();

// The manifest's lines: split at every CR LF, empty lines kept; an empty text is one empty line.
std::vector<std::string> SplitManifestLines(const std::string& text);

// Downloads the manifest into a temporary file beside the program, parses it, deletes the
// file. Returns -1 when version and package URL are both non-empty, 0 otherwise.
// With release keys in force (ActiveReleaseKeys) the signature file beside the manifest is then
// downloaded the same way and checked against the manifest's exact bytes and its two URLs; the
// result is -1 only when it verifies (SignedFiles then holds what each download must be). A
// signature file that cannot be fetched leaves LastDownloadFailure as the download left it; one
// that does not verify sets it to kTampered. On any failure after a successful manifest
// download the three outputs are emptied as after a failed download.
std::int16_t FetchReleaseManifest(std::string& version, std::string& extractorUrl,
                                  std::string& packageUrl);
// The same for the manifest at `url`: the release tooling reads a vendor server named at run
// time exactly as the installer reads its compiled-in one.
std::int16_t FetchReleaseManifestFrom(const std::string& url, std::string& version,
                                      std::string& extractorUrl, std::string& packageUrl);

}  // namespace kvt::Mupdate
