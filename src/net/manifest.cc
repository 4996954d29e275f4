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

// A scratch file beside the program: `name`, or, while a file of that name or of its partial
// file's name exists (someone else's: it is not touched), the time of day followed by `name`.
std::string ScratchPath(const char* name) {
  platform::FileSystem& files = *Sys().files;
  std::string path = files.ProgramFolder() + "\\" + name;
  while (Exists(path) || Exists(path + text::kPartialSuffix)) {
    path = files.ProgramFolder() + "\\" + TimeOfDayText() + name;
  }
  return path;
}

// Downloads `url` into the scratch file `path`, at most `max_bytes` of it. A failed download
// leaves no partial file beside the program: a cut or stalled one would otherwise stay there.
bool FetchScratch(const std::string& url, const std::string& path, const Scheme& scheme,
                  std::int64_t max_bytes, Events* events) {
  if (DownloadFile(url, path, "", nullptr, scheme, max_bytes, nullptr, events) == -1) return true;
  const std::string partial = path + text::kPartialSuffix;
  if (Exists(partial)) (void)Sys().files->DeleteFile(partial);
  return false;
}

// Fetches the signature file beside the manifest at `manifest_url` and checks it against the
// manifest's bytes and URLs; -1 when it verifies, with `verified` filled.
std::int16_t VerifySignature(const std::string& manifest_url, const VendorSettings& vendor,
                             const std::string& manifest_bytes, const std::string& extractorUrl,
                             const std::string& packageUrl, std::vector<SignedFile>& verified,
                             Events* events) {
  platform::FileSystem& files = *Sys().files;
  const std::string path = ScratchPath(text::kSignatureTempName);
  if (!FetchScratch(manifest_url + kSignatureSuffix, path, *vendor.scheme,
                    static_cast<std::int64_t>(kMaxSignatureFileBytes), events)) {
    // Larger than any signature file: it is not the vendor's.
    if (LastDownloadFailure == DownloadFailure::kTooLarge) {
      LastDownloadFailure = DownloadFailure::kTampered;
    }
    return 0;
  }
  std::string signature;
  const bool read = files.ReadAllBytes(path, kMaxSignatureFileBytes, signature);
  (void)files.DeleteFile(path);
  if (!read) {
    if (events != nullptr) events->FileFailed("read", path, "failed");
    LastDownloadFailure = DownloadFailure::kNotStored;
    return 0;
  }
  // Without the means to check, nothing counts as checked.
  const SignatureCheck check =
      Sys().crypto == nullptr
          ? SignatureCheck::kMalformed
          : CheckReleaseSignature(*Sys().crypto, signature, manifest_bytes,
                                  {extractorUrl, packageUrl}, *vendor.keys, &verified);
  if (events != nullptr) {
    events->Note(std::string("Signature file: ") +
                 (Sys().crypto == nullptr ? "no means to check it" : SignatureCheckName(check)));
  }
  if (check != SignatureCheck::kValid) {
    verified.clear();
    LastDownloadFailure = DownloadFailure::kTampered;
    return 0;
  }
  return -1;
}

}  // namespace

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
                                  std::string& extractorUrl, std::string& packageUrl,
                                  std::vector<SignedFile>& verified, Events* events) {
  return FetchReleaseManifestFromHosts(vendor, version, extractorUrl, packageUrl, verified, events);
}

std::int16_t FetchReleaseManifestFrom(const std::string& url, const VendorSettings& vendor,
                                      std::string& version, std::string& extractorUrl,
                                      std::string& packageUrl, std::vector<SignedFile>& verified,
                                      Events* events) {
  platform::FileSystem& files = *Sys().files;
  const std::string path = ScratchPath(text::kManifestTempName);
  const bool is_signed = !vendor.keys->points.empty();
  verified.clear();

  if (!FetchScratch(url, path, *vendor.scheme, kMaxManifestBytes, events)) {
    version.clear();
    packageUrl.clear();
    extractorUrl.clear();
    return 0;
  }

  // Read once: the text parsed and the bytes a signature covers are the same bytes.
  std::string bytes;
  std::int16_t result = 0;
  if (files.ReadAllBytes(path, static_cast<std::size_t>(kMaxManifestBytes), bytes)) {
    const std::vector<std::string> lines = SplitManifestLines(files.TextFromBytes(bytes));
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
  (void)files.DeleteFile(path);
  if (result == -1 && is_signed &&
      VerifySignature(url, vendor, bytes, extractorUrl, packageUrl, verified, events) != -1) {
    version.clear();
    packageUrl.clear();
    extractorUrl.clear();
    return 0;
  }
  return result;
}

}  // namespace kvt::Mupdate
