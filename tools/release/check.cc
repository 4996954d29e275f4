// kvt-release check: reads a live release the way the installer reads it. The verdict comes from
// the installer's own code (the manifest fetch and DownloadFile, on the POSIX adapters with the
// window in memory); raw looks at the server's answers explain it.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>

#include "check_report.h"
#include "codepage.h"
#include "commands.h"
#include "http_probe.h"
#include "kvt/build_config.h"
#include "net/download.h"
#include "net/http_text.h"
#include "net/manifest.h"
#include "net/mirrors.h"
#include "net/release_signature.h"
#include "platform/headless/headless.h"
#include "platform/posix/posix.h"
#include "platform/text_decoding.h"
#include "release_rules.h"
#include "sha256.h"
#include "startup/texts.h"

namespace kvt::release {
namespace {

namespace fs = std::filesystem;

constexpr char kProgramFolder[] = "C:\\kvt-release";
constexpr char kInstallFolder[] = "D:\\KVT记账宝";
// The extractor and archive checks look at no more than this much of a file.
constexpr std::size_t kPrefixBytes = 64 * 1024;

// The text the installer reads from a file's bytes on Simplified Chinese Windows: UTF-8 when it
// says so or is valid UTF-8 beyond ASCII, else code page 936 (its ANSI code page).
std::string InstallerText(const std::string& bytes) {
  return platform::DecodeText(bytes, Cp936ToUtf8);
}

// Files under a drive map whose texts decode as the installer's Windows adapter does. The bytes
// of the last text decoded are kept: they are the manifest as the installer read it. So are the
// bytes of each partial file the installer deletes (a manifest cut short, for the report).
class Cp936Files : public posix::PosixFileSystem {
 public:
  using PosixFileSystem::PosixFileSystem;
  std::string TextFromBytes(const std::string& bytes) override {
    last_read = bytes;
    return InstallerText(bytes);
  }
  platform::FileResult DeleteFile(const std::string& path) override {
    const std::string suffix = text::kPartialSuffix;
    std::string bytes;
    if (path.size() > suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0 &&
        ReadAllBytes(path, std::string().max_size(), bytes)) {
      deleted_partials[path] = std::move(bytes);
    }
    return PosixFileSystem::DeleteFile(path);
  }
  std::optional<std::string> last_read;
  std::map<std::string, std::string> deleted_partials;
};

constexpr char kSignatureName[] = "KVT_TRNQP_SETUP_LOG.txt.sig";

// A fresh folder under $TMPDIR, removed with its contents.
class TempFolder {
 public:
  TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/kvt-check-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
  std::string path;
};

std::uint16_t InstallerPort(const CheckOptions& options) { return options.https ? 443 : 80; }
std::uint16_t Reached(const CheckOptions& options) {
  return options.port != 0 ? options.port : InstallerPort(options);
}

class Checker {
 public:
  explicit Checker(const CheckOptions& options)
      : options_(options),
        files_({{'C', temp_.path + "/c"}, {'D', temp_.path + "/d"}}, kProgramFolder),
        internet_(options.https ? 80 : Reached(options), options.https ? Reached(options) : 443) {
    internet_.SetTrustedCaFile(options.ca_file);
    // The installer's keys are the ones given (none: an installer without keys), whatever this
    // tool's own build says.
    vendor_.scheme = options.https ? &Mupdate::kHttpsScheme : &Mupdate::kHttpScheme;
    vendor_.keys = &release_keys_;
    Mupdate::ParseReleaseKeys(options.keys, release_keys_.points);
    release_keys_.not_before = static_cast<std::uint64_t>(options.not_before);
    for (const char* dir : {"/c", "/c/kvt-release", "/d", "/d/KVT记账宝"}) {
      ::mkdir((temp_.path + dir).c_str(), 0755);
    }
    machine_.window.record = false;
    // The user's own connectivity is not what is checked: the probe's lookup answers yes.
    machine_.resolver.resolvable = {build::kProbeHost};
    platform::Platform p = machine_.Platform(&internet_, &files_, nullptr);
    p.clock = &clock_;
    p.crypto = &crypto_;
    platform::Install(p);
  }
  ~Checker() { platform::Install(platform::Platform{}); }

  int Run();

 private:
  void Error(const std::string& subject, const std::string& text) {
    report_.findings.push_back({Severity::kError, subject, text});
  }
  void Warn(const std::string& subject, const std::string& text) {
    report_.findings.push_back({Severity::kWarning, subject, text});
  }
  bool HasError(const std::string& subject) const {
    for (const Finding& f : report_.findings) {
      if (f.severity == Severity::kError && f.subject == subject) return true;
    }
    return false;
  }
  ProbeOptions Probing(const std::string& extra_header = "") const {
    ProbeOptions probe;
    probe.http_port = options_.https ? 80 : Reached(options_);
    probe.https_port = options_.https ? Reached(options_) : 443;
    probe.ca_file = options_.ca_file;
    probe.extra_header = extra_header;
    probe.secure = options_.https;
    return probe;
  }
  std::string Linux(const std::string& windows_path) const {
    bool ok = false;
    return files_.ToLinuxPath(windows_path, ok);
  }

  void ExplainHops(const FileReport& file);
  void LookAt(FileReport& file);
  void ExplainFailedDownload(const FileReport& file);
  void CheckManifestText(const std::string& bytes);
  void CheckSignature(const std::string& manifest, const std::vector<std::string>& urls);
  std::string Explain(Mupdate::SignatureCheck result, const Mupdate::SignatureFile& file,
                      const std::string& manifest, const std::vector<std::string>& urls);
  FileReport CheckFile(const std::string& name, const std::string& url, const char* prefix,
                       const Mupdate::SignedFile* expected);
  void Compare(const std::string& name, const std::string& sha256);
  MirrorReport CheckMirror(const std::string& mirror);

  CheckOptions options_;
  TempFolder temp_;
  headless::Machine machine_;
  Cp936Files files_;
  posix::PosixInternet internet_;
  posix::PosixClock clock_;
  posix::PosixCrypto crypto_;
  Mupdate::ReleaseKeys release_keys_;
  // The installer's scheme and keys, for every transfer and URL the check makes.
  Mupdate::VendorSettings vendor_;
  CheckReport report_;
};

// What the server's answers say about a file, hop by hop.
void Checker::ExplainHops(const FileReport& file) {
  const std::string& name = file.name;
  for (const Hop& hop : file.hops) {
    const std::string where = Printable(hop.url) + ": ";
    for (const std::string& problem : hop.tls_problems) Error(name, where + problem);
    if (!hop.error.empty()) {
      Error(name, where + Printable(hop.error));
      return;
    }
    if (hop.IsRedirect()) {
      Warn(name, where + "redirected (" + hop.status + ") to \"" +
                     Printable(hop.All("Location").front()) +
                     "\"; the installer follows it, but the manifest should name the final URL");
      continue;
    }
    if (hop.status != "200" && hop.status != "206") {
      Error(name, where + "status \"" + Printable(hop.status_line) + "\": the installer needs 200");
      return;
    }
    const std::vector<std::string> lengths = hop.All("Content-Length");
    const std::vector<std::string> codings = hop.All("Transfer-Encoding");
    const std::vector<std::string> compressed = hop.All("Content-Encoding");
    if (!codings.empty() && lengths.empty()) {
      Error(name, where + "chunked answer (Transfer-Encoding: " + Printable(codings.front()) +
                      ") without Content-Length: the installer never takes the download as "
                      "complete");
    } else if (!codings.empty()) {
      Warn(name, where + "chunked answer (Transfer-Encoding: " + Printable(codings.front()) +
                     ") that also names a length; serve files plainly");
    } else if (lengths.empty()) {
      Error(name, where +
                      "no Content-Length: the installer takes a download as complete only "
                      "when the announced length has arrived");
    }
    for (const std::string& length : lengths) {
      std::int64_t value = 0;
      if (!http::ParseContentLength(length, value)) {
        Error(name, where + "Content-Length \"" + Printable(length) + "\" is not one plain number");
      } else if (length != lengths.front()) {
        Error(name, where + "Content-Length given several times with different values");
      }
    }
    if (lengths.size() > 1 && !HasError(name)) Warn(name, where + "Content-Length repeated");
    if (!compressed.empty() && !http::EqualsNoCase(compressed.front(), "identity")) {
      Error(name, where + "compressed answer (Content-Encoding: " + Printable(compressed.front()) +
                      "): the installer stores the compressed bytes as they are");
    }
  }
}

// The server's raw answers for the file, explained.
void Checker::LookAt(FileReport& file) {
  file.hops = Probe(file.url, Probing());
  ExplainHops(file);
  // Compression the server applies only when asked does not reach the installer (it does not
  // ask), but a proxy or cache in between may ask, or keep the compressed answer for everyone.
  if (file.hops.empty() || file.hops.back().status != "200" ||
      !file.hops.back().All("Content-Encoding").empty()) {
    return;
  }
  const std::vector<Hop> asked = Probe(file.url, Probing("Accept-Encoding: gzip"));
  if (!asked.empty() && !asked.back().All("Content-Encoding").empty()) {
    Warn(file.name, "the server compresses this file for clients that ask (Content-Encoding: " +
                        Printable(asked.back().All("Content-Encoding").front()) +
                        "); the installer does not ask, but a proxy or cache that does breaks "
                        "the download: switch compression off for the release files");
  }
}

// A download the installer's code did not complete: what the byte counts say, and a line in any
// case, so that the exit status always follows the installer's own result.
void Checker::ExplainFailedDownload(const FileReport& file) {
  if (file.announced > 0 && file.received < file.announced) {
    Error(file.name, "the body ended after " + std::to_string(file.received) + " of " +
                         std::to_string(file.announced) + " announced bytes");
  }
  if (!HasError(file.name)) Error(file.name, "the installer's download does not complete");
}

// The manifest's bytes as the installer reads them: encoding, byte-order mark, lines.
void Checker::CheckManifestText(const std::string& bytes) {
  const std::string name = kManifestName;
  const bool bom = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
  const std::string body = bom ? bytes.substr(3) : bytes;
  bool ascii = true;
  for (unsigned char c : body) ascii = ascii && c < 0x80;
  const std::string shown_version = Mupdate::SplitManifestLines(InstallerText(bytes)).front();
  const std::string shown = "the installer reads it as UTF-8 and shows the version as \"" +
                            Printable(shown_version) +
                            "\"; code page 936 is the manifest's own format";
  if (bom) {
    report_.encoding = "UTF-8 with byte-order mark";
    Warn(name, "begins with a UTF-8 byte-order mark; " + shown);
  } else if (ascii) {
    report_.encoding = "ASCII (the same in code page 936 and UTF-8)";
  } else if (IsValidUtf8(body)) {
    report_.encoding = "UTF-8";
    Warn(name, "saved as UTF-8, not code page 936; " + shown);
  } else if (IsValidCp936(body)) {
    report_.encoding = "code page 936";
  } else {
    report_.encoding = "neither code page 936 nor UTF-8";
    Warn(name, "text is neither code page 936 nor UTF-8; the installer shows the version as \"" +
                   Printable(shown_version) + "\"");
  }

  // The installer splits the decoded text: a broken character may take a CR along with it.
  std::vector<std::string> lines = Mupdate::SplitManifestLines(InstallerText(bytes));
  const bool swallowed = lines.size() != Mupdate::SplitManifestLines(bytes).size();
  const bool trailing = lines.size() > 1 && lines.back().empty();
  if (trailing) {
    Error(name,
          "line break (CR LF) after the last line: the installer then reads an empty "
          "archive URL and refuses the manifest");
    lines.pop_back();
  }
  if (lines.size() != 3) {
    bool lone = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const bool lf_alone = bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r');
      const bool cr_alone = bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n');
      lone = lone || lf_alone || cr_alone;
    }
    Error(name, std::to_string(lines.size()) +
                    " line(s) where the installer needs three (version, extractor URL, archive "
                    "URL) joined by CR LF" +
                    (lone        ? "; lines here end in LF or CR alone"
                     : swallowed ? "; read in code page 936, a broken character before a line "
                                   "break takes its CR along"
                                 : ""));
  }
  if (lines.front().empty()) Error(name, "the first line (the version) is empty");
}

// Why the signature file does not verify, in words.
std::string Checker::Explain(Mupdate::SignatureCheck result, const Mupdate::SignatureFile& file,
                             const std::string& manifest, const std::vector<std::string>& urls) {
  using Mupdate::SignatureCheck;
  std::string given;
  for (const std::string& point : release_keys_.points) {
    given += (given.empty() ? "" : ", ") + Mupdate::KeyId(crypto_, point);
  }
  switch (result) {
    case SignatureCheck::kValid:
      return "";
    case SignatureCheck::kMalformed:
      return "not a signature file of the exact format (\"KVT-RELEASE-SIGNATURE 1\", issued, "
             "manifest, one file line per URL, one to " +
             std::to_string(Mupdate::kMaxSignatureLines) +
             " signature lines; LF line ends, canonical numbers, lower-case hex)";
    case SignatureCheck::kNoKnownKey: {
      std::string named;
      for (const std::string& id : report_.signature.key_ids) {
        named += (named.empty() ? "" : ", ") + id;
      }
      return "no signature line names a key of --keys (" + given + "); the file names " +
             (named.empty() ? std::string("none") : named);
    }
    case SignatureCheck::kBadSignature:
      return "the signature lines of the keys " + given +
             " do not verify: the file was changed after signing, or signed with another key";
    case SignatureCheck::kManifestChanged:
      return "the manifest's SHA-256 is " + Sha256Hex(manifest) + ", the file signed " +
             Mupdate::HexOf(file.manifest_sha256) + " (sign the release again)";
    case SignatureCheck::kUrlMismatch: {
      std::string named;
      for (const Mupdate::SignedFile& f : file.files) {
        named += (named.empty() ? "" : ", ") + Printable(f.url);
      }
      return "the file lines name " + named + "; the manifest names " + Printable(urls[0]) + ", " +
             Printable(urls[1]) + " (one line each, in its order)";
    }
    case SignatureCheck::kTooOld:
      return "issued " + std::to_string(file.issued) + ", before --not-before " +
             std::to_string(release_keys_.not_before) +
             ": the installer refuses a release older than the one it was built for";
  }
  return "";
}

// The signature file as an installer with the given keys fetches it, checked by its own code
// against the manifest's bytes and URLs.
void Checker::CheckSignature(const std::string& manifest, const std::vector<std::string>& urls) {
  SignatureReport& s = report_.signature;
  s.checked = true;
  s.file.name = kSignatureName;
  s.file.url = report_.manifest_url + Mupdate::kSignatureSuffix;
  LookAt(s.file);
  const std::string local = std::string(kProgramFolder) + "\\" + kSignatureName;
  s.file.downloaded =
      Mupdate::DownloadFile(s.file.url, local, "", nullptr, *vendor_.scheme,
                            static_cast<std::int64_t>(Mupdate::kMaxSignatureFileBytes)) == -1;
  s.file.announced = Mupdate::TotalBytes;
  s.file.received = Mupdate::ReceivedBytes;
  std::string bytes;
  if (Mupdate::LastDownloadFailure == Mupdate::DownloadFailure::kTooLarge) {
    s.result = "too large";
    Error(kSignatureName, "too large: " + std::to_string(s.file.announced) +
                              " bytes announced; an installer with keys reads no more than " +
                              std::to_string(Mupdate::kMaxSignatureFileBytes) +
                              " and refuses the release as tampered");
    return;
  }
  if (!s.file.downloaded || !ReadWholeFile(Linux(local), bytes)) {
    s.result = "missing";
    Error(kSignatureName,
          "missing: an installer with keys fetches it beside the manifest and, without it, "
          "installs nothing (\"" +
              std::string(text::kCannotConnect) + "\")");
    return;
  }
  s.file.stored = true;
  s.file.size = bytes.size();
  s.file.sha256 = Sha256Hex(bytes);
  Mupdate::SignatureFile file;
  s.parsed = Mupdate::ParseSignatureFile(bytes, file);
  if (s.parsed) {
    s.issued = file.issued;
    for (const auto& signature : file.signatures) {
      std::string id;
      for (std::uint8_t b : signature.key_id) {
        id += "0123456789abcdef"[b >> 4];
        id += "0123456789abcdef"[b & 15];
      }
      s.key_ids.push_back(id);
    }
  }
  const Mupdate::SignatureCheck result =
      Mupdate::CheckReleaseSignature(crypto_, bytes, manifest, urls, release_keys_, nullptr);
  s.result =
      result == Mupdate::SignatureCheck::kValid ? "valid" : Mupdate::SignatureCheckName(result);
  if (result != Mupdate::SignatureCheck::kValid) {
    Error(kSignatureName, s.result + ": " + Explain(result, file, manifest, urls));
  }
}

FileReport Checker::CheckFile(const std::string& name, const std::string& url, const char* prefix,
                              const Mupdate::SignedFile* expected) {
  FileReport file;
  file.name = name;
  file.url = url;
  if (url.empty()) {
    Error(name, "the manifest gives the installer no URL for it");
    return file;
  }
  CheckUrl(url, name, report_.findings, options_.https);
  // The secure installer requests nothing for a plain http:// URL; neither does the check.
  if (!options_.https || url.rfind("http://", 0) != 0) LookAt(file);

  const std::string local = std::string(kInstallFolder) + "\\" + name;
  file.downloaded = Mupdate::DownloadFile(url, local, prefix, expected, *vendor_.scheme) == -1;
  file.announced = Mupdate::TotalBytes;
  file.received = Mupdate::ReceivedBytes;
  if (!file.downloaded && expected != nullptr &&
      Mupdate::LastDownloadFailure == Mupdate::DownloadFailure::kTampered) {
    const std::int64_t served = file.announced > 0 ? file.announced : file.received;
    if (served != expected->size) {
      Error(name, "size mismatch: " + std::to_string(served) + " bytes served, " +
                      std::to_string(expected->size) + " signed");
    } else {
      Error(name, "hash mismatch: what was served is not the signed SHA-256 " +
                      Mupdate::HexOf(expected->sha256) + " (the installer deletes it)");
    }
  }
  // What the installer stored: the file, or the partial file a broken transfer leaves.
  const std::string path = Linux(file.downloaded ? local : local + text::kPartialSuffix);
  file.stored = Sha256File(path, file.sha256, file.size);
  if (!file.downloaded) {
    ExplainFailedDownload(file);
  } else {
    std::string head(kPrefixBytes, '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    file.kind = name == kExtractorName ? CheckExtractor(head, name, report_.findings)
                                       : CheckArchive(head, name, report_.findings);
  }
  return file;
}

void Checker::Compare(const std::string& name, const std::string& sha256) {
  const std::string path = (fs::path(options_.expect_dir) / name).string();
  std::string expected;
  std::uint64_t size = 0;
  if (!Sha256File(path, expected, size)) {
    Error(name, "cannot read the expected file " + path);
  } else if (expected != sha256) {
    Error(name, "differs from " + path + " (SHA-256 " + sha256.substr(0, 16) + "... served, " +
                    expected.substr(0, 16) + "... expected)");
  }
}

// A host or host:port as KVT_VENDOR_MIRRORS takes it.
bool IsMirrorEntry(const std::string& entry) {
  const std::size_t colon = entry.rfind(':');
  const std::string name = entry.substr(0, colon);
  if (name.empty() || name.front() == '-' || name.front() == '.' || name.back() == '-' ||
      name.back() == '.') {
    return false;
  }
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return false;
  }
  if (colon == std::string::npos) return true;
  const std::string port = entry.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.front() == '0') return false;
  for (char c : port) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return std::stoul(port) <= 65535;
}

// Every file the vendor host served, asked for on `mirror` the way the installer's failover asks
// (the same path, the mirror's port dialled as given) and compared byte for byte by size and
// SHA-256.
MirrorReport Checker::CheckMirror(const std::string& mirror) {
  MirrorReport report;
  report.host = mirror;
  report.identical = true;
  Mupdate::Scheme scheme = *vendor_.scheme;
  std::string name = mirror;
  const std::size_t colon = mirror.rfind(':');
  if (colon != std::string::npos) {
    name = mirror.substr(0, colon);
    scheme.port = static_cast<std::uint16_t>(std::stoul(mirror.substr(colon + 1)));
  }
  std::vector<FileReport> files = report_.files;
  if (report_.signature.checked) files.insert(files.begin() + 1, report_.signature.file);
  const std::string subject = "mirror " + mirror;
  for (const FileReport& vendor_file : files) {
    // Only a complete file of the vendor host says what the mirror must serve.
    if (!vendor_file.downloaded || !vendor_file.stored) continue;
    MirrorFileReport file;
    file.name = vendor_file.name;
    file.url = Mupdate::MirrorUrl(vendor_file.url, name, scheme);
    const std::string local = std::string(kProgramFolder) + "\\mirror-" + vendor_file.name;
    file.served = !file.url.empty() &&
                  Mupdate::DownloadFile(file.url, local, "", nullptr, scheme) == -1 &&
                  Sha256File(Linux(local), file.sha256, file.size);
    (void)files_.DeleteFile(local);
    (void)files_.DeleteFile(local + text::kPartialSuffix);
    file.identical =
        file.served && file.size == vendor_file.size && file.sha256 == vendor_file.sha256;
    if (!file.served) {
      Error(subject, file.name + " not served completely (" +
                         std::to_string(Mupdate::ReceivedBytes) +
                         " bytes arrived): the installer "
                         "leaves this mirror for the next host");
    } else if (!file.identical) {
      Error(subject, file.name + " differs from the vendor host's (" + std::to_string(file.size) +
                         " bytes, SHA-256 " + file.sha256.substr(0, 16) + "... served; " +
                         std::to_string(vendor_file.size) + " bytes, " +
                         vendor_file.sha256.substr(0, 16) + "... on the vendor host)");
    }
    report.identical = report.identical && file.identical;
    report.files.push_back(std::move(file));
  }
  if (report.files.empty()) {
    report.identical = false;
    Error(subject, "not compared: the vendor host served nothing complete");
  }
  return report;
}

int Checker::Run() {
  for (char c : options_.host) {
    if (c == '/' || c == ':' || static_cast<unsigned char>(c) <= ' ') {
      std::fprintf(stderr,
                   "kvt-release check: HOST is a bare host name (update.example.com), "
                   "not \"%s\"\n",
                   Printable(options_.host).c_str());
      return 2;
    }
  }
  if (temp_.path.empty()) {
    std::fprintf(stderr, "kvt-release check: cannot create a temporary folder\n");
    return 2;
  }
  for (const std::string& mirror : options_.mirrors) {
    if (!IsMirrorEntry(mirror)) {
      std::fprintf(stderr,
                   "kvt-release check: --mirror is a host name, optionally with :port "
                   "(mirror.example.com, 10.0.0.2:8080), not \"%s\"\n",
                   Printable(mirror).c_str());
      return 2;
    }
  }
  std::vector<std::string> points;
  if (!Mupdate::ParseReleaseKeys(options_.keys, points)) {
    std::fprintf(stderr,
                 "kvt-release check: --keys is not a KVT_RELEASE_KEYS value (base64 P-256 "
                 "points separated by \";\"): \"%s\"\n",
                 Printable(options_.keys).c_str());
    return 2;
  }
  if (!options_.ca_file.empty() && ::access(options_.ca_file.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "kvt-release check: cannot read the CA file %s\n",
                 options_.ca_file.c_str());
    return 2;
  }
  // A server that drops a TLS connection must not end the check.
  std::signal(SIGPIPE, SIG_IGN);
  report_.manifest_url = std::string(vendor_.scheme->prefix) + options_.host + text::kManifestPath;

  // The manifest, through the installer's own fetch and parse.
  FileReport manifest;
  manifest.name = kManifestName;
  manifest.url = report_.manifest_url;
  LookAt(manifest);
  std::string extractor_url, archive_url;
  std::vector<Mupdate::SignedFile> signed_files;
  report_.manifest_ok =
      Mupdate::FetchReleaseManifestFrom(report_.manifest_url, vendor_, report_.version,
                                        extractor_url, archive_url, signed_files) == -1;
  manifest.announced = Mupdate::TotalBytes;
  manifest.received = Mupdate::ReceivedBytes;
  manifest.downloaded = files_.last_read.has_value();
  std::string bytes;
  if (manifest.downloaded) {
    bytes = *files_.last_read;
  } else {
    const auto partial = files_.deleted_partials.find(
        std::string(kProgramFolder) + "\\" + text::kManifestTempName + text::kPartialSuffix);
    manifest.stored = partial != files_.deleted_partials.end();
    if (manifest.stored) bytes = partial->second;
    ExplainFailedDownload(manifest);
  }
  if (manifest.downloaded || manifest.stored) {
    manifest.stored = true;
    manifest.size = bytes.size();
    manifest.sha256 = Sha256Hex(bytes);
    CheckManifestText(bytes);
  }
  const std::vector<std::string> lines = Mupdate::SplitManifestLines(InstallerText(bytes));
  if (!release_keys_.points.empty() && manifest.downloaded && lines.size() == 3) {
    CheckSignature(bytes, {lines[1], lines[2]});
  }
  if (!report_.manifest_ok && manifest.downloaded && !HasError(kManifestName) &&
      !HasError(kSignatureName)) {
    Error(kManifestName, "the installer refuses the manifest");
  }
  report_.files.push_back(manifest);

  // The two files at the URLs the installer took from the manifest; when it refused the
  // manifest, at the URLs of its second and third lines, so that their problems show too.
  if (!report_.manifest_ok) {
    if (lines.size() >= 3 && manifest.downloaded) {
      extractor_url = lines[1];
      archive_url = lines[2];
    }
  }
  bool files_ok = report_.manifest_ok;
  if (!extractor_url.empty() || !archive_url.empty()) {
    // What the installer verified at the manifest fetch is what each download must be.
    const bool verified = report_.manifest_ok && signed_files.size() == 2;
    report_.files.push_back(
        CheckFile(kExtractorName, extractor_url, "", verified ? &signed_files[0] : nullptr));
    report_.files.push_back(CheckFile(kArchiveName, archive_url, text::kDownloadPrefix,
                                      verified ? &signed_files[1] : nullptr));
    files_ok = files_ok && report_.files[1].downloaded && report_.files[2].downloaded;
  }
  report_.installer_ok =
      report_.manifest_ok && files_ok && !HasError(kExtractorName) && !HasError(kArchiveName);

  for (const std::string& mirror : options_.mirrors) report_.mirrors.push_back(CheckMirror(mirror));

  if (!options_.expect_dir.empty()) {
    for (const FileReport& r : report_.files) {
      if (r.stored) Compare(r.name, r.sha256);
    }
  }
  report_.installer_port = InstallerPort(options_);
  report_.port = Reached(options_);
  if (options_.json) {
    PrintJson(report_);
  } else {
    PrintText(report_);
  }
  for (const Finding& f : report_.findings) {
    if (f.severity == Severity::kError) return 1;
  }
  return report_.installer_ok ? 0 : 1;
}

}  // namespace

int RunCheck(const CheckOptions& options) {
  Checker checker(options);
  return checker.Run();
}

}  // namespace kvt::release
