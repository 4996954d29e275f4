// HTTP/1.1 client over TCP sockets, optionally through TLS, in the shape of the narrow WinINet
// calls: handles, requests, the response head and redirects, the body. The connection's bytes
// are in posix_internet_tls.cc, its waits in posix_internet_wait.cc, a chunked body in
// posix_internet_chunked.cc, URL and head text in posix_internet_text.cc.
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "net/http_text.h"
#include "platform/posix/posix.h"
#include "platform/posix/posix_internet_text.h"

namespace kvt::posix {

using internet_text::IsRedirect;
using internet_text::SplitUrl;
using internet_text::StatusCodeOf;
using internet_text::ValueOf;

PosixInternet::PosixInternet(std::uint16_t http_port, std::uint16_t https_port)
    : http_port_(http_port), https_port_(https_port) {}

PosixInternet::~PosixInternet() {
  for (auto& [id, handle] : handles_) CloseSocket(handle);
  SSL_CTX_free(tls_context_);
}

bool PosixInternet::GetConnectedState() { return true; }

bool PosixInternet::ProxyConfigured() { return proxy_port_ != 0; }

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
  h.socket = connector_ ? connector_(host, port)
             : proxied  ? ConnectTo("127.0.0.1", proxy_port_, Capped(h.connect_timeout_ms))
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
    lines = http::HeadLines(head);
    if (lines.empty()) return false;
    h.status_code = StatusCodeOf(lines[0]);
    if (h.status_code.empty()) return false;
    // Interim answers (100 Continue and the like) are skipped, as WinINet does.
    if (h.status_code[0] == '1' && h.status_code != "101") continue;
    break;
  }
  h.raw_head = lines[0] + "\r\n";
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string name, value;
    if (!http::SplitHeaderLine(lines[i], name, value)) continue;
    h.response_headers.emplace_back(std::move(name), std::move(value));
    h.raw_head += lines[i] + "\r\n";
  }
  h.raw_head += "\r\n";
  bool found = false;
  const std::string coding = ValueOf(h.response_headers, "Transfer-Encoding", found);
  h.chunked = found && http::EqualsNoCase(coding, "chunked");
  // A chunked body carries its own framing; a length sent beside it does not count.
  if (!h.chunked) {
    const std::string length = ValueOf(h.response_headers, "Content-Length", found);
    std::int64_t announced = 0;
    h.length_known = found && http::ParseContentLength(length, announced);
    h.body_left = static_cast<std::uint64_t>(announced);
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
        if (http::EqualsNoCase(line.substr(0, line.find(':')), "Host")) line = "Host: " + host_text;
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
