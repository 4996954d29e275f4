// The release manifest: three lines (version, extractor URL, archive URL) joined by CR LF.
#include "net/manifest.h"

#include <cstdio>
#include <vector>

#include "kvt/build_config.h"
#include "net/download.h"
#include "platform/platform.h"
#include "startup/texts.h"

namespace kvt::Mupdate {
namespace {

using platform::Sys;

// Seconds since midnight as single-precision text with at most seven significant digits and
// the user's decimal separator: 45296.17
std::string TimeOfDayText() {
  const float seconds = static_cast<float>(Sys().clock->SecondsSinceMidnight());
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(seconds));
  std::string text = buf;
  const std::size_t dot = text.find('.');
  if (dot != std::string::npos) text.replace(dot, 1, Sys().clock->DecimalSeparator());
  return text;
}

bool Exists(const std::string& path) {
  bool ok = true;
  return Sys().files->FileExists(path, ok) && ok;
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

std::string ManifestUrl() {
  return std::string(ActiveScheme().prefix) + build::kVendorHost + text::kManifestPath;
}

std::int16_t FetchReleaseManifest(std::string& version, std::string& extractorUrl,
                                  std::string& packageUrl) {
  return FetchReleaseManifestFrom(ManifestUrl(), version, extractorUrl, packageUrl);
}

std::int16_t FetchReleaseManifestFrom(const std::string& url, std::string& version,
                                      std::string& extractorUrl, std::string& packageUrl) {
  platform::FileSystem& files = *Sys().files;
  // A file of that name left by someone else is not touched: a name starting with the time of
  // day is taken instead, tried until one is free.
  std::string path = files.ProgramFolder() + "\\" + text::kManifestTempName;
  while (Exists(path)) {
    path = files.ProgramFolder() + "\\" + TimeOfDayText() + text::kManifestTempName;
  }

  if (DownloadFile(url, path, "") != -1) {
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
  (void)files.DeleteFile(path);
  return result;
}

}  // namespace kvt::Mupdate
