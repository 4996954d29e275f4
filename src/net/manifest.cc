// The release manifest: three lines (version, extractor URL, archive URL) joined by CR LF.
#include "net/manifest.h"

#include <vector>

#include "kvt/build_config.h"
#include "net/download.h"
#include "net/float_text.h"
#include "net/mirrors.h"
#include "platform/platform.h"
#include "startup/texts.h"

namespace kvt::Mupdate {
namespace {

using platform::Sys;

// Seconds since midnight as single-precision text with at most seven significant digits and
// the user's decimal separator: 45296.17
std::string TimeOfDayText() {
  const float seconds = static_cast<float>(Sys().clock->SecondsSinceMidnight());
  std::string text = SevenDigitText(seconds);
  const std::size_t dot = text.find('.');
  if (dot != std::string::npos) text.replace(dot, 1, Sys().clock->DecimalSeparator());
  return text;
}

bool Exists(const std::string& path) {
  bool ok = true;
  return Sys().files->FileExists(path, ok) && ok;
}

// A scratch file beside the program: `name`, or, while a file of that name exists (someone
// else's: it is not touched), the time of day followed by `name`.
std::string ScratchPath(const char* name) {
  platform::FileSystem& files = *Sys().files;
  std::string path = files.ProgramFolder() + "\\" + name;
  while (Exists(path)) path = files.ProgramFolder() + "\\" + TimeOfDayText() + name;
  return path;
}

// Fetches the signature file beside the manifest at `manifest_url` and checks it against the
// manifest's bytes and URLs; -1 when it verifies, with SignedFiles filled.
std::int16_t VerifySignature(const std::string& manifest_url, const VendorSettings& vendor,
                             const std::string& manifest_bytes, const std::string& extractorUrl,
                             const std::string& packageUrl) {
  platform::FileSystem& files = *Sys().files;
  const std::string path = ScratchPath(text::kSignatureTempName);
  if (DownloadFile(manifest_url + kSignatureSuffix, path, "", nullptr, *vendor.scheme) != -1) {
    return 0;
  }
  std::string signature;
  const bool read = files.ReadAllBytes(path, signature);
  (void)files.DeleteFile(path);
  if (!read) {
    LastDownloadFailure = DownloadFailure::kNetwork;
    return 0;
  }
  // Without the means to check, nothing counts as checked.
  if (Sys().crypto == nullptr ||
      CheckReleaseSignature(*Sys().crypto, signature, manifest_bytes, {extractorUrl, packageUrl},
                            *vendor.keys, &SignedFiles) != SignatureCheck::kValid) {
    SignedFiles.clear();
    LastDownloadFailure = DownloadFailure::kTampered;
    return 0;
  }
  return -1;
}

}  // namespace

std::vector<SignedFile> SignedFiles;

// Splits at every CR LF, keeping empty lines; an empty text is one empty line.
std::vector<std::string> SplitManifestLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find("\r\n", start);
    if (at == std::string::npos) break;
    lines.push_back(text.substr(start, at - start));
    start = at + 2;
  }
  lines.push_back(text.substr(start));
  return lines;
}

std::string ManifestUrl(const Scheme& scheme) {
  return std::string(scheme.prefix) + build::kVendorHost + text::kManifestPath;
}

std::int16_t FetchReleaseManifest(const VendorSettings& vendor, std::string& version,
                                  std::string& extractorUrl, std::string& packageUrl) {
  return FetchReleaseManifestFromHosts(vendor, version, extractorUrl, packageUrl);
}

std::int16_t FetchReleaseManifestFrom(const std::string& url, const VendorSettings& vendor,
                                      std::string& version, std::string& extractorUrl,
                                      std::string& packageUrl) {
  platform::FileSystem& files = *Sys().files;
  const std::string path = ScratchPath(text::kManifestTempName);
  const bool is_signed = !vendor.keys->points.empty();
  SignedFiles.clear();

  if (DownloadFile(url, path, "", nullptr, *vendor.scheme) != -1) {
    version.clear();
    packageUrl.clear();
    extractorUrl.clear();
    return 0;
  }

  std::string content;
  std::int16_t result = 0;
  if (files.ReadAllText(path, content)) {
    const std::vector<std::string> lines = SplitManifestLines(content);
    version = lines.front();
    // A text without any CR LF has no separate archive line and is no manifest.
    packageUrl = lines.size() >= 2 ? lines.back() : std::string();
    extractorUrl.clear();
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
      if (i > 1) extractorUrl += text::kCrLf;
      extractorUrl += lines[i];
    }
    result = !version.empty() && !packageUrl.empty() ? -1 : 0;
  } else {
    version.clear();
    packageUrl.clear();
    extractorUrl.clear();
  }
  // A signed release is checked against the manifest's exact bytes, not the decoded text.
  std::string bytes;
  if (result == -1 && is_signed && !files.ReadAllBytes(path, bytes)) result = 0;
  (void)files.DeleteFile(path);
  if (result == -1 && is_signed &&
      VerifySignature(url, vendor, bytes, extractorUrl, packageUrl) != -1) {
    version.clear();
    packageUrl.clear();
    extractorUrl.clear();
    return 0;
  }
  return result;
}

}  // namespace kvt::Mupdate
