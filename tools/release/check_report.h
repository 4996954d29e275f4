// What `check` found about a release, and the two ways it is printed: lines for a person (one
// line per problem, then the verdict) and JSON for a program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "http_probe.h"
#include "release_rules.h"

namespace kvt::release {

// One of the three files: the raw hops, what the installer's download did and what it stored.
struct FileReport {
  std::string name, url;
  std::vector<Hop> hops;
  bool downloaded = false;
  std::int64_t announced = 0, received = 0;
  bool stored = false;  // a file (complete or partial) was left
  std::uint64_t size = 0;
  std::string sha256, kind;
};

// The signature file, for an installer with release keys (check --keys).
struct SignatureReport {
  bool checked = false;
  FileReport file;
  std::string result;  // "valid", or the failure's name ("missing", "bad signature", ...)
  bool parsed = false;
  std::uint64_t issued = 0;
  std::vector<std::string> key_ids;  // of its signature lines, in order
};

// One file as a mirror serves it, compared with what the vendor host served.
struct MirrorFileReport {
  std::string name, url;
  bool served = false;  // the installer's download of it completed
  std::uint64_t size = 0;
  std::string sha256;
  bool identical = false;  // the same size and SHA-256 as on the vendor host
};

// A mirror (check --mirror): every file the vendor host served, asked for on it.
struct MirrorReport {
  std::string host;
  std::vector<MirrorFileReport> files;
  bool identical = false;  // every file served and identical
};

struct CheckReport {
  std::string manifest_url;
  std::uint16_t installer_port = 80;  // where the installer connects: 80, or 443 over TLS
  std::uint16_t port = 80;            // where that was reached
  std::vector<FileReport> files;      // the manifest, then the extractor and the archive
  SignatureReport signature;
  std::vector<MirrorReport> mirrors;
  Findings findings;
  std::string encoding;       // of the manifest's text, as detected
  std::string version;        // as the installer shows it
  bool manifest_ok = false;   // the installer accepts the manifest
  bool installer_ok = false;  // ... and both downloads and files would work
};

void PrintText(const CheckReport& r);
void PrintJson(const CheckReport& r);

}  // namespace kvt::release
