// HTTP/1.1 client over TCP sockets in the shape of the narrow WinINet calls.

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

bool SendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

int ConnectTo(const std::string& host, std::uint16_t port, int timeout_ms) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (timeout_ms > 0) {
      timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    int r;
    do {
      r = ::connect(fd, a->ai_addr, a->ai_addrlen);
    } while (r != 0 && errno == EINTR);
    if (r == 0) break;
    ::close(fd);
    fd = -1;
  }
  ::freeaddrinfo(found);
  return fd;
}

}  // namespace

PosixInternet::PosixInternet(std::uint16_t http_port) : http_port_(http_port) {}

PosixInternet::~PosixInternet() {
  for (auto& [id, handle] : handles_) CloseSocket(handle);
}

bool PosixInternet::GetConnectedState() { return true; }

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
  if (request.socket >= 0) ::close(request.socket);
  request.socket = -1;
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
  h.port = port == platform::kInternetDefaultHttpPort ? http_port_ : port;
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
  h.request_line = (verb.empty() ? std::string("GET") : verb) + " " +
                   (object.empty() ? std::string("/") : object) + " " +
                   (version.empty() ? std::string("HTTP/1.1") : version);
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

bool PosixInternet::ReadHead(Handle& h, std::string& head) {
  std::size_t scanned = h.buffered_begin;
  while (true) {
    const char* data = h.buffer.get();
    const std::size_t end = FindHeadEnd(data, h.buffered_end, scanned);
    if (end != 0) {
      head.assign(data + h.buffered_begin, end - h.buffered_begin);
      h.buffered_begin = end;
      return true;
    }
    scanned = h.buffered_end > 2 ? h.buffered_end - 2 : 0;
    scanned = std::max(scanned, h.buffered_begin);
    if (h.buffered_begin > 0) {  // make room: move the unread part to the front
      std::memmove(h.buffer.get(), data + h.buffered_begin, h.buffered_end - h.buffered_begin);
      h.buffered_end -= h.buffered_begin;
      scanned -= h.buffered_begin;
      h.buffered_begin = 0;
    }
    if (h.buffered_end >= kMaxHeadBytes) return false;  // head too large
    const ssize_t n =
        ::recv(h.socket, h.buffer.get() + h.buffered_end, kMaxHeadBytes - h.buffered_end, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // closed, reset or timed out before the head was complete
    h.buffered_end += static_cast<std::size_t>(n);
  }
}

bool PosixInternet::SendRequest(platform::InetHandle request) {
  Handle* h = Find(request, Kind::kRequest);
  if (h == nullptr) return false;
  CloseSocket(*h);
  h->sent = false;
  h->status_code.clear();
  h->response_headers.clear();
  h->length_known = false;
  h->body_left = 0;
  h->body_ended = false;
  h->buffered_begin = h->buffered_end = 0;
  if (!h->buffer) h->buffer.reset(new char[std::max(kBufferBytes, kMaxHeadBytes)]);

  const Handle* connect = Find(h->parent, Kind::kConnect);
  if (connect == nullptr) return false;
  h->socket = ConnectTo(connect->host, connect->port, receive_timeout_ms_);
  if (h->socket < 0) return false;

  std::string bytes = h->request_line + "\r\n";
  for (const std::string& line : h->headers) bytes += line + "\r\n";
  bytes += "\r\n";
  if (!SendAll(h->socket, bytes)) {
    CloseSocket(*h);
    return false;
  }

  std::vector<std::string> lines;
  while (true) {
    std::string head;
    if (!ReadHead(*h, head)) {
      CloseSocket(*h);
      return false;
    }
    lines = HeadLines(head);
    if (lines.empty()) {
      CloseSocket(*h);
      return false;
    }
    h->status_code = StatusCodeOf(lines[0]);
    if (h->status_code.empty()) {
      CloseSocket(*h);
      return false;
    }
    // Interim answers (100 Continue and the like) are skipped, as WinINet does.
    if (h->status_code[0] == '1' && h->status_code != "101") continue;
    break;
  }
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || line[0] == ' ' || line[0] == '\t') continue;
    h->response_headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
  }
  for (const auto& [name, value] : h->response_headers) {
    if (!EqualsNoCase(name, "Content-Length")) continue;
    h->length_known = ParseLength(value, h->body_left);
    break;
  }
  if (h->status_code == "204" || h->status_code == "304") {
    h->length_known = true;
    h->body_left = 0;
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
  } else if (info_level == platform::kHttpQueryContentLength) {
    bool found = false;
    for (const auto& [name, v] : h->response_headers) {
      if (EqualsNoCase(name, "Content-Length")) {
        value = v;
        found = true;
        break;
      }
    }
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
  std::size_t limit = size;
  if (h->length_known) {
    if (h->body_left == 0) {
      h->body_ended = true;
      return true;
    }
    limit = static_cast<std::size_t>(std::min<std::uint64_t>(limit, h->body_left));
  }
  std::size_t got = 0;
  if (h->buffered_end > h->buffered_begin) {
    got = std::min(limit, h->buffered_end - h->buffered_begin);
    std::memcpy(buffer, h->buffer.get() + h->buffered_begin, got);
    h->buffered_begin += got;
  } else {
    // Large reads go straight into the caller's buffer; small ones refill ours.
    const bool direct = limit >= kBufferBytes;
    ssize_t n;
    do {
      n = direct ? ::recv(h->socket, buffer, limit, 0)
                 : ::recv(h->socket, h->buffer.get(), kBufferBytes, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      if (errno == ECONNRESET) {  // WinINet reports a dropped connection as the end
        h->body_ended = true;
        return true;
      }
      return false;  // time-out or a genuine socket error
    }
    if (n == 0) {
      h->body_ended = true;
      return true;
    }
    if (direct) {
      got = static_cast<std::size_t>(n);
    } else {
      h->buffered_begin = 0;
      h->buffered_end = static_cast<std::size_t>(n);
      got = std::min(limit, h->buffered_end);
      std::memcpy(buffer, h->buffer.get(), got);
      h->buffered_begin = got;
    }
  }
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
