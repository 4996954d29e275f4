#include "http_probe.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "net/download.h"

namespace kvt::release {
namespace {

// The installer's client follows at most this many redirects.
constexpr int kMaxRedirects = 10;
constexpr std::size_t kMaxHead = 64 * 1024;

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string Trim(const std::string& s) {
  const std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") + 1 - b);
}

// A connected socket, or -1 with `error` set.
int Connect(const std::string& host, std::uint16_t port, int timeout_ms, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int r = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (r != 0) {
    error = "the host name \"" + host + "\" does not resolve (" + ::gai_strerror(r) + ")";
    return -1;
  }
  int fd = -1;
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    // Linux bounds connect() by the send time-out.
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      error = "cannot connect to " + host + " port " + std::to_string(port) + ": " +
              std::strerror(errno);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  return fd;
}

// Sends the request and reads the response head into `hop`.
void Exchange(const std::string& host, std::uint16_t port, const std::string& host_text,
              const std::string& path, const ProbeOptions& options, Hop& hop) {
  const int fd = Connect(host, port, options.timeout_ms, hop.error);
  if (fd < 0) return;
  std::string request = "GET " + path +
                        " HTTP/1.1\r\nAccept: */*\r\nUser-Agent: Pelorix1.0\r\n"
                        "Host: " +
                        host_text + "\r\nConnection: close\r\n";
  if (!options.extra_header.empty()) request += options.extra_header + "\r\n";
  request += "\r\n";
  std::string head;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    hop.error = std::string("cannot send the request: ") + std::strerror(errno);
  } else {
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos &&
           head.size() < kMaxHead) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        head.append(buffer, static_cast<std::size_t>(n));
      } else {
        if (n < 0 && errno == EINTR) continue;
        hop.error = n == 0 ? "the server closed the connection before a complete response head"
                           : std::string("no response head: ") + std::strerror(errno);
        break;
      }
    }
  }
  ::close(fd);
  if (!hop.error.empty()) return;
  std::size_t start = 0;
  while (start < head.size()) {
    std::size_t end = head.find('\n', start);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    start = end + 1;
    if (line.empty()) break;
    if (hop.status_line.empty()) {
      hop.status_line = line;
      const std::size_t space = line.find(' ');
      if (line.rfind("HTTP/", 0) == 0 && space != std::string::npos) {
        hop.status = line.substr(space + 1, 3);
      }
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos && colon > 0) {
      hop.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }
  }
  if (hop.status.size() != 3) hop.error = "the answer is not HTTP: \"" + hop.status_line + "\"";
}

}  // namespace

std::vector<std::string> Hop::All(const std::string& name) const {
  std::vector<std::string> values;
  for (const auto& [n, v] : headers) {
    if (EqualsNoCase(n, name)) values.push_back(v);
  }
  return values;
}

bool Hop::IsRedirect() const {
  return (status == "301" || status == "302" || status == "303" || status == "307" ||
          status == "308") &&
         !All("Location").empty();
}

std::vector<Hop> Probe(const std::string& url, const ProbeOptions& options) {
  std::vector<Hop> hops;
  // The first hop is split exactly as the installer splits the URL: a port in it stays part of
  // the host name, as it does for the installer.
  std::string host_text = Mupdate::GetHostFromUrl(url);
  std::string host = host_text;
  std::string path = Mupdate::GetPathFromUrl(url, host_text);
  std::uint16_t port = options.http_port;
  std::string current = url;
  for (int redirects = 0;; ++redirects) {
    Hop& hop = hops.emplace_back();
    hop.url = current;
    if (host_text.empty()) {
      hop.error = "no host in the URL";
      break;
    }
    Exchange(host, port, host_text, path.empty() ? "/" : path, options, hop);
    if (!hop.error.empty() || !hop.IsRedirect()) break;
    if (redirects == kMaxRedirects) {
      hop.error = "more than " + std::to_string(kMaxRedirects) + " redirects";
      break;
    }
    const std::string location = hop.All("Location").front();
    if (location[0] == '/') {
      path = location;
      current = "http://" + host_text + path;
      continue;
    }
    if (location.compare(0, 7, "http://") != 0 && location.compare(0, 7, "HTTP://") != 0) {
      hop.error = "redirect to \"" + location +
                  "\", which is not plain http: the installer "
                  "cannot follow it";
      break;
    }
    const std::size_t slash = location.find('/', 7);
    host_text = location.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
    path = slash == std::string::npos ? "/" : location.substr(slash);
    host = host_text;
    port = options.http_port;
    const std::size_t colon = host_text.rfind(':');
    if (colon != std::string::npos && host_text.find(']') == std::string::npos) {
      const int given = std::atoi(host_text.c_str() + colon + 1);
      if (given <= 0 || given > 65535) {
        hop.error = "redirect to \"" + location + "\" with a bad port";
        break;
      }
      host = host_text.substr(0, colon);
      if (given != 80) port = static_cast<std::uint16_t>(given);
    }
    current = location;
  }
  return hops;
}

}  // namespace kvt::release
