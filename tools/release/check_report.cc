#include "check_report.h"

#include <cstdio>

namespace kvt::release {
namespace {

std::string Json(const std::string& s) {
  std::string out = "\"";
  char buf[8];
  for (unsigned char c : Printable(s)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string KeyIds(const SignatureReport& s, const char* separator) {
  std::string ids;
  for (const std::string& id : s.key_ids) ids += (ids.empty() ? "" : separator) + id;
  return ids;
}

}  // namespace

void PrintText(const CheckReport& r) {
  std::printf("%s", r.manifest_url.c_str());
  if (r.port != r.installer_port) {
    std::printf(" (port %u reached at %u)", r.installer_port, r.port);
  }
  std::printf("\n");
  std::vector<FileReport> files = r.files;
  if (r.signature.checked) files.insert(files.begin() + 1, r.signature.file);
  for (const FileReport& file : files) {
    std::printf("%s  %s\n", file.name.c_str(), Printable(file.url).c_str());
    for (const Hop& hop : file.hops) {
      std::printf("  %s -> %s", Printable(hop.url).c_str(),
                  Printable(hop.error.empty() ? hop.status_line : hop.error).c_str());
      for (const char* header :
           {"Content-Length", "Transfer-Encoding", "Content-Encoding", "Location"}) {
        for (const std::string& v : hop.All(header)) {
          std::printf(", %s: %s", header, Printable(v).c_str());
        }
      }
      std::printf("\n");
    }
    if (file.downloaded) {
      std::printf("  stored %llu bytes, sha256 %s%s%s\n",
                  static_cast<unsigned long long>(file.size), file.sha256.c_str(),
                  file.kind.empty() ? "" : ", ", file.kind.c_str());
    } else {
      std::printf("  not stored: %lld bytes arrived", static_cast<long long>(file.received));
      if (file.announced > 0)
        std::printf(" of %lld announced", static_cast<long long>(file.announced));
      std::printf("\n");
    }
  }
  for (const MirrorReport& mirror : r.mirrors) {
    std::printf("mirror %s: %s\n", Printable(mirror.host).c_str(),
                mirror.identical ? "identical" : "differs");
    for (const MirrorFileReport& file : mirror.files) {
      if (!file.served) {
        std::printf("  %s  %s  not served\n", file.name.c_str(), Printable(file.url).c_str());
        continue;
      }
      std::printf("  %s  %s  %s: %llu bytes, sha256 %s\n", file.name.c_str(),
                  Printable(file.url).c_str(), file.identical ? "identical" : "differs",
                  static_cast<unsigned long long>(file.size), file.sha256.c_str());
    }
  }
  if (!r.encoding.empty()) std::printf("manifest text: %s\n", r.encoding.c_str());
  if (r.manifest_ok) std::printf("version shown: %s\n", Printable(r.version).c_str());
  if (r.signature.checked) {
    std::printf("signature: %s", r.signature.result.c_str());
    if (r.signature.parsed) {
      std::printf(" (issued %llu, key ids %s)", static_cast<unsigned long long>(r.signature.issued),
                  KeyIds(r.signature, ", ").c_str());
    }
    std::printf("\n");
  }
  int errors = 0, warnings = 0;
  for (const Finding& f : r.findings) {
    const bool error = f.severity == Severity::kError;
    (error ? errors : warnings)++;
    std::printf("%s: %s: %s\n", error ? "error" : "warning", f.subject.c_str(), f.text.c_str());
  }
  std::printf("verdict: the installer would %s (%d error(s), %d warning(s))\n",
              r.installer_ok ? "succeed" : "fail", errors, warnings);
}

void PrintJson(const CheckReport& r) {
  std::printf("{\n  \"manifest_url\": %s,\n  \"installer_would_succeed\": %s,\n",
              Json(r.manifest_url).c_str(), r.installer_ok ? "true" : "false");
  std::printf("  \"manifest_encoding\": %s,\n  \"version\": %s,\n  \"files\": [",
              Json(r.encoding).c_str(), r.manifest_ok ? Json(r.version).c_str() : "null");
  for (std::size_t i = 0; i < r.files.size(); ++i) {
    const FileReport& file = r.files[i];
    std::printf(
        "%s\n    {\"name\": %s, \"url\": %s, \"downloaded\": %s, \"received\": %lld, "
        "\"announced\": %lld, \"sha256\": %s, \"kind\": %s, \"hops\": [",
        i ? "," : "", Json(file.name).c_str(), Json(file.url).c_str(),
        file.downloaded ? "true" : "false", static_cast<long long>(file.received),
        static_cast<long long>(file.announced), file.stored ? Json(file.sha256).c_str() : "null",
        Json(file.kind).c_str());
    for (std::size_t h = 0; h < file.hops.size(); ++h) {
      const Hop& hop = file.hops[h];
      std::printf("%s{\"url\": %s, \"status\": %s, \"error\": %s}", h ? ", " : "",
                  Json(hop.url).c_str(), Json(hop.status).c_str(), Json(hop.error).c_str());
    }
    std::printf("]}");
  }
  std::printf("\n  ],\n  \"signature\": ");
  if (!r.signature.checked) {
    std::printf("null");
  } else {
    const SignatureReport& sig = r.signature;
    std::printf("{\"url\": %s, \"result\": %s, \"issued\": ", Json(sig.file.url).c_str(),
                Json(sig.result).c_str());
    if (sig.parsed) {
      std::printf("%llu", static_cast<unsigned long long>(sig.issued));
    } else {
      std::printf("null");
    }
    std::printf(", \"key_ids\": [");
    for (std::size_t i = 0; i < sig.key_ids.size(); ++i) {
      std::printf("%s%s", i ? ", " : "", Json(sig.key_ids[i]).c_str());
    }
    std::printf("]}");
  }
  std::printf(",\n  \"mirrors\": [");
  for (std::size_t i = 0; i < r.mirrors.size(); ++i) {
    const MirrorReport& mirror = r.mirrors[i];
    std::printf("%s\n    {\"host\": %s, \"identical\": %s, \"files\": [", i ? "," : "",
                Json(mirror.host).c_str(), mirror.identical ? "true" : "false");
    for (std::size_t f = 0; f < mirror.files.size(); ++f) {
      const MirrorFileReport& file = mirror.files[f];
      std::printf(
          "%s{\"name\": %s, \"url\": %s, \"served\": %s, \"size\": %llu, "
          "\"sha256\": %s, \"identical\": %s}",
          f ? ", " : "", Json(file.name).c_str(), Json(file.url).c_str(),
          file.served ? "true" : "false", static_cast<unsigned long long>(file.size),
          file.served ? Json(file.sha256).c_str() : "null", file.identical ? "true" : "false");
    }
    std::printf("]}");
  }
  std::printf("%s],\n  \"problems\": [", r.mirrors.empty() ? "" : "\n  ");
  for (std::size_t i = 0; i < r.findings.size(); ++i) {
    const Finding& f = r.findings[i];
    std::printf("%s\n    {\"severity\": \"%s\", \"file\": %s, \"text\": %s}", i ? "," : "",
                f.severity == Severity::kError ? "error" : "warning", Json(f.subject).c_str(),
                Json(f.text).c_str());
  }
  std::printf("\n  ]\n}\n");
}

}  // namespace kvt::release
