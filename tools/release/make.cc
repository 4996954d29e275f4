// kvt-release make: the release folder the vendor web server serves.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "codepage.h"
#include "commands.h"
#include "net/download.h"
#include "release_rules.h"
#include "release_signing.h"
#include "sha256.h"

namespace kvt::release {
namespace {

namespace fs = std::filesystem;

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

int Refuse(const std::string& why) {
  std::fprintf(stderr, "kvt-release make: %s; nothing written\n", why.c_str());
  return 1;
}

void Print(const Findings& findings) {
  for (const Finding& f : findings) {
    std::fprintf(stderr, "%s: %s: %s\n", f.severity == Severity::kError ? "error" : "warning",
                 f.subject.c_str(), f.text.c_str());
  }
}

bool HasError(const Findings& findings) {
  for (const Finding& f : findings) {
    if (f.severity == Severity::kError) return true;
  }
  return false;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int RunMake(const MakeOptions& o) {
  // The version: one line of text the code page can hold.
  if (o.version.empty()) return Refuse("the version is empty");
  for (unsigned char c : o.version) {
    if (c < 0x20 || c == 0x7F) return Refuse("the version holds a control character");
  }
  std::string version, bad;
  if (!Utf8ToCp936(o.version, version, bad)) {
    return Refuse("the version \"" + Printable(o.version) + "\" holds \"" + Printable(bad) +
                  "\", which code page 936 (the installer's manifest encoding) cannot hold");
  }

  // The URLs, checked as the installer will read them; anything fragile is refused here.
  std::string base = o.base_url;
  if (base.empty() || base.back() != '/') base += '/';
  const std::string urls[2] = {base + kExtractorName, base + kArchiveName};
  Findings url_findings;
  // A base URL in https:// makes the release of the secure installer, read with its scheme.
  const bool secure = base.compare(0, 8, "https://") == 0;
  CheckUrl(urls[0], "--base-url", url_findings, secure);  // both URLs share all but the name
  if (!url_findings.empty()) {
    Print(url_findings);
    return Refuse("the base URL would not work for every installer");
  }

  std::string extractor, archive;
  if (!ReadWholeFile(o.extractor, extractor)) return Refuse("cannot read " + o.extractor);
  if (!ReadWholeFile(o.archive, archive)) return Refuse("cannot read " + o.archive);
  Findings findings;
  CheckExtractor(extractor, o.extractor, findings);
  CheckArchive(archive, o.archive, findings);
  Print(findings);
  if (HasError(findings)) return Refuse("the files would not install");
  std::vector<std::unique_ptr<SigningKey>> keys;
  std::string problem;
  if (!o.sign_keys.empty() && !LoadSigningKeys(o.sign_keys, keys, problem)) return Refuse(problem);

  // Three lines joined by CR LF and no line break after the last: the installer takes a line
  // break there for an empty fourth line and refuses the manifest.
  const std::string manifest = version + "\r\n" + urls[0] + "\r\n" + urls[1];
  std::error_code error;
  fs::create_directories(o.out_dir, error);
  const std::pair<std::string, const std::string*> outputs[] = {
      {kManifestName, &manifest}, {kExtractorName, &extractor}, {kArchiveName, &archive}};
  for (const auto& [name, bytes] : outputs) {
    const std::string path = (fs::path(o.out_dir) / name).string();
    if (!WriteWholeFile(path, *bytes)) return Refuse("cannot write " + path);
  }
  if (!keys.empty()) {
    std::vector<const SigningKey*> signers;
    for (const auto& key : keys) signers.push_back(key.get());
    if (!SignReleaseFolder(o.out_dir, signers, o.issued, problem)) {
      std::fprintf(stderr, "kvt-release make: %s\n", problem.c_str());
      return 1;
    }
  }
  std::printf("release %s in %s\n", o.version.c_str(), o.out_dir.c_str());
  std::printf("  %s\n  %s\n", urls[0].c_str(), urls[1].c_str());
  // The figures of the files as they now lie on disk, in the form sha256sum reads.
  int status = 0;
  for (const auto& [name, bytes] : outputs) {
    std::string hex;
    std::uint64_t size = 0;
    if (!Sha256File((fs::path(o.out_dir) / name).string(), hex, size)) {
      std::fprintf(stderr, "kvt-release make: cannot read back %s\n", name.c_str());
      status = 1;
      continue;
    }
    std::printf("%s  %s  (%llu bytes)\n", hex.c_str(), name.c_str(),
                static_cast<unsigned long long>(size));
  }
  if (!keys.empty()) {
    std::printf("signed (%s%s), issued %lld, with key(s)", kManifestName, kSignatureSuffix,
                static_cast<long long>(o.issued));
    for (const auto& key : keys) std::printf(" %s", key->id().c_str());
    std::printf("\n");
  }
  return status;
}

}  // namespace kvt::release
