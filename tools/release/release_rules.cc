#include "release_rules.h"

#include <cstdint>
#include <cstdio>

#include "codepage.h"
#include "net/download.h"

namespace kvt::release {
namespace {

void Add(Findings& findings, Severity severity, const std::string& subject, std::string text) {
  findings.push_back({severity, subject, std::move(text)});
}

std::uint32_t Le(const std::string& bytes, std::size_t at, int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

std::string HexBytes(const std::string& bytes, std::size_t count) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size() && i < count; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned char>(bytes[i]));
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

}  // namespace

std::string Printable(const std::string& text) {
  // Valid UTF-8 keeps its letters; anything else is shown byte by byte.
  const bool keep_high = IsValidUtf8(text);
  std::string out;
  char buf[8];
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && !keep_high)) {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void CheckUrl(const std::string& url, const std::string& subject, Findings& findings, bool secure) {
  const std::string scheme_text = secure ? "https://" : "http://";
  const std::string shown = "\"" + Printable(url) + "\"";
  if (url.empty()) {
    Add(findings, Severity::kError, subject, "no URL");
    return;
  }
  for (unsigned char c : url) {
    if (c < 0x20 || c == 0x7F) {
      Add(findings, Severity::kError, subject,
          "URL " + shown + " holds a control character: the installer refuses it");
      return;
    }
  }
  const std::size_t scheme = url.find(scheme_text);
  if (secure && url.compare(0, 7, "http://") == 0) {
    Add(findings, Severity::kError, subject,
        "URL " + shown + " is plain http: the secure installer refuses it without asking");
    return;
  }
  if (scheme == std::string::npos) {
    Add(findings, Severity::kError, subject,
        "URL " + shown + " does not begin with lower-case \"" + scheme_text +
            "\": the installer finds no host in it" +
            (secure ? "" : " (it speaks plain HTTP only)"));
    return;
  }
  if (scheme != 0) {
    Add(findings, Severity::kWarning, subject,
        "URL " + shown + " has text before \"" + scheme_text + "\", which the installer skips");
  }
  const Mupdate::Scheme& installer = secure ? Mupdate::kHttpsScheme : Mupdate::kHttpScheme;
  const std::string host = Mupdate::GetHostFromUrl(url, installer);
  if (host.empty()) {
    Add(findings, Severity::kError, subject, "URL " + shown + " names no host");
    return;
  }
  if (host.find(':') != std::string::npos) {
    Add(findings, Severity::kError, subject,
        "URL " + shown + " names a port: the installer always connects to port " +
            (secure ? "443" : "80") + " and passes \"" + Printable(host) +
            "\" whole as the host name");
  }
  const std::string path = Mupdate::GetPathFromUrl(url, host, installer);
  if (path.empty() || path[0] != '/') {
    Add(findings, Severity::kError, subject, "URL " + shown + " names no file on the host");
  }
  for (unsigned char c : url) {
    if (c == ' ' || c >= 0x80) {
      Add(findings, Severity::kWarning, subject,
          "URL " + shown +
              " holds a blank or a non-ASCII character, which the installer sends "
              "unescaped; servers may refuse such a request");
      break;
    }
  }
}

std::string CheckExtractor(const std::string& bytes, const std::string& subject,
                           Findings& findings) {
  if (bytes.size() < 0x40 || bytes.compare(0, 2, "MZ") != 0) {
    Add(findings, Severity::kError, subject,
        "not a Windows program: it does not begin with \"MZ\" (first bytes: " + HexBytes(bytes, 8) +
            ")");
    return "not a program";
  }
  const std::uint32_t pe = Le(bytes, 0x3C, 4);
  if (pe > bytes.size() || bytes.size() - pe < 24 ||
      bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
    Add(findings, Severity::kError, subject, "not a Windows program: \"MZ\" without a PE header");
    return "not a program";
  }
  const std::uint32_t machine = Le(bytes, pe + 4, 2);
  const std::uint32_t characteristics = Le(bytes, pe + 22, 2);
  if (characteristics & 0x2000) {
    Add(findings, Severity::kError, subject, "a DLL, not a program the installer can start");
  }
  switch (machine) {
    case 0x014C:
      return "Windows program, x86 (32-bit)";
    case 0x8664:
      return "Windows program, x86-64";
    case 0xAA64:
      return "Windows program, ARM64";
    default: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "Windows program, machine type 0x%04X", machine);
      return buf;
    }
  }
}

std::string CheckArchive(const std::string& bytes, const std::string& subject, Findings& findings) {
  if (bytes.compare(0, 8, std::string("Rar!\x1A\x07\x01\x00", 8)) == 0) return "RAR 5 archive";
  if (bytes.compare(0, 7, std::string("Rar!\x1A\x07\x00", 7)) == 0) return "RAR 4 archive";
  if (bytes.compare(0, 8, "KVTPACK1") == 0) {
    Add(findings, Severity::kWarning, subject,
        "the demo's KVTPACK1 format, not RAR: only the demo's stand-in extractor reads it, the "
        "genuine UnRAR.exe refuses it");
    return "KVTPACK1 archive (demo)";
  }
  Add(findings, Severity::kError, subject,
      "not a RAR archive: it does not begin with the RAR signature \"Rar!\" 1A 07 (first "
      "bytes: " +
          HexBytes(bytes, 8) + ")");
  return "not an archive";
}

}  // namespace kvt::release
