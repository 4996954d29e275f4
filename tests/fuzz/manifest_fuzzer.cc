// The manifest fetch (and, signed, its signature file) on served bytes: an in-memory Internet
// adapter answers each request with the next response of the input, the files are real (POSIX
// adapter, a temporary folder as drive C:). The input's first byte chooses how the run goes (see
// Options); the rest is the responses, split at kNext, each a head ending in an empty line and
// a body.
//
// Invariants:
// - -1 only with a version and an archive URL that, with the extractor URL, are exactly the
//   manifest body delivered (after a byte-order mark); signed, only for the reference manifest's
//   exact bytes, with the signed files naming the manifest's two URLs; never a value from before;
// - nothing read of a response that did not announce one valid length in every copy of the
//   header, nothing past that length, and nothing of a refusal (other than a proxy's 407);
// - nothing left beside the program, and someone else's file of the scratch name untouched;
// - every internet handle closed, no signature file asked for by an unsigned vendor.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz_release.h"
#include "net/download.h"
#include "net/http_text.h"
#include "net/manifest.h"
#include "platform/headless/headless.h"
#include "platform/posix/posix.h"
#include "startup/mupdate.h"
#include "startup/pending_error.h"
#include "startup/texts.h"
#include "support/temp_dir.h"

namespace kvt::fuzz {
namespace {

using platform::InetHandle;

constexpr char kManifestUrl[] = "http://127.0.0.1/KVT_TRNQP_SETUP_LOG.txt";
constexpr char kProgramFolder[] = "C:\\KVT";
constexpr char kSomeoneElses[] = "someone else's file\n";

// The first byte of an input.
struct Options {
  bool is_signed;       // the vendor trusts KeyA and KeyB
  bool occupied;        // a file of someone else's has the manifest's scratch name
  std::uint32_t piece;  // the most one read delivers (0: what is asked)
  bool fail_at_end;     // a read at the end of the body fails instead of giving 0 bytes
  bool partial_taken;   // a file of someone else's has that name + ".temp" (its partial file's)
  explicit Options(std::uint8_t b)
      : is_signed(b & 1),
        occupied(b & 2),
        piece(std::array<std::uint32_t, 8>{0, 1, 2, 3, 7, 100, 1000, 4096}[(b >> 2) & 7]),
        fail_at_end(b & 32),
        partial_taken(b & 128) {}
};

// Serves the responses of the input in order, one per SendRequest, and records what was read.
class ServedInternet : public platform::Internet {
 public:
  struct Exchange {
    std::string object;  // the request's path
    std::string head;    // through the empty line
    std::string body;
    std::string delivered;  // what ReadFile handed out
  };

  ServedInternet(std::vector<std::string> responses, const Options& options)
      : responses_(std::move(responses)), options_(options) {}

  std::vector<Exchange> exchanges;
  std::set<InetHandle> open;

  bool GetConnectedState() override { return true; }
  bool ProxyConfigured() override { return false; }
  InetHandle Open(const std::string&) override { return Add(); }
  InetHandle Connect(InetHandle parent, const std::string& host, std::uint16_t) override {
    return open.count(parent) != 0 && !host.empty() ? Add() : 0;
  }
  InetHandle OpenRequest(InetHandle parent, const std::string&, const std::string& object,
                         const std::string&, std::uint32_t) override {
    if (open.count(parent) == 0) return 0;
    const InetHandle h = Add();
    objects_[h] = object;
    return h;
  }
  bool AddRequestHeaders(InetHandle, const std::string&, std::uint32_t) override { return true; }
  bool SetOption(InetHandle, std::uint32_t, std::uint32_t) override { return true; }
  bool SendRequest(InetHandle request) override {
    current_.erase(request);
    if (objects_.count(request) == 0 || next_ == responses_.size()) return false;
    const std::string& response = responses_[next_++];
    const std::size_t end = response.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    exchanges.push_back(
        {objects_[request], response.substr(0, end + 4), response.substr(end + 4), ""});
    current_[request] = exchanges.size() - 1;
    return true;
  }
  bool QueryInfo(InetHandle request, std::uint32_t level, std::size_t buffer_size,
                 std::string& text) override {
    text.clear();
    Exchange* e = Current(request);
    if (e == nullptr) return false;
    std::string value;
    if (level == platform::kHttpQueryStatusCode) {
      const std::string line = e->head.substr(0, e->head.find("\r\n"));
      const std::size_t space = line.find(' ');
      if (space == std::string::npos) return false;
      value = line.substr(space + 1, line.find(' ', space + 1) - space - 1);
    } else if (level == platform::kHttpQueryContentLength) {
      const std::vector<std::string> copies = LengthCopies(e->head);
      if (copies.empty()) return false;
      value = copies.front();
    } else if (level == platform::kHttpQueryRawHeadersCrlf) {
      value = e->head;
    } else {
      return false;
    }
    if (value.size() + 1 > buffer_size) return false;
    text = value;
    return true;
  }
  bool ReadFile(InetHandle request, char* buffer, std::uint32_t size,
                std::uint32_t& read) override {
    read = 0;
    Exchange* e = Current(request);
    if (e == nullptr) return false;
    std::size_t n = std::min<std::size_t>(size, e->body.size() - e->delivered.size());
    if (options_.piece != 0) n = std::min<std::size_t>(n, options_.piece);
    if (n == 0 && size != 0 && options_.fail_at_end) return false;
    std::memcpy(buffer, e->body.data() + e->delivered.size(), n);
    e->delivered.append(buffer, n);
    read = static_cast<std::uint32_t>(n);
    return true;
  }
  std::uint32_t ErrorDlg(InetHandle, std::uint32_t, std::uint32_t) override {
    return platform::kErrorCancelled;
  }
  void CloseHandle(InetHandle handle) override {
    open.erase(handle);
    objects_.erase(handle);
    current_.erase(handle);
  }

  // The values of every Content-Length line of a head, as sent (blanks after the colon dropped).
  // Lines end at LF with an optional CR before it, and the first empty line ends the head, as
  // WinINet reads a head. Written here on its own so that it checks the installer's line rules
  // rather than repeating them.
  static std::vector<std::string> LengthCopies(const std::string& head) {
    std::vector<std::string> copies;
    std::size_t at = head.find('\n');  // past the status line
    while (at != std::string::npos && ++at < head.size()) {
      const std::size_t end = head.find('\n', at);
      std::string line = head.substr(at, end == std::string::npos ? end : end - at);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) break;
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos &&
          http::EqualsNoCase(line.substr(0, colon), "content-length")) {
        const std::size_t value = line.find_first_not_of(" \t", colon + 1);
        copies.push_back(value == std::string::npos ? "" : line.substr(value));
      }
      at = end;
    }
    return copies;
  }

 private:
  InetHandle Add() {
    open.insert(++last_);
    return last_;
  }
  Exchange* Current(InetHandle request) {
    const auto it = current_.find(request);
    return it == current_.end() ? nullptr : &exchanges[it->second];
  }

  std::vector<std::string> responses_;
  Options options_;
  std::size_t next_ = 0;
  InetHandle last_ = 0;
  std::map<InetHandle, std::string> objects_;
  std::map<InetHandle, std::size_t> current_;
};

// The one length every copy of the header announces; false when there is none or they differ.
bool OneLength(const std::string& head, std::int64_t& length) {
  const std::vector<std::string> copies = ServedInternet::LengthCopies(head);
  if (copies.empty()) return false;
  for (const std::string& copy : copies) {
    std::int64_t value = 0;
    if (!http::ParseContentLength(copy, value) || (&copy != &copies[0] && value != length)) {
      return false;
    }
    length = value;
  }
  return true;
}

std::string StatusOf(const std::string& head) {
  std::string text;
  const std::size_t space = head.find(' ');
  return space == std::string::npos ? text : head.substr(space + 1, 3);
}

// The names in a Linux folder and the bytes of each.
std::map<std::string, std::string> Listing(const std::string& folder) {
  std::map<std::string, std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      names[name] = testing::ReadFileBytes(folder + "/" + name).value_or("(unreadable)");
    }
    ::closedir(dir);
  }
  return names;
}

struct Machine {
  testing::TempDir temp;
  posix::PosixFileSystem files{{{'C', temp.path()}}, kProgramFolder};
  posix::PosixCrypto crypto;
  headless::Machine headless;
  std::string program_folder = temp.Sub("KVT");
  Machine() {
    ::mkdir(program_folder.c_str(), 0755);
    headless.window.record = false;
  }
};

}  // namespace
}  // namespace kvt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kvt;
  using namespace kvt::fuzz;
  if (size == 0) return 0;
  static Machine m;
  const Options options(data[0]);
  ServedInternet internet(
      Segments(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1)), options);
  platform::Platform p = m.headless.Platform(&internet, &m.files, nullptr);
  p.crypto = &m.crypto;
  platform::Install(p);
  Mupdate::ResetForNewRun();
  PendingError::Clear();
  for (const auto& [name, bytes] : Listing(m.program_folder)) {
    std::remove((m.program_folder + "/" + name).c_str());
  }
  const std::string scratch = m.program_folder + "/" + text::kManifestTempName;
  if (options.occupied) testing::WriteFileBytes(scratch, kSomeoneElses);
  if (options.partial_taken) testing::WriteFileBytes(scratch + text::kPartialSuffix, kSomeoneElses);
  const std::map<std::string, std::string> before = Listing(m.program_folder);

  const Mupdate::ReleaseKeys no_keys;
  Mupdate::VendorSettings vendor{&Mupdate::kHttpScheme, options.is_signed ? &Trusted() : &no_keys};
  const std::string stale = "\x01stale\x01";
  std::string version = stale, extractor = stale, archive = stale;
  std::vector<Mupdate::SignedFile> verified(1);  // whatever it held is never kept
  const std::int16_t result = Mupdate::FetchReleaseManifestFrom(kManifestUrl, vendor, version,
                                                                extractor, archive, verified);

  KVT_FUZZ_CHECK(result == -1 || result == 0);
  KVT_FUZZ_CHECK(internet.open.empty());
  KVT_FUZZ_CHECK(Listing(m.program_folder) == before);
  KVT_FUZZ_CHECK(internet.exchanges.size() <= (options.is_signed ? 2u : 1u));
  std::string served_text;
  for (const ServedInternet::Exchange& e : internet.exchanges) {
    served_text += e.delivered;
    const std::string status = StatusOf(e.head);
    std::int64_t length = 0;
    if (status == "407") continue;  // a proxy's refusal is read (boundedly) before a login
    if ((status != "200" && status != "206") || !OneLength(e.head, length)) {
      KVT_FUZZ_CHECK(e.delivered.empty());
    } else {
      KVT_FUZZ_CHECK(static_cast<std::int64_t>(e.delivered.size()) <= length);
    }
    const std::string manifest_path = text::kManifestPath;
    KVT_FUZZ_CHECK(e.object == manifest_path ||
                   (options.is_signed && e.object == manifest_path + Mupdate::kSignatureSuffix));
  }
  for (const std::string* value : {&version, &extractor, &archive}) {
    KVT_FUZZ_CHECK(*value != stale || served_text.find(stale) != std::string::npos);
  }
  if (options.is_signed && result != -1) KVT_FUZZ_CHECK(verified.empty());
  if (result != -1) return 0;

  KVT_FUZZ_CHECK(!version.empty() && !archive.empty());
  KVT_FUZZ_CHECK(Mupdate::LastDownloadFailure == Mupdate::DownloadFailure::kNone);
  const ServedInternet::Exchange* manifest = nullptr;
  for (const ServedInternet::Exchange& e : internet.exchanges) {
    if (e.object == text::kManifestPath) manifest = &e;
  }
  KVT_FUZZ_CHECK(manifest != nullptr);
  std::string body = manifest->delivered;
  if (body.rfind("\xEF\xBB\xBF", 0) == 0) body.erase(0, 3);
  KVT_FUZZ_CHECK(body == version + "\r\n" + extractor + "\r\n" + archive ||
                 (extractor.empty() && body == version + "\r\n" + archive));
  if (options.is_signed) {
    KVT_FUZZ_CHECK(manifest->delivered == Release().manifest);
    KVT_FUZZ_CHECK(verified.size() == 2);
    KVT_FUZZ_CHECK(verified[0].url == extractor);
    KVT_FUZZ_CHECK(verified[1].url == archive);
  }
  return 0;
}
