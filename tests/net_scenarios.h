// The network scenarios DownloadFile is run through: on Linux with the POSIX HTTP client
// (tests/download_test.cc) and under Wine with WinINet (tests/win32/net_scenarios_test.cc), both
// against the same server-side rows (tests/net_scenarios.cc serves row <name> on the path
// /scenario/<name>). Each row says what the server answers, what lies on disk before the call,
// how the client is set up, and what the call must leave behind.
//
// Both builds include this header, so it holds only standard C++: the table, the bytes that the
// server sends and the files hold, and a recording wrapper around any platform::Internet.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/internet.h"

namespace kvt::testing {
class TestServer;
}

namespace kvt::net_scenarios {

// How the client side runs the row.
enum class Client {
  kServed,           // http://127.0.0.1/scenario/<name>, port 80 mapped to the server
  kClosedPort,       // port 80 mapped to a port nothing listens on
  kEmptyUrl,         // url ""
  kEmptyLocalPath,   // localPath ""
  kControlInUrl,     // the served URL followed by CR LF and a header line
  kNotConnected,     // the connected-state flag reports no connection
  kProbeFails,       // the probe host does not resolve
  kSecureScheme,     // "https://" instead of "http://"
  kCapitalScheme,    // "HTTP://" instead of "http://"
  kMissingFolder,    // localPath in a folder that does not exist
};

// kText: no length of its own; `length_lines` are sent as they stand.
enum class Length { kCorrect, kAbsent, kGiven, kText };
// How the body ends on the wire once `end_after` bytes of it are out. kStall: nothing more is
// sent and the connection stays open; kStallHead: not even the response head is sent.
enum class Ending { kComplete, kClose, kReset, kStall, kStallHead };
// How the body travels: as it is, in chunks, or behind a redirect (the row's path answers 302
// with a Location naming <path>/moved, where the response is).
enum class Transfer { kPlain, kChunked, kRedirect, kRedirectAbsolute };

// What lies at a path before the call.
enum class Before { kNothing, kOldFile, kFolder };
// What must lie there after it. kBody: exactly the first `bytes` bytes of the row's body.
enum class After { kAbsent, kOldFile, kFolder, kBody };

struct Scenario {
  const char* name;
  Client client = Client::kServed;

  // The response on /scenario/<name>.
  const char* status_line = "HTTP/1.1 200 OK";
  std::uint32_t body_size = 4000;
  Length length = Length::kCorrect;
  std::uint32_t announced = 0;  // Length::kGiven
  std::vector<const char*> length_lines = {};  // Length::kText
  Transfer transfer = Transfer::kPlain;
  Ending ending = Ending::kComplete;
  std::uint32_t end_after = 0;  // Ending::kClose, kReset

  // The most the caller accepts (DownloadFile's max_bytes).
  std::int64_t max_bytes = INT64_MAX;

  Before target_before = Before::kNothing;
  Before partial_before = Before::kNothing;

  // Expected.
  int result = 0;
  After target = After::kAbsent;
  std::uint32_t target_bytes = 0;
  After partial = After::kAbsent;
  std::uint32_t partial_bytes = 0;
  bool error_pending = false;
  // False: refused before any internet handle was opened (and so nothing was sent).
  bool opens_handles = true;
};

// Bytes of the file that lies at the target path before the call (Before::kOldFile).
inline const std::string& OldTargetBytes() {
  static const std::string bytes = "target file of an earlier download\r\n";
  return bytes;
}
// Bytes of the partial file left by an earlier attempt: longer than any body that replaces it,
// so a transfer that continued it or wrote into it without truncating shows.
inline const std::string& OldPartialBytes() {
  static const std::string bytes(9000, 'p');
  return bytes;
}

// A header line that takes a response head past 64 KiB.
inline const char* LongHeaderLine() {
  static const std::string line = "X-Padding: " + std::string(66000, 'p');
  return line.c_str();
}

inline const std::vector<Scenario>& Table() {
  using enum Client;
  static const std::vector<Scenario> table = {
      // Accepted responses.
      {.name = "ok_200", .body_size = 5000, .result = -1, .target = After::kBody,
       .target_bytes = 5000},
      {.name = "ok_206", .status_line = "HTTP/1.1 206 Partial Content", .body_size = 5000,
       .result = -1, .target = After::kBody, .target_bytes = 5000},
      // Ends exactly on a piece boundary: the count, not an empty read, ends the loop.
      {.name = "ok_whole_pieces", .body_size = 3072, .result = -1, .target = After::kBody,
       .target_bytes = 3072},
      {.name = "ok_many_pieces", .body_size = 300001, .result = -1, .target = After::kBody,
       .target_bytes = 300001},
      {.name = "content_length_zero", .body_size = 0, .result = -1, .target = After::kBody,
       .target_bytes = 0},
      // The same length twice is still one length.
      {.name = "length_repeated", .body_size = 3000, .length = Length::kText,
       .length_lines = {"Content-Length: 3000", "Content-Length: 3000"}, .result = -1,
       .target = After::kBody, .target_bytes = 3000},
      // Redirects are followed to where the body is.
      {.name = "redirect_302", .body_size = 70000, .transfer = Transfer::kRedirect, .result = -1,
       .target = After::kBody, .target_bytes = 70000},
      {.name = "redirect_absolute", .body_size = 2000, .transfer = Transfer::kRedirectAbsolute,
       .result = -1, .target = After::kBody, .target_bytes = 2000},
      // Only the announced bytes are the body.
      {.name = "length_too_small", .body_size = 5000, .length = Length::kGiven, .announced = 2000,
       .result = -1, .target = After::kBody, .target_bytes = 2000},
      // A caller's limit: exactly that much is accepted, and a server sending more than it
      // announced gets no more read.
      {.name = "at_the_limit", .body_size = 5000, .max_bytes = 5000, .result = -1,
       .target = After::kBody, .target_bytes = 5000},
      {.name = "sent_past_the_limit", .body_size = 200000, .length = Length::kGiven,
       .announced = 4000, .max_bytes = 4000, .result = -1, .target = After::kBody,
       .target_bytes = 4000},
      // An earlier target and partial file are both deleted; the transfer starts at byte 0.
      {.name = "replaces_old_files", .body_size = 3000, .target_before = Before::kOldFile,
       .partial_before = Before::kOldFile, .result = -1, .target = After::kBody,
       .target_bytes = 3000},

      // Refused responses: nothing on disk is touched.
      {.name = "status_404", .status_line = "HTTP/1.1 404 Not Found", .body_size = 9,
       .target_before = Before::kOldFile, .partial_before = Before::kOldFile,
       .target = After::kOldFile, .partial = After::kOldFile},
      {.name = "status_500", .status_line = "HTTP/1.1 500 Internal Server Error",
       .body_size = 100, .target_before = Before::kOldFile, .target = After::kOldFile},
      {.name = "status_204", .status_line = "HTTP/1.1 204 No Content", .body_size = 0,
       .length = Length::kAbsent, .target_before = Before::kOldFile, .target = After::kOldFile},

      // Incomplete bodies: the target is gone, the partial file keeps what arrived.
      {.name = "closed_mid_body", .body_size = 6000, .ending = Ending::kClose, .end_after = 2500,
       .target_before = Before::kOldFile, .partial = After::kBody, .partial_bytes = 2500},
      // Windows drops received bytes that were not read yet when a reset arrives, so under
      // WinINet fewer bytes (or not even the head) may arrive; tests/win32 allows for that.
      {.name = "reset_mid_body", .body_size = 6000, .ending = Ending::kReset, .end_after = 2500,
       .target_before = Before::kOldFile, .partial = After::kBody, .partial_bytes = 2500},
      {.name = "closed_after_head", .body_size = 6000, .ending = Ending::kClose, .end_after = 0,
       .partial = After::kBody, .partial_bytes = 0},
      {.name = "length_too_large", .body_size = 3000, .length = Length::kGiven,
       .announced = 8000, .partial = After::kBody, .partial_bytes = 3000},
      // A stall mid-body ends at the receive time-out with every byte that arrived kept.
      {.name = "stall_mid_body", .body_size = 6000, .ending = Ending::kStall, .end_after = 2500,
       .target_before = Before::kOldFile, .partial = After::kBody, .partial_bytes = 2500},
      // A head that never comes: the request fails, nothing on disk is touched.
      {.name = "stall_before_head", .body_size = 100, .ending = Ending::kStallHead,
       .target_before = Before::kOldFile, .target = After::kOldFile},

      // Announced past the caller's limit: refused before any file is touched.
      {.name = "over_the_limit", .body_size = 5001, .max_bytes = 5000,
       .target_before = Before::kOldFile, .partial_before = Before::kOldFile,
       .target = After::kOldFile, .partial = After::kOldFile},

      // Without one valid length no end of the body can be told from a cut: refused before
      // any file is touched, so an earlier good file stays.
      {.name = "no_length_with_body", .body_size = 3000, .length = Length::kAbsent,
       .target_before = Before::kOldFile, .partial_before = Before::kOldFile,
       .target = After::kOldFile, .partial = After::kOldFile},
      {.name = "no_length_empty_body", .body_size = 0, .length = Length::kAbsent},
      {.name = "no_length_chunked", .body_size = 70000, .length = Length::kAbsent,
       .transfer = Transfer::kChunked, .target_before = Before::kOldFile,
       .target = After::kOldFile},
      {.name = "length_with_exponent", .body_size = 3000, .length = Length::kText,
       .length_lines = {"Content-Length: 1.5e3"}},
      {.name = "length_negative", .body_size = 3000, .length = Length::kText,
       .length_lines = {"Content-Length: -3000"}},
      {.name = "length_not_a_number", .body_size = 3000, .length = Length::kText,
       .length_lines = {"Content-Length: 3000 bytes"}},
      {.name = "length_out_of_range", .body_size = 3000, .length = Length::kText,
       .length_lines = {"Content-Length: 99999999999999999999"}},
      {.name = "length_conflicting", .body_size = 3000, .length = Length::kText,
       .length_lines = {"Content-Length: 3000", "Content-Length: 2000"},
       .target_before = Before::kOldFile, .target = After::kOldFile},
      // A second length behind a head too large to be read whole does not let the first stand.
      {.name = "length_behind_long_head", .body_size = 4000, .length = Length::kText,
       .length_lines = {"Content-Length: 100", LongHeaderLine(), "Content-Length: 4000"},
       .target_before = Before::kOldFile, .target = After::kOldFile},

      // Local failures: the pending error tells the caller.
      {.name = "missing_folder", .client = kMissingFolder, .error_pending = true},
      // A folder in the target's place cannot be replaced: the final rename fails and the
      // received bytes stay in the partial file.
      {.name = "target_is_folder", .body_size = 3000, .target_before = Before::kFolder,
       .target = After::kFolder, .partial = After::kBody, .partial_bytes = 3000,
       .error_pending = true},

      // Client-side refusals and unreachable servers.
      {.name = "closed_port", .client = kClosedPort, .target_before = Before::kOldFile,
       .target = After::kOldFile},
      {.name = "empty_url", .client = kEmptyUrl, .target_before = Before::kOldFile,
       .target = After::kOldFile, .opens_handles = false},
      {.name = "empty_local_path", .client = kEmptyLocalPath, .opens_handles = false},
      {.name = "control_in_url", .client = kControlInUrl, .target_before = Before::kOldFile,
       .target = After::kOldFile, .opens_handles = false},
      {.name = "not_connected", .client = kNotConnected, .target_before = Before::kOldFile,
       .target = After::kOldFile, .opens_handles = false},
      {.name = "probe_fails", .client = kProbeFails, .target_before = Before::kOldFile,
       .target = After::kOldFile, .opens_handles = false},
      {.name = "secure_scheme", .client = kSecureScheme, .target_before = Before::kOldFile,
       .target = After::kOldFile},
      {.name = "capital_scheme", .client = kCapitalScheme, .target_before = Before::kOldFile,
       .target = After::kOldFile},
  };
  return table;
}

// GoogleTest prints a row by its name.
inline void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

// The path the server answers the row on.
inline std::string ServerPath(const Scenario& s) { return std::string("/scenario/") + s.name; }

// Requests a served row makes: one, and one more behind a redirect.
inline std::size_t RequestsOf(const Scenario& s) {
  return s.transfer == Transfer::kRedirect || s.transfer == Transfer::kRedirectAbsolute ? 2 : 1;
}

// The URL the client asks for; `host` is where the server is reached ("127.0.0.1").
inline std::string ClientUrl(const Scenario& s, const std::string& host) {
  const std::string served = "http://" + host + ServerPath(s);
  switch (s.client) {
    case Client::kEmptyUrl:
      return "";
    case Client::kControlInUrl:
      return served + "\r\nX-Injected: 1";
    case Client::kSecureScheme:
      return "https://" + host + ServerPath(s);
    case Client::kCapitalScheme:
      return "HTTP://" + host + ServerPath(s);
    default:
      return served;
  }
}

// The body the server holds for the row: bytes that differ between rows and between offsets, so
// a shifted, repeated or foreign piece shows.
inline std::string Body(const Scenario& s) {
  std::uint32_t seed = 2166136261u;
  for (const char* p = s.name; *p != '\0'; ++p) seed = (seed ^ static_cast<unsigned char>(*p)) * 16777619u;
  std::string body(s.body_size, '\0');
  for (std::uint32_t i = 0; i < s.body_size; ++i) {
    const std::uint32_t x = (i + seed) * 2654435761u;
    body[i] = static_cast<char>((x >> 24) ^ (i >> 10));
  }
  return body;
}

// The bytes a file must hold for After::kBody.
inline std::string BodyPrefix(const Scenario& s, std::uint32_t bytes) {
  return Body(s).substr(0, bytes);
}

// What a path holds compared with what a row expects there (`after`, with `bytes` of the body or
// `old_bytes` of the file that was there before). `exists`, `is_folder` and `contents` are what the
// platform's own file functions found. Empty when it matches, otherwise what is wrong.
inline std::string Mismatch(After after, std::uint32_t bytes, const std::string& old_bytes,
                            const Scenario& s, bool exists, bool is_folder,
                            const std::string* contents) {
  switch (after) {
    case After::kAbsent:
      return exists ? " exists" : "";
    case After::kFolder:
      return is_folder ? "" : " is no folder";
    case After::kOldFile:
    case After::kBody: {
      if (contents == nullptr) return " is missing";
      const std::string want = after == After::kOldFile ? old_bytes : BodyPrefix(s, bytes);
      if (*contents == want) return "";
      return " holds " + std::to_string(contents->size()) + " bytes, expected " +
             std::to_string(want.size()) +
             (contents->size() == want.size() ? " (same size, other bytes)" : "");
    }
  }
  return " (unknown expectation)";
}

// Serves every row of the table on its path (Linux builds only; tests/net_scenarios.cc).
void ServeTable(kvt::testing::TestServer& server);

// Forwards every call to another Internet and records what the core did with it: the calls in
// order, the handles opened and closed, the request shape. Can report no connection.
class RecordingInternet : public platform::Internet {
 public:
  explicit RecordingInternet(platform::Internet& inner) : inner_(inner) {}

  bool connected = true;
  std::vector<std::string> calls;  // "GetConnectedState", "Open", "Connect", ...
  int opened = 0;
  int closed = 0;
  std::string agent;
  std::string host;
  std::uint16_t port = 0;
  std::string verb, object, version;
  std::uint32_t flags = 0;
  std::vector<std::string> header_lines;
  std::vector<std::uint32_t> header_modifiers;
  std::vector<std::uint32_t> read_sizes;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> options;  // option, value
  std::vector<std::pair<std::uint32_t, std::uint32_t>> error_dialogs;  // error, flags

  bool GetConnectedState() override {
    calls.push_back("GetConnectedState");
    return connected && inner_.GetConnectedState();
  }
  bool ProxyConfigured() override { return inner_.ProxyConfigured(); }
  platform::InetHandle Open(const std::string& a) override {
    calls.push_back("Open");
    agent = a;
    return Count(inner_.Open(a));
  }
  platform::InetHandle Connect(platform::InetHandle open, const std::string& h,
                               std::uint16_t p) override {
    calls.push_back("Connect");
    host = h;
    port = p;
    return Count(inner_.Connect(open, h, p));
  }
  platform::InetHandle OpenRequest(platform::InetHandle connect, const std::string& v,
                                   const std::string& o, const std::string& ver,
                                   std::uint32_t f) override {
    calls.push_back("OpenRequest");
    verb = v;
    object = o;
    version = ver;
    flags = f;
    return Count(inner_.OpenRequest(connect, v, o, ver, f));
  }
  bool AddRequestHeaders(platform::InetHandle request, const std::string& line,
                         std::uint32_t modifiers) override {
    calls.push_back("AddRequestHeaders");
    header_lines.push_back(line);
    header_modifiers.push_back(modifiers);
    return inner_.AddRequestHeaders(request, line, modifiers);
  }
  bool SetOption(platform::InetHandle handle, std::uint32_t option,
                 std::uint32_t value) override {
    calls.push_back("SetOption");
    options.emplace_back(option, value);
    return inner_.SetOption(handle, option, value);
  }
  bool SendRequest(platform::InetHandle request) override {
    calls.push_back("SendRequest");
    return inner_.SendRequest(request);
  }
  bool QueryInfo(platform::InetHandle request, std::uint32_t level, std::size_t size,
                 std::string& text) override {
    calls.push_back("QueryInfo");
    return inner_.QueryInfo(request, level, size, text);
  }
  bool ReadFile(platform::InetHandle request, char* buffer, std::uint32_t size,
                std::uint32_t& read) override {
    calls.push_back("ReadFile");
    read_sizes.push_back(size);
    return inner_.ReadFile(request, buffer, size, read);
  }
  std::uint32_t ErrorDlg(platform::InetHandle request, std::uint32_t error,
                         std::uint32_t flags) override {
    calls.push_back("ErrorDlg");
    error_dialogs.emplace_back(error, flags);
    return inner_.ErrorDlg(request, error, flags);
  }
  void CloseHandle(platform::InetHandle handle) override {
    calls.push_back("CloseHandle");
    if (handle != 0) ++closed;
    inner_.CloseHandle(handle);
  }

 private:
  platform::InetHandle Count(platform::InetHandle h) {
    if (h != 0) ++opened;
    return h;
  }

  platform::Internet& inner_;
};

// Forwards every call to another FileSystem and records the changes asked for
// ("CreateForWrite C:\\KVT\\x.temp", "DeleteFile ...", "RenameFile a -> b", "ReadAllBytes ...").
// Writes from a given offset on and whole-file reads can be made to fail, renames and deletions
// refused as if another process held the file, and the free space reported can be set.
class RecordingFiles : public platform::FileSystem {
 public:
  explicit RecordingFiles(platform::FileSystem& inner) : inner_(inner) {}

  std::vector<std::string> calls;
  // Writes that reach this offset fail with `write_failure` (UINT64_MAX: none).
  std::uint64_t fail_writes_from = UINT64_MAX;
  platform::FileResult write_failure = platform::FileResult::kFailed;
  bool fail_read_all = false;
  std::uint64_t writes = 0;
  // The next this many renames (deletions) are refused with kHeld.
  int held_renames = 0;
  int held_deletes = 0;
  // Reported instead of the real free space when smaller.
  std::uint64_t free_space = UINT64_MAX;
  // Files held and not yet released.
  int holding = 0;

  bool FileExists(const std::string& path, bool& ok) override {
    return inner_.FileExists(path, ok);
  }
  bool DirectoryExists(const std::string& path, bool& ok) override {
    return inner_.DirectoryExists(path, ok);
  }
  bool CreateDirectory(const std::string& path) override {
    calls.push_back("CreateDirectory " + path);
    return inner_.CreateDirectory(path);
  }
  platform::FileResult DeleteFile(const std::string& path) override {
    calls.push_back("DeleteFile " + path);
    if (held_deletes > 0 && held_deletes--) return platform::FileResult::kHeld;
    return inner_.DeleteFile(path);
  }
  platform::FileResult RenameFile(const std::string& from, const std::string& to) override {
    calls.push_back("RenameFile " + from + " -> " + to);
    if (held_renames > 0 && held_renames--) return platform::FileResult::kHeld;
    return inner_.RenameFile(from, to);
  }
  platform::FileHandle CreateForWrite(const std::string& path) override {
    calls.push_back("CreateForWrite " + path);
    return inner_.CreateForWrite(path);
  }
  platform::FileResult DeleteOpen(platform::FileHandle file) override {
    calls.push_back("DeleteOpen");
    return inner_.DeleteOpen(file);
  }
  // A refused rename leaves the file open, as the real ones do.
  platform::FileResult HoldAs(platform::FileHandle& file, const std::string& to, std::uint64_t size,
                              platform::HeldFile& held) override {
    calls.push_back("HoldAs " + to);
    if (held_renames > 0 && held_renames--) return platform::FileResult::kHeld;
    const platform::FileResult result = inner_.HoldAs(file, to, size, held);
    if (result == platform::FileResult::kOk) ++holding;
    return result;
  }
  bool StillHeld(platform::HeldFile held) override { return inner_.StillHeld(held); }
  bool Release(platform::HeldFile held) override {
    calls.push_back("Release");
    const bool released = inner_.Release(held);
    if (released) --holding;
    return released;
  }
  platform::FileResult WriteAt(platform::FileHandle file, std::uint64_t offset, const char* data,
                               std::size_t size) override {
    ++writes;
    if (offset + size > fail_writes_from) return write_failure;
    return inner_.WriteAt(file, offset, data, size);
  }
  bool FreeSpace(const std::string& folder, std::uint64_t& bytes) override {
    if (!inner_.FreeSpace(folder, bytes)) return false;
    bytes = std::min(bytes, free_space);
    return true;
  }
  bool Close(platform::FileHandle file) override { return inner_.Close(file); }
  bool ReadAllBytes(const std::string& path, std::size_t max_bytes, std::string& bytes) override {
    calls.push_back("ReadAllBytes " + path);
    if (fail_read_all) return false;
    return inner_.ReadAllBytes(path, max_bytes, bytes);
  }
  std::string ProgramFolder() override { return inner_.ProgramFolder(); }
  std::string TextFromBytes(const std::string& bytes) override {
    return inner_.TextFromBytes(bytes);
  }
  bool FileSize(const std::string& path, std::uint64_t& bytes) override {
    return inner_.FileSize(path, bytes);
  }

 private:
  platform::FileSystem& inner_;
};

}  // namespace kvt::net_scenarios
