// What a release must look like for the installer: the three file names, the URL rules and the
// first bytes of the extractor and of the archive. Shared by `make` (which refuses what breaks
// the installer) and `check` (which reports it).
#pragma once

#include <string>
#include <vector>

#include "startup/texts.h"

namespace kvt::release {

// The names on the server and in a release folder.
inline constexpr const char* kManifestName = text::kManifestPath + 1;    // past the "/"
inline constexpr const char* kExtractorName = text::kExtractorFile + 1;  // past the "\"
inline constexpr const char* kArchiveName = text::kArchiveFile + 1;

enum class Severity { kError, kWarning };

// One problem: an error makes the installer fail, a warning works but is fragile.
struct Finding {
  Severity severity;
  std::string subject;  // a file name, or "release"
  std::string text;
};
using Findings = std::vector<Finding>;

// `text` with every byte outside printable ASCII and UTF-8 letters written as \xNN, so that
// what a server sent can be shown safely.
std::string Printable(const std::string& text);

// The URL as the installer reads it: host after the first "http://" ("https://" for the secure
// installer, which refuses a plain one) up to the next "/", request path after the host, no
// control character, no port.
void CheckUrl(const std::string& url, const std::string& subject, Findings& findings,
              bool secure = false);

// The extractor's bytes (at least its first 64 KiB): a Windows program, "MZ" and a PE header.
// Returns a short description ("Windows program, x86-64").
std::string CheckExtractor(const std::string& bytes, const std::string& subject,
                           Findings& findings);
// The archive's first bytes: the RAR signature (the demo's KVTPACK1 format is a warning).
std::string CheckArchive(const std::string& bytes, const std::string& subject, Findings& findings);

}  // namespace kvt::release
