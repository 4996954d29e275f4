// HTTP/1.1 client over TCP sockets, optionally through TLS, in the shape of the narrow WinINet
// calls.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/posix/posix.h"

namespace kvt::posix {
namespace {

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

bool EqualsNoCase(const std::string& a, const char* b) {
  const std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Offset just past the empty line that ends a response head in data[0, size), or 0 when the head
// is not complete yet. Lines may end in CR LF or in LF alone. Scanning starts at `from`.
std::size_t FindHeadEnd(const char* data, std::size_t size, std::size_t from) {
  for (std::size_t i = from; i < size; ++i) {
    if (data[i] != '\n') continue;
    if (i + 1 < size && data[i + 1] == '\n') return i + 2;
    if (i + 2 < size && data[i + 1] == '\r' && data[i + 2] == '\n') return i + 3;
  }
  return 0;
}

// Splits a head into lines without their line ends.
std::vector<std::string> HeadLines(const std::string& head) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < head.size()) {
    std::size_t end = head.find('\n', start);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

// "HTTP/<version> <3 digits>[ <reason>]" -> the digits; empty when malformed.
std::string StatusCodeOf(const std::string& line) {
  if (line.rfind("HTTP/", 0) != 0) return "";
  const std::size_t space = line.find(' ');
  if (space == std::string::npos || space == 5) return "";
  std::size_t p = space;
  while (p < line.size() && line[p] == ' ') ++p;
  if (p + 3 > line.size()) return "";
  for (std::size_t i = p; i < p + 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return "";
  }
  if (p + 3 < line.size() && line[p + 3] != ' ') return "";
  return line.substr(p, 3);
}

bool ParseLength(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

std::string ValueOf(const std::vector<std::pair<std::string, std::string>>& headers,
                    const char* name, bool& found) {
  for (const auto& [n, v] : headers) {
    if (EqualsNoCase(n, name)) {
      found = true;
      return v;
    }
  }
  found = false;
  return "";
}

bool IsRedirect(const std::string& status) {
  return status == "301" || status == "302" || status == "303" || status == "307" ||
         status == "308";
}

// Splits an absolute "http://host[:port][/path]" (`secure`: "https://...") into its parts; false
// for any other scheme.
bool SplitUrl(const std::string& url, bool secure, std::string& host_text, std::string& host,
              std::uint16_t& port, std::string& object) {
  const std::string scheme = secure ? "https://" : "http://";
  if (url.size() < scheme.size()) return false;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != scheme[i]) return false;
  }
  const std::size_t slash = url.find('/', scheme.size());
  host_text = url.substr(scheme.size(),
                         slash == std::string::npos ? std::string::npos : slash - scheme.size());
  object = slash == std::string::npos ? "/" : url.substr(slash);
  host = host_text;
  port = secure ? platform::kInternetDefaultHttpsPort : platform::kInternetDefaultHttpPort;
  const std::size_t colon = host_text.rfind(':');
  if (colon != std::string::npos && host_text.find(']', colon) == std::string::npos) {
    const std::string digits = host_text.substr(colon + 1);
    std::uint64_t value = 0;
    if (!ParseLength(digits, value) || value == 0 || value > 65535) return false;
    host = host_text.substr(0, colon);
    port = static_cast<std::uint16_t>(value);
  }
  return !host.empty();
}

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE when the server has gone;
// this one sends with MSG_NOSIGNAL, as the plain path does. Its data is the socket.
int SocketOf(BIO* bio) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

int BioWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::send(SocketOf(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::recv(SocketOf(bio), data, static_cast<std::size_t>(size), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

long BioCtrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO* NewSocketBio(int socket) {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kvt socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, BioWrite);
      BIO_meth_set_read(m, BioRead);
      BIO_meth_set_ctrl(m, BioCtrl);
      BIO_meth_set_create(m, BioCreate);
    }
    return m;
  }();
  if (method == nullptr) return nullptr;
  BIO* bio = BIO_new(method);
  if (bio != nullptr)
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(socket)));
  return bio;
}

// The poll events a TLS call that returned `result` waits for; 0 when it failed for good.
short TlsWait(SSL* tls, int result) {
  switch (SSL_get_error(tls, result)) {
    case SSL_ERROR_WANT_READ:
      return POLLIN;
    case SSL_ERROR_WANT_WRITE:
      return POLLOUT;
    default:
      return 0;
  }
}

bool IsNumericHost(const std::string& host) {
  in6_addr address;
  return ::inet_pton(AF_INET, host.c_str(), &address) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

}  // namespace

PosixInternet::PosixInternet(std::uint16_t http_port, std::uint16_t https_port)
    : http_port_(http_port), https_port_(https_port) {}

PosixInternet::~PosixInternet() {
  for (auto& [id, handle] : handles_) CloseSocket(handle);
  SSL_CTX_free(tls_context_);
}

void PosixInternet::SetTrustedCaFile(std::string path) {
  ca_file_ = std::move(path);
  SSL_CTX_free(tls_context_);  // sessions still open keep their own reference
  tls_context_ = nullptr;
}

SSL_CTX* PosixInternet::TlsContext() {
  if (tls_context_ != nullptr) return tls_context_;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return nullptr;
  const bool trusted = ca_file_.empty()
                           ? SSL_CTX_set_default_verify_paths(context) == 1
                           : SSL_CTX_load_verify_locations(context, ca_file_.c_str(), nullptr) == 1;
  if (!trusted || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
    SSL_CTX_free(context);
    return nullptr;
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  // A connection that ends without TLS's closing message reads as the end, as a plain one does;
  // the announced length tells a cut body from a whole one.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  tls_context_ = context;
  return context;
}

bool PosixInternet::StartTls(Handle& h, const std::string& host) {
  SSL_CTX* context = TlsContext();
  if (context == nullptr) return false;
  h.tls = SSL_new(context);
  if (h.tls == nullptr) return false;
  BIO* bio = NewSocketBio(h.socket);
  if (bio == nullptr) return false;
  SSL_set_bio(h.tls, bio, bio);
  // The certificate must name the host (SSL_set1_host takes an address as an address). The
  // server is told the name it is asked by (SNI), which carries names only.
  if (!IsNumericHost(host) && SSL_set_tlsext_host_name(h.tls, host.c_str()) != 1) return false;
  if (SSL_set1_host(h.tls, host.c_str()) != 1) return false;
  while (true) {
    ERR_clear_error();
    const int r = SSL_connect(h.tls);
    if (r == 1) break;
    const short wait = TlsWait(h.tls, r);
    if (wait == 0) return false;  // the server's certificate did not check out, or TLS failed
    const int timeout = wait == POLLIN ? h.receive_timeout_ms : h.send_timeout_ms;
    if (WaitFor(h.socket, wait, Capped(timeout)) != 1) return false;
  }
  return SSL_get0_peer_certificate(h.tls) != nullptr && SSL_get_verify_result(h.tls) == X509_V_OK;
}

long PosixInternet::SendSome(Handle& h, const char* data, std::size_t size, short& wait) {
  wait = 0;
  if (h.tls != nullptr) {
    ERR_clear_error();
    const int n = SSL_write(h.tls, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (n > 0) return n;
    wait = TlsWait(h.tls, n);
    return -1;
  }
  ssize_t n;
  do {
    n = ::send(h.socket, data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return n;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) wait = POLLOUT;
  return -1;
}

long PosixInternet::ReceiveSome(Handle& h, char* data, std::size_t size, short& wait) {
  wait = 0;
  if (h.tls != nullptr) {
    ERR_clear_error();
    const int n = SSL_read(h.tls, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (n > 0) return n;
    const int error = SSL_get_error(h.tls, n);
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    if (error == SSL_ERROR_SYSCALL && errno == ECONNRESET) return 0;  // as on a plain connection
    wait = TlsWait(h.tls, n);
    return -1;
  }
  ssize_t n;
  do {
    n = ::recv(h.socket, data, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return n;
  if (errno == ECONNRESET) return 0;  // WinINet reports a dropped connection as the end
  if (errno == EAGAIN || errno == EWOULDBLOCK) wait = POLLIN;
  return -1;
}

bool PosixInternet::GetConnectedState() { return true; }

bool PosixInternet::UsesProxy() { return proxy_port_ != 0; }

std::uint32_t PosixInternet::ErrorDlg(platform::InetHandle request, std::uint32_t error,
                                      std::uint32_t flags) {
  constexpr std::uint32_t kErrorInvalidHandle = 6;
  Handle* h = Find(request, Kind::kRequest);
  if (h == nullptr || !h->sent) return kErrorInvalidHandle;
  // Only the proxy's login is asked for; with the filter flag a request that needs none passes.
  if ((flags & platform::kFlagsErrorUiFilterForErrors) != 0 && h->status_code != "407") {
    return platform::kErrorSuccess;
  }
  if (error != platform::kErrorInternetIncorrectPassword) return platform::kErrorCancelled;
  std::string user, password;
  if (!proxy_login_ || !proxy_login_(user, password)) return platform::kErrorCancelled;
  const std::string plain = user + ":" + password;
  std::string encoded(4 * ((plain.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                reinterpret_cast<const unsigned char*>(plain.data()),
                                static_cast<int>(plain.size()));
  encoded.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  h->proxy_authorization = "Proxy-Authorization: Basic " + encoded;
  return platform::kErrorInternetForceRetry;
}

PosixInternet::Handle* PosixInternet::Find(platform::InetHandle handle, Kind kind) {
  auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

platform::InetHandle PosixInternet::Add(Handle handle) {
  const platform::InetHandle id = next_handle_++;
  handles_.emplace(id, std::move(handle));
  return id;
}

void PosixInternet::CloseSocket(Handle& request) {
  SSL_free(request.tls);  // and its BIO; nothing more is sent on a connection given up
  request.tls = nullptr;
  if (request.socket >= 0) ::close(request.socket);
  request.socket = -1;
}

std::uint16_t PosixInternet::Dialled(std::uint16_t port) const {
  if (port == platform::kInternetDefaultHttpPort) return http_port_;
  if (port == platform::kInternetDefaultHttpsPort) return https_port_;
  return port;
}

int PosixInternet::Capped(int timeout_ms) const {
  if (timeout_cap_ms_ <= 0) return timeout_ms;
  return timeout_ms <= 0 ? timeout_cap_ms_ : std::min(timeout_ms, timeout_cap_ms_);
}

int PosixInternet::WaitFor(int fd, short events, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    int slice = kPumpIntervalMs;
    if (timeout_ms > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                               Clock::now());
      if (left.count() <= 0) return 0;
      slice = static_cast<int>(std::min<long long>(slice, left.count()));
    }
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, slice);
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR) return -1;
    if (r == 0 && pump_) pump_();
  }
}

int PosixInternet::ConnectTo(const std::string& host, std::uint16_t port, int timeout_ms) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    int r = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (r != 0 && (errno == EINPROGRESS || errno == EINTR)) {
      int error = 0;
      socklen_t size = sizeof error;
      r = WaitFor(fd, POLLOUT, timeout_ms) == 1 &&
                  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0
              ? 0
              : -1;
    }
    if (r == 0) break;
    ::close(fd);
    fd = -1;
  }
  ::freeaddrinfo(found);
  return fd;
}

bool PosixInternet::SendAll(Handle& h, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    short wait = 0;
    const long n = SendSome(h, data.data() + sent, data.size() - sent, wait);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (wait == 0 || WaitFor(h.socket, wait, Capped(h.send_timeout_ms)) != 1) {
      return false;
    }
  }
  return true;
}

long PosixInternet::Fill(Handle& h) {
  if (h.buffered_begin == h.buffered_end) h.buffered_begin = h.buffered_end = 0;
  if (h.buffered_end == kBufferBytes) {  // make room: move the unread part to the front
    std::memmove(h.buffer.get(), h.buffer.get() + h.buffered_begin,
                 h.buffered_end - h.buffered_begin);
    h.buffered_end -= h.buffered_begin;
    h.buffered_begin = 0;
  }
  while (true) {
    short wait = 0;
    const long n =
        ReceiveSome(h, h.buffer.get() + h.buffered_end, kBufferBytes - h.buffered_end, wait);
    if (n > 0) {
      h.buffered_end += static_cast<std::size_t>(n);
      return n;
    }
    if (n == 0) return 0;
    if (wait == 0 || WaitFor(h.socket, wait, Capped(h.receive_timeout_ms)) != 1) return -1;
  }
}

platform::InetHandle PosixInternet::Open(const std::string& agent) {
  Handle h;
  h.kind = Kind::kOpen;
  return Add(std::move(h));
}

platform::InetHandle PosixInternet::Connect(platform::InetHandle open, const std::string& host,
                                            std::uint16_t port) {
  // Nothing is resolved yet: WinINet connects when the request is sent.
  if (Find(open, Kind::kOpen) == nullptr || host.empty()) return 0;
  Handle h;
  h.kind = Kind::kConnect;
  h.parent = open;
  h.host = host;
  h.port = Dialled(port);
  return Add(std::move(h));
}

platform::InetHandle PosixInternet::OpenRequest(platform::InetHandle connect,
                                                const std::string& verb, const std::string& object,
                                                const std::string& version, std::uint32_t flags) {
  if (Find(connect, Kind::kConnect) == nullptr) return 0;
  Handle h;
  h.kind = Kind::kRequest;
  h.parent = connect;
  // WinINet's defaults for missing parts.
  h.verb = verb.empty() ? std::string("GET") : verb;
  h.object = object.empty() ? std::string("/") : object;
  h.version = version.empty() ? std::string("HTTP/1.1") : version;
  h.secure = (flags & platform::kInternetFlagSecure) != 0;
  return Add(std::move(h));
}

bool PosixInternet::AddRequestHeaders(platform::InetHandle request, const std::string& line,
                                      std::uint32_t modifiers) {
  Handle* h = Find(request, Kind::kRequest);
  if (h == nullptr) return false;
  // Several lines may come in one call, separated by CR LF; each needs a name and a colon.
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= line.size()) {
    std::size_t end = line.find("\r\n", start);
    if (end == std::string::npos) end = line.size();
    if (end > start) lines.push_back(line.substr(start, end - start));
    start = end + 2;
  }
  if (lines.empty()) return false;
  for (const std::string& l : lines) {
    const std::size_t colon = l.find(':');
    if (colon == std::string::npos || colon == 0) return false;
  }
  for (std::string& l : lines) h->headers.push_back(std::move(l));
  return true;
}

bool PosixInternet::SetOption(platform::InetHandle handle, std::uint32_t option,
                              std::uint32_t value) {
  Handle* h = Find(handle, Kind::kRequest);
  if (h == nullptr) return false;
  const int ms = static_cast<int>(std::min<std::uint32_t>(value, 0x7FFFFFFF));
  switch (option) {
    case platform::kInternetOptionConnectTimeout:
      h->connect_timeout_ms = ms;
      return true;
    case platform::kInternetOptionSendTimeout:
      h->send_timeout_ms = ms;
      return true;
    case platform::kInternetOptionReceiveTimeout:
      h->receive_timeout_ms = ms;
      return true;
    default:
      return false;
  }
}

bool PosixInternet::ReadHead(Handle& h, std::string& head) {
  std::size_t scanned = h.buffered_begin;
  while (true) {
    const std::size_t end = FindHeadEnd(h.buffer.get(), h.buffered_end, scanned);
    if (end != 0) {
      head.assign(h.buffer.get() + h.buffered_begin, end - h.buffered_begin);
      h.buffered_begin = end;
      return true;
    }
    if (h.buffered_end - h.buffered_begin >= kMaxHeadBytes) return false;  // head too large
    scanned = std::max(h.buffered_end > 2 ? h.buffered_end - 2 : 0, h.buffered_begin);
    const std::size_t begin_before = h.buffered_begin;
    if (Fill(h) <= 0) return false;  // closed, reset or timed out before the head was complete
    scanned -= begin_before - h.buffered_begin;  // Fill may have moved the bytes to the front
  }
}

bool PosixInternet::Exchange(Handle& h, const std::string& host, std::uint16_t port,
                             const std::string& object) {
  CloseSocket(h);
  h.status_code.clear();
  h.raw_head.clear();
  h.response_headers.clear();
  h.length_known = false;
  h.body_left = 0;
  h.chunked = false;
  h.chunk = Chunk::kSize;
  h.chunk_left = 0;
  h.body_ended = false;
  h.buffered_begin = h.buffered_end = 0;
  if (!h.buffer) h.buffer.reset(new char[std::max(kBufferBytes, kMaxHeadBytes)]);

  // Behind the proxy a plain request goes to the proxy, naming the whole URL.
  const bool proxied = proxy_port_ != 0 && !h.secure;
  h.socket = proxied ? ConnectTo("127.0.0.1", proxy_port_, Capped(h.connect_timeout_ms))
                     : ConnectTo(host, port, Capped(h.connect_timeout_ms));
  if (h.socket < 0) return false;
  if (h.secure && !StartTls(h, host)) return false;
  const std::string target =
      proxied ? "http://" + host + ":" + std::to_string(port) + object : object;
  std::string bytes = h.verb + " " + target + " " + h.version + "\r\n";
  for (const std::string& line : h.headers) bytes += line + "\r\n";
  if (proxied && !h.proxy_authorization.empty()) bytes += h.proxy_authorization + "\r\n";
  bytes += "\r\n";
  if (!SendAll(h, bytes)) return false;

  std::vector<std::string> lines;
  while (true) {
    std::string head;
    if (!ReadHead(h, head)) return false;
    lines = HeadLines(head);
    if (lines.empty()) return false;
    h.status_code = StatusCodeOf(lines[0]);
    if (h.status_code.empty()) return false;
    // Interim answers (100 Continue and the like) are skipped, as WinINet does.
    if (h.status_code[0] == '1' && h.status_code != "101") continue;
    break;
  }
  h.raw_head = lines[0] + "\r\n";
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || line[0] == ' ' || line[0] == '\t') continue;
    h.response_headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    h.raw_head += line + "\r\n";
  }
  h.raw_head += "\r\n";
  bool found = false;
  const std::string coding = ValueOf(h.response_headers, "Transfer-Encoding", found);
  h.chunked = found && EqualsNoCase(coding, "chunked");
  // A chunked body carries its own framing; a length sent beside it does not count.
  if (!h.chunked) {
    const std::string length = ValueOf(h.response_headers, "Content-Length", found);
    h.length_known = found && ParseLength(length, h.body_left);
  }
  if (h.status_code == "204" || h.status_code == "304") {
    h.chunked = false;
    h.length_known = true;
    h.body_left = 0;
  }
  return true;
}

bool PosixInternet::SendRequest(platform::InetHandle request) {
  Handle* h = Find(request, Kind::kRequest);
  if (h == nullptr) return false;
  h->sent = false;
  const Handle* connect = Find(h->parent, Kind::kConnect);
  if (connect == nullptr) return false;
  std::string host = connect->host;
  std::uint16_t port = connect->port;
  std::string object = h->object;
  for (int redirects = 0;; ++redirects) {
    if (!Exchange(*h, host, port, object)) {
      CloseSocket(*h);
      return false;
    }
    bool found = false;
    const std::string location = ValueOf(h->response_headers, "Location", found);
    if (!IsRedirect(h->status_code) || !found || location.empty()) break;
    if (redirects == kMaxRedirects) {  // ERROR_HTTP_REDIRECT_FAILED
      CloseSocket(*h);
      return false;
    }
    std::string host_text = host;
    if (location[0] == '/') {
      object = location;
    } else if (!SplitUrl(location, h->secure, host_text, host, port, object)) {
      // Another scheme: a secure request never goes down to plain HTTP, and a plain one stays
      // plain.
      CloseSocket(*h);
      return false;
    } else {
      port = Dialled(port);
      // The Host line names the server now asked.
      for (std::string& line : h->headers) {
        if (EqualsNoCase(line.substr(0, line.find(':')), "Host")) line = "Host: " + host_text;
      }
    }
    // A redirect answering anything but GET or HEAD is followed with GET (303 always).
    if (h->status_code == "303" && h->verb != "HEAD") h->verb = "GET";
  }
  h->sent = true;
  return true;
}

bool PosixInternet::QueryInfo(platform::InetHandle request, std::uint32_t info_level,
                              std::size_t buffer_size, std::string& text) {
  text.clear();
  Handle* h = Find(request, Kind::kRequest);
  if (h == nullptr || !h->sent) return false;
  std::string value;
  if (info_level == platform::kHttpQueryStatusCode) {
    value = h->status_code;
  } else if (info_level == platform::kHttpQueryRawHeadersCrlf) {
    value = h->raw_head;
  } else if (info_level == platform::kHttpQueryContentLength) {
    bool found = false;
    value = ValueOf(h->response_headers, "Content-Length", found);
    if (!found) return false;  // ERROR_HTTP_HEADER_NOT_FOUND
  } else {
    return false;
  }
  if (value.size() + 1 > buffer_size) return false;  // ERROR_INSUFFICIENT_BUFFER
  text = value;
  return true;
}

int PosixInternet::ReadChunkLine(Handle& h, std::string& line) {
  while (true) {
    const char* data = h.buffer.get() + h.buffered_begin;
    const std::size_t size = h.buffered_end - h.buffered_begin;
    const void* lf = std::memchr(data, '\n', size);
    if (lf != nullptr) {
      const std::size_t n = static_cast<const char*>(lf) - data;
      line.assign(data, n);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      h.buffered_begin += n + 1;
      return 1;
    }
    if (size >= 4096) return -1;  // no chunk line is that long
    const long got = Fill(h);
    if (got <= 0) return static_cast<int>(got);
  }
}

bool PosixInternet::ReadChunked(Handle& h, char* buffer, std::size_t limit, std::size_t& got) {
  got = 0;
  while (!h.body_ended) {
    std::string line;
    int r = 1;
    switch (h.chunk) {
      case Chunk::kSize: {
        r = ReadChunkLine(h, line);
        if (r <= 0) break;
        line = Trim(line.substr(0, line.find(';')));  // chunk extensions are ignored
        std::uint64_t size = 0;
        if (line.empty() || line.size() > 15) return false;
        for (char c : line) {
          const int digit = c >= '0' && c <= '9'   ? c - '0'
                            : c >= 'a' && c <= 'f' ? c - 'a' + 10
                            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                   : -1;
          if (digit < 0) return false;
          size = size * 16 + static_cast<std::uint64_t>(digit);
        }
        h.chunk_left = size;
        h.chunk = size == 0 ? Chunk::kTrailer : Chunk::kData;
        continue;
      }
      case Chunk::kData: {
        if (h.buffered_begin == h.buffered_end) {
          const long n = Fill(h);
          if (n < 0) return false;
          r = static_cast<int>(n);
          if (r == 0) break;
        }
        got = static_cast<std::size_t>(std::min<std::uint64_t>(
            {h.chunk_left, limit, h.buffered_end - h.buffered_begin}));
        std::memcpy(buffer, h.buffer.get() + h.buffered_begin, got);
        h.buffered_begin += got;
        h.chunk_left -= got;
        if (h.chunk_left == 0) h.chunk = Chunk::kDataEnd;
        return true;
      }
      case Chunk::kDataEnd:
        r = ReadChunkLine(h, line);
        if (r > 0 && !line.empty()) return false;
        h.chunk = Chunk::kSize;
        continue;
      case Chunk::kTrailer:
        r = ReadChunkLine(h, line);
        if (r > 0 && line.empty()) h.body_ended = true;
        if (r > 0) continue;
        break;
    }
    if (r < 0) return false;
    h.body_ended = true;  // the connection ended inside the framing: the end, as WinINet reads it
  }
  return true;
}

bool PosixInternet::ReadFile(platform::InetHandle request, char* buffer, std::uint32_t size,
                             std::uint32_t& read) {
  read = 0;
  Handle* h = Find(request, Kind::kRequest);
  if (h == nullptr || !h->sent) return false;
  if (size == 0 || h->body_ended) return true;
  std::size_t got = 0;
  if (h->chunked) {
    if (!ReadChunked(*h, buffer, size, got)) return false;
    read = static_cast<std::uint32_t>(got);
    return true;
  }
  std::size_t limit = size;
  if (h->length_known) {
    if (h->body_left == 0) {
      h->body_ended = true;
      return true;
    }
    limit = static_cast<std::size_t>(std::min<std::uint64_t>(limit, h->body_left));
  }
  if (h->buffered_end == h->buffered_begin) {
    const long n = Fill(*h);
    if (n < 0) return false;  // time-out or a genuine socket error
    if (n == 0) {
      h->body_ended = true;
      return true;
    }
  }
  got = std::min(limit, h->buffered_end - h->buffered_begin);
  std::memcpy(buffer, h->buffer.get() + h->buffered_begin, got);
  h->buffered_begin += got;
  if (h->length_known) h->body_left -= got;
  read = static_cast<std::uint32_t>(got);
  return true;
}

void PosixInternet::CloseHandle(platform::InetHandle handle) {
  auto it = handles_.find(handle);
  if (it == handles_.end()) return;
  // Closing a handle closes the handles derived from it, as in WinINet.
  std::vector<platform::InetHandle> doomed{handle};
  for (std::size_t i = 0; i < doomed.size(); ++i) {
    for (const auto& [id, h] : handles_) {
      if (h.parent == doomed[i]) doomed.push_back(id);
    }
  }
  for (platform::InetHandle id : doomed) {
    auto found = handles_.find(id);
    if (found == handles_.end()) continue;
    CloseSocket(found->second);
    handles_.erase(found);
  }
}

}  // namespace kvt::posix
