// The release manifest: version, extractor URL and product-archive URL.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvt::Mupdate {

// Scheme prefix ("http://" or "https://") + vendor host + "/KVT_TRNQP_SETUP_LOG.txt".
std::string ManifestUrl();

// Downloads the manifest into a temporary file beside the program, parses it, deletes the
// file. Returns -1 when version and package URL are both non-empty, 0 otherwise.
// The manifest's lines: split at every CR LF, empty lines kept; an empty text is one empty line.
std::vector<std::string> SplitManifestLines(const std::string& text);

std::int16_t FetchReleaseManifest(std::string& version, std::string& extractorUrl,
                                  std::string& packageUrl);
// The same for the manifest at `url`: the release tooling reads a vendor server named at run
// time exactly as the installer reads its compiled-in one.
std::int16_t FetchReleaseManifestFrom(const std::string& url, std::string& version,
                                      std::string& extractorUrl, std::string& packageUrl);

}  // namespace kvt::Mupdate
