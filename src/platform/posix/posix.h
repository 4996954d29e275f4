// Linux adapters for the platform interfaces that Linux has a real counterpart for: an HTTP/1.1
// client over sockets in the WinINet shape, name lookup, files under a drive map (Windows paths
// in, Linux paths underneath), clocks, starting and waiting for programs, and the process list
// read from /proc. Used by the tests and benchmarks; the product uses the win32 adapters.
//
// None of these classes is thread-safe: the core calls them from its one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/internet.h"
#include "platform/log_store.h"
#include "platform/process_list.h"
#include "platform/processes.h"
#include "platform/resolver.h"
#include "platform/sha256_pipeline.h"

// OpenSSL's connection and context types (SSL, SSL_CTX).
struct ssl_st;
struct ssl_ctx_st;

namespace kvt::posix {

// WaitForSingleObject results besides kWaitObject0.
inline constexpr std::uint32_t kWaitTimeout = 0x102;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;
// GetExitCodeProcess of a process that has not ended yet.
inline constexpr std::uint32_t kStillActive = 259;

// HTTP/1.1 over TCP behind the WinINet-shaped interface.
//
// The request goes out exactly as the caller built it: "<verb> <object> <version>" CR LF, every
// header line added with AddRequestHeaders followed by CR LF, and an empty line. Nothing is added
// (no Host, no User-Agent of our own). The response head is limited to kMaxHeadBytes.
//
// As WinINet does, redirects (301, 302, 303, 307, 308 with a Location; at most kMaxRedirects) are
// followed with the same header lines, the Host line naming the new host; a "Transfer-Encoding:
// chunked" body is delivered decoded; when the response carries a Content-Length, no byte past
// that length is delivered. A connection that ends, also by a reset, reads as a normal end of the
// body (true with 0 bytes), as WinINet reports it.
//
// A request opened with kInternetFlagSecure speaks TLS (OpenSSL, TLS 1.2 or later) on its
// connection: the server's certificate must chain to a trusted CA and name the host asked for
// (DNS name, or IP address for a numeric host); any failure fails SendRequest. Such a request
// follows redirects to https:// URLs only; a plain request to http:// URLs only. The body is
// read the same way over either.
//
// Waits: connecting, sending, the TLS handshake and every wait for response bytes are bounded by
// the time-outs set with SetOption (none by default), and while a wait lasts the wait pump runs
// every kPumpIntervalMs, as the Windows adapter keeps the window's events processed.
class PosixInternet : public platform::Internet {
 public:
  static constexpr std::size_t kMaxHeadBytes = 64 * 1024;
  static constexpr std::size_t kBufferBytes = 64 * 1024;
  static constexpr int kMaxRedirects = 10;
  static constexpr int kPumpIntervalMs = 50;

  // `http_port` and `https_port` are the ports used when the caller asks for port 80 or 443 (80
  // and 443 in the product, loopback test servers' ports in tests). Every other port is used as
  // given.
  explicit PosixInternet(std::uint16_t http_port = 80, std::uint16_t https_port = 443);
  ~PosixInternet() override;
  PosixInternet(const PosixInternet&) = delete;
  PosixInternet& operator=(const PosixInternet&) = delete;

  // Caps every time-out in milliseconds (0: no cap, the default); with a cap, waits that had no
  // time-out get the cap. A wait that times out fails like WinINet's ERROR_INTERNET_TIMEOUT.
  // Tests use it to meet a stall quickly.
  void SetTimeoutCapMs(int ms) { timeout_cap_ms_ = ms; }
  // Runs while a wait lasts (the window's event pump).
  void SetWaitPump(std::function<void()> pump) { pump_ = std::move(pump); }
  // Secure requests trust only the CA certificates in this PEM file instead of the system's
  // store (empty: the system's store again). Tests give their own test CA.
  void SetTrustedCaFile(std::string path);
  // Sends every plain request through an HTTP proxy on 127.0.0.1:`port` (0: none, the default)
  // in absolute form ("GET http://host:port/path HTTP/1.1"), as WinINet does behind a proxy.
  void SetProxy(std::uint16_t port) { proxy_port_ = port; }
  // The user's part in ErrorDlg's proxy login: true with a user name and password (OK), false
  // for Cancel; unset, every login is cancelled. The login then goes with every request of that
  // handle as "Proxy-Authorization: Basic ...".
  void SetProxyLogin(std::function<bool(std::string& user, std::string& password)> login) {
    proxy_login_ = std::move(login);
  }
  // Makes every connection instead of the network: given the host and port a request would
  // dial, returns a connected stream socket (which the client then owns) or -1. The fuzzer serves
  // its bytes through one end of a socket pair this way; unset, connections go to the network.
  void SetConnector(std::function<int(const std::string& host, std::uint16_t port)> connector) {
    connector_ = std::move(connector);
  }
  // Handles currently allocated (all kinds); for leak checks in tests.
  std::size_t OpenHandleCount() const { return handles_.size(); }

  bool GetConnectedState() override;
  // True once SetProxy named a proxy.
  bool ProxyConfigured() override;
  platform::InetHandle Open(const std::string& agent) override;
  platform::InetHandle Connect(platform::InetHandle open, const std::string& host,
                               std::uint16_t port) override;
  platform::InetHandle OpenRequest(platform::InetHandle connect, const std::string& verb,
                                   const std::string& object, const std::string& version,
                                   std::uint32_t flags) override;
  bool AddRequestHeaders(platform::InetHandle request, const std::string& line,
                         std::uint32_t modifiers) override;
  bool SetOption(platform::InetHandle handle, std::uint32_t option, std::uint32_t value) override;
  bool SendRequest(platform::InetHandle request) override;
  bool QueryInfo(platform::InetHandle request, std::uint32_t info_level, std::size_t buffer_size,
                 std::string& text) override;
  bool ReadFile(platform::InetHandle request, char* buffer, std::uint32_t size,
                std::uint32_t& read) override;
  // The proxy login only (see SetProxyLogin); with kFlagsErrorUiFilterForErrors a response
  // other than 407 gives kErrorSuccess.
  std::uint32_t ErrorDlg(platform::InetHandle request, std::uint32_t error,
                         std::uint32_t flags) override;
  void CloseHandle(platform::InetHandle handle) override;

 private:
  enum class Kind { kOpen, kConnect, kRequest };
  // Where a chunked body stands: before a size line, inside a chunk's data, before the CR LF
  // after the data, in the trailer after the last chunk.
  enum class Chunk { kSize, kData, kDataEnd, kTrailer };
  struct Handle {
    Kind kind;
    platform::InetHandle parent = 0;
    // Connect handles.
    std::string host;
    std::uint16_t port = 0;
    // Request handles.
    std::string verb, object, version;
    std::vector<std::string> headers;
    int connect_timeout_ms = 0, send_timeout_ms = 0, receive_timeout_ms = 0;
    bool secure = false;  // kInternetFlagSecure
    std::string proxy_authorization;  // the header line of the login ErrorDlg took
    int socket = -1;
    ssl_st* tls = nullptr;  // the TLS session on `socket` of a secure request
    bool sent = false;
    std::string status_code;
    std::string raw_head;  // status line and header lines, each ending in CR LF, then CR LF
    std::vector<std::pair<std::string, std::string>> response_headers;
    bool length_known = false;
    std::uint64_t body_left = 0;  // when length_known
    bool chunked = false;
    Chunk chunk = Chunk::kSize;
    std::uint64_t chunk_left = 0;
    bool body_ended = false;
    std::unique_ptr<char[]> buffer;
    std::size_t buffered_begin = 0;
    std::size_t buffered_end = 0;
  };

  Handle* Find(platform::InetHandle handle, Kind kind);
  platform::InetHandle Add(Handle handle);
  void CloseSocket(Handle& request);
  int Capped(int timeout_ms) const;
  // The port actually used for `port` (80 and 443 mapped for tests).
  std::uint16_t Dialled(std::uint16_t port) const;
  // Waits until `fd` is ready for `events`; runs the pump meanwhile. 1 ready, 0 timed out,
  // -1 failed.
  int WaitFor(int fd, short events, int timeout_ms);
  int ConnectTo(const std::string& host, std::uint16_t port, int timeout_ms);
  // The client context of secure requests, made on first use; null when OpenSSL fails.
  ssl_ctx_st* TlsContext();
  // Starts TLS on the connected socket and checks the server's certificate against `host`.
  bool StartTls(Handle& h, const std::string& host);
  // One send or receive on the connection, plain or through TLS: bytes moved (> 0), 0 at the end
  // of the connection (receive only), or -1 with `wait` set to the poll events to wait for
  // before trying again (0: failed for good).
  long SendSome(Handle& h, const char* data, std::size_t size, short& wait);
  long ReceiveSome(Handle& h, char* data, std::size_t size, short& wait);
  bool SendAll(Handle& h, const std::string& data);
  // Receives more bytes into the buffer (after what it holds); 0 at the end of the connection,
  // -1 on a time-out or error.
  long Fill(Handle& h);
  bool ReadHead(Handle& request, std::string& head);
  bool Exchange(Handle& request, const std::string& host, std::uint16_t port,
                const std::string& object);
  // Reads one line of a chunked body into `line` (without CR LF).
  int ReadChunkLine(Handle& h, std::string& line);
  bool ReadChunked(Handle& h, char* buffer, std::size_t limit, std::size_t& got);

  std::uint16_t http_port_;
  std::uint16_t https_port_;
  std::string ca_file_;
  ssl_ctx_st* tls_context_ = nullptr;
  int timeout_cap_ms_ = 0;
  std::uint16_t proxy_port_ = 0;
  std::function<bool(std::string&, std::string&)> proxy_login_;
  std::function<void()> pump_;
  std::function<int(const std::string&, std::uint16_t)> connector_;
  platform::InetHandle next_handle_ = 0x100;
  std::unordered_map<platform::InetHandle, Handle> handles_;
};

// gethostbyname in the shape of Windows Sockets 1.1: an IPv4 lookup through getaddrinfo.
class PosixResolver : public platform::Resolver {
 public:
  int Startup(std::uint16_t version) override;
  bool GetHostByName(const std::string& name) override;
  int Cleanup() override;

  int startups() const { return startups_; }
  int cleanups() const { return cleanups_; }

 private:
  int startups_ = 0;
  int cleanups_ = 0;
};

// Files under a drive map, the way Wine's dosdevices folder maps drive letters to Linux folders.
// "X:" followed by the rest of a Windows path becomes the folder mapped to X followed by the rest,
// each run of separators ("\" or "/") written as one "/", "." and ".." resolved within the drive.
// Letters are compared without case. A path on an unmapped drive, a path without a drive letter or
// one holding a character Windows forbids in names (< > : " | ? * and control characters) cannot
// be translated; operations on it fail.
//
// TextFromBytes drops a UTF-8 byte-order mark and otherwise returns the bytes as they are: Linux's
// code page is UTF-8, and decoding Windows' ANSI code page is the Windows adapter's business.
class PosixFileSystem : public platform::FileSystem {
 public:
  // `drives`: drive letter -> Linux folder. `program_folder`: the Windows path reported as the
  // folder of the running program (e.g. "C:\KVT").
  PosixFileSystem(std::map<char, std::string> drives, std::string program_folder);
  ~PosixFileSystem() override;
  PosixFileSystem(const PosixFileSystem&) = delete;
  PosixFileSystem& operator=(const PosixFileSystem&) = delete;

  // The Linux path for a Windows path; `ok` is false (and the result empty) when it has none.
  std::string ToLinuxPath(const std::string& windows_path, bool& ok) const;
  // The same translation for a command-line argument: no check for forbidden characters (an
  // argument may hold a quote that Windows' own parsing left in it).
  std::string ToLinuxArgument(const std::string& windows_path, bool& ok) const;
  // Changes the reported program folder.
  void SetProgramFolder(std::string folder) { program_folder_ = std::move(folder); }

  bool FileExists(const std::string& path, bool& ok) override;
  bool DirectoryExists(const std::string& path, bool& ok) override;
  bool CreateDirectory(const std::string& path) override;
  platform::FileResult DeleteFile(const std::string& path) override;
  // Fails when `to` exists already, as MoveFile does. Linux lets no open file stop a rename or
  // a deletion: kHeld never comes from here.
  platform::FileResult RenameFile(const std::string& from, const std::string& to) override;
  platform::FileHandle CreateForWrite(const std::string& path) override;
  // Linux has no sharing modes: the file is unlinked by the name it was created under, once
  // that name still leads to it.
  platform::FileResult DeleteOpen(platform::FileHandle file) override;
  // The closest Linux comes to Windows' hold: renamed (never replacing), then a read-only
  // descriptor opened by the new name must lead to the file written, at its size, and the
  // write permission bits are taken away, so that other ordinary users can no longer open it
  // for writing. What Linux cannot refuse (the owner's or root's writes, a rename or deletion
  // by whoever may write into the folder) StillHeld finds out: the name must still lead to the
  // held file, with its size and time of last change.
  platform::FileResult HoldAs(platform::FileHandle& file, const std::string& to, std::uint64_t size,
                              platform::HeldFile& held) override;
  bool StillHeld(platform::HeldFile held) override;
  bool Release(platform::HeldFile held) override;
  // kDiskFull when the volume (or the user's quota) is full.
  platform::FileResult WriteAt(platform::FileHandle file, std::uint64_t offset, const char* data,
                               std::size_t size) override;
  // statvfs: the blocks free to an ordinary user.
  bool FreeSpace(const std::string& folder, std::uint64_t& bytes) override;
  bool Close(platform::FileHandle file) override;
  bool ReadAllBytes(const std::string& path, std::size_t max_bytes, std::string& bytes) override;
  std::string ProgramFolder() override;
  std::string TextFromBytes(const std::string& bytes) override;
  bool FileSize(const std::string& path, std::uint64_t& bytes) override;
  std::uint32_t LastErrorCode() override;

 private:
  std::string Translate(const std::string& windows_path, bool check_names, bool& ok) const;

  std::map<char, std::string> drives_;  // upper-case letters
  std::string program_folder_;
  std::map<int, std::string> open_files_;  // descriptor -> the Linux path it was created as
  struct Held {
    std::string path;
    std::uint64_t size;
    long long mtime_ns;
  };
  std::map<int, Held> held_files_;
};

class PosixClock : public platform::Clock {
 public:
  double MonotonicSeconds() override;
  double SecondsSinceMidnight() override;
  std::string DecimalSeparator() override;
};

// The support log in the folder TMPDIR names (/tmp without it), as real files.
class PosixLogStore : public platform::LogStore {
 public:
  std::string Folder() override;
  std::string SystemDescription() override;
  platform::LocalTime Now() override;
  bool Replace(const std::string& from, const std::string& to) override;
  bool Write(const std::string& path, const std::string& bytes) override;
  bool Append(const std::string& path, const std::string& bytes) override;
};

// Threads and wake-ups of the C++ standard library, for the hashing thread of PosixCrypto.
class PosixThreads : public platform::ThreadKit {
 public:
  std::unique_ptr<platform::Wakeup> NewWakeup() override;
  std::unique_ptr<platform::Joinable> Start(std::function<void()> body) override;
};

// SHA-256 (digested on a thread of its own) and ECDSA P-256 (r || s signatures) through
// OpenSSL's libcrypto.
class PosixCrypto : public platform::Crypto {
 public:
  std::unique_ptr<platform::Sha256> NewSha256() override;
  bool VerifyP256(const std::string& public_point, const std::string& message,
                  const std::string& signature) override;
};

// Splits a command line into arguments by the rules of CommandLineToArgvW: the program name
// (first argument) runs to the next quote when it starts with one, else to the first blank, and
// is taken literally; in the other arguments blanks outside quotes separate, 2n backslashes
// before a quote give n backslashes and the quote opens or closes a quoted part, 2n+1 backslashes
// before a quote give n backslashes and a literal quote, backslashes before anything else are
// literal, and three quotes in a row (counting the one that opened the part) give one literal
// quote.
std::vector<std::string> SplitWindowsCommandLine(const std::string& command_line);

// Starts programs named by Windows command lines. The program and every argument beginning with
// "X:\" go through the drive map of the file system; the program file is made executable first
// (Windows has no execute bit). The child gets the untranslated command line in the environment
// variable KVT_WINDOWS_COMMAND_LINE (Windows programs can read their raw line; this is the
// Linux stand-in for that). Exit codes: the exit status, or 128 + signal number when a signal
// ended the process.
class PosixProcesses : public platform::Processes {
 public:
  explicit PosixProcesses(const PosixFileSystem& files);
  ~PosixProcesses() override;
  PosixProcesses(const PosixProcesses&) = delete;
  PosixProcesses& operator=(const PosixProcesses&) = delete;

  // Every command line Start was given, in order (for assertions).
  const std::vector<std::string>& started() const { return started_; }

  platform::ProcessHandle Start(const std::string& command_line, int window_style,
                                std::uint32_t& pid) override;
  // The child leads a process group of its own, which Terminate, a Close while it runs and the
  // end of this object kill.
  platform::ProcessHandle StartOwned(const std::string& command_line, int window_style,
                                     std::uint32_t& pid) override;
  bool Terminate(platform::ProcessHandle process) override;
  // Processes the window's events (platform::DoEvents, when a user interface is installed)
  // every few milliseconds while it waits.
  std::uint32_t Wait(platform::ProcessHandle process, std::uint32_t milliseconds) override;
  bool ExitCode(platform::ProcessHandle process, std::uint32_t& code) override;
  bool Close(platform::ProcessHandle process) override;

 private:
  struct Child {
    bool ended = false;
    bool owned = false;
    std::uint32_t exit_code = 0;
  };
  platform::ProcessHandle Launch(const std::string& command_line, bool owned, std::uint32_t& pid);
  // Reaps the child when it has ended (waiting when `block`); true once it has ended.
  bool Reap(int pid, bool block);
  // Kills an owned child's process group and reaps the child.
  void Kill(int pid);

  const PosixFileSystem& files_;
  std::map<int, Child> children_;                   // started by us
  std::map<platform::ProcessHandle, int> handles_;  // handle -> pid
  platform::ProcessHandle next_handle_ = 0x200;
  std::vector<std::string> started_;
};

// The process list from /proc. Accepts exactly SELECT * FROM Win32_Process WHERE Name='<name>'
// with a name free of apostrophes, and counts the processes whose executable file name equals
// the name ignoring ASCII letter case: the base name of /proc/<pid>/exe, of argv[0] (either
// separator, so Wine processes show their Windows name) or, when the executable cannot be read,
// /proc/<pid>/comm.
class PosixProcessList : public platform::ProcessList {
 public:
  platform::ProcessQueryAnswer ExecQuery(const std::string& query_text) override;
  // The names a process answers to (for tests).
  static std::vector<std::string> NamesOf(int pid);
};

}  // namespace kvt::posix
