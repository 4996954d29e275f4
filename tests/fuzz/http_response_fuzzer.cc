// The Linux HTTP client's response handling on served bytes: each connection the client makes
// gets the next response of the input (split at kNext) through a socket pair, so redirects and
// interim answers are followed as on the network. Invariants:
// - a sent request has a status of three digits, and no interim one (1xx other than 101);
// - the raw head ends in an empty line, starts with "HTTP/", and holds only lines that were
//   served; the Content-Length it reports is its first such line's value;
// - a body is never larger than what was served after the status line: with one valid length no
//   longer than that length and one run of the served bytes, without one the served bytes to the
//   end; a chunked body's pieces occur in the served bytes in order;
// - at most one first try and kMaxRedirects redirects connect; every handle closes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_release.h"
#include "net/http_text.h"
#include "platform/posix/posix.h"

namespace kvt::fuzz {
namespace {

// The first header of that name in a raw head ("Name: value" lines ending in CR LF).
bool HeaderOf(const std::string& raw, const char* name, std::string& value) {
  for (std::size_t at = raw.find("\r\n"); at != std::string::npos && at + 2 < raw.size();) {
    at += 2;
    const std::size_t end = raw.find("\r\n", at);
    std::string n;
    if (http::SplitHeaderLine(raw.substr(at, end - at), n, value) && http::EqualsNoCase(n, name)) {
      return true;
    }
    at = end;
  }
  return false;
}

bool ThreeDigits(const std::string& s) {
  return s.size() == 3 && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace
}  // namespace kvt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kvt;
  using namespace kvt::fuzz;
  using posix::PosixInternet;
  if (size > 128 * 1024) return 0;  // what a socket pair's buffer holds in one write
  static PosixInternet internet;
  const std::vector<std::string> responses =
      Segments(std::string_view(reinterpret_cast<const char*>(data), size));
  std::size_t connections = 0;
  std::vector<int> servers;
  internet.SetConnector([&](const std::string&, std::uint16_t) {
    if (connections == responses.size()) return -1;
    const std::string& response = responses[connections++];
    int ends[2];
    KVT_FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) == 0);
    const int sndbuf = 256 * 1024;
    ::setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    KVT_FUZZ_CHECK(response.empty() || ::write(ends[1], response.data(), response.size()) ==
                                           static_cast<ssize_t>(response.size()));
    ::shutdown(ends[1], SHUT_WR);
    servers.push_back(ends[1]);
    return ends[0];
  });

  const platform::InetHandle open = internet.Open("fuzz");
  const platform::InetHandle connect = internet.Connect(open, "127.0.0.1", 80);
  const platform::InetHandle request =
      internet.OpenRequest(connect, "GET", "/KVT_TRNQP_SETUP_LOG.txt", "HTTP/1.1", 0);
  internet.AddRequestHeaders(request, "Host: 127.0.0.1", platform::kHttpAddReqFlagAdd);
  internet.SetOption(request, platform::kInternetOptionReceiveTimeout, 1000);
  const bool sent = internet.SendRequest(request);
  KVT_FUZZ_CHECK(connections <= PosixInternet::kMaxRedirects + 1);

  if (sent) {
    const std::string& served = responses[connections - 1];
    std::string status, raw, length;
    KVT_FUZZ_CHECK(internet.QueryInfo(request, platform::kHttpQueryStatusCode, 1024, status));
    KVT_FUZZ_CHECK(ThreeDigits(status) && (status[0] != '1' || status == "101"));
    KVT_FUZZ_CHECK(internet.QueryInfo(request, platform::kHttpQueryRawHeadersCrlf, 1 << 20, raw));
    KVT_FUZZ_CHECK(raw.rfind("HTTP/", 0) == 0);
    KVT_FUZZ_CHECK(raw.size() >= 4 && raw.compare(raw.size() - 4, 4, "\r\n\r\n") == 0);
    for (std::size_t at = 0; at + 2 < raw.size();) {
      const std::size_t end = raw.find("\r\n", at);
      KVT_FUZZ_CHECK(end != at && served.find(raw.substr(at, end - at)) != std::string::npos);
      at = end + 2;
    }
    const std::size_t status_at = served.find(raw.substr(0, raw.find("\r\n")));
    std::string first_length;
    const bool has_length = HeaderOf(raw, "Content-Length", first_length);
    KVT_FUZZ_CHECK(internet.QueryInfo(request, platform::kHttpQueryContentLength, 1 << 20,
                                      length) == has_length);
    KVT_FUZZ_CHECK(length == (has_length ? first_length : ""));

    std::string coding;
    const bool chunked = HeaderOf(raw, "Transfer-Encoding", coding) &&
                         http::EqualsNoCase(coding, "chunked") && status != "204" &&
                         status != "304";
    std::int64_t announced = -1;
    if (!chunked && !http::ParseContentLength(length, announced)) announced = -1;
    if (status == "204" || status == "304") announced = 0;
    // Reads of changing sizes until the end; the end stays the end.
    std::string body;
    std::size_t in_order = status_at;
    const std::uint32_t sizes[] = {1, 7, 64 * 1024, 3, 4096, 2};
    for (std::size_t i = 0;; ++i) {
      char buffer[64 * 1024];
      std::uint32_t read = 0;
      const std::uint32_t want = sizes[i % 6];
      if (!internet.ReadFile(request, buffer, want, read)) break;
      KVT_FUZZ_CHECK(read <= want);
      if (read == 0) {
        KVT_FUZZ_CHECK(internet.ReadFile(request, buffer, want, read) && read == 0);
        break;
      }
      const std::string piece(buffer, read);
      body += piece;
      if (chunked) {
        in_order = served.find(piece, in_order);
        KVT_FUZZ_CHECK(in_order != std::string::npos);
        in_order += piece.size();
      }
    }
    KVT_FUZZ_CHECK(body.size() <= served.size() - status_at);
    if (!chunked && announced >= 0) {
      KVT_FUZZ_CHECK(static_cast<std::int64_t>(body.size()) <= announced);
      KVT_FUZZ_CHECK(served.find(body, status_at) != std::string::npos);
    } else if (!chunked) {
      KVT_FUZZ_CHECK(served.compare(served.size() - body.size(), body.size(), body) == 0);
    }
  }
  internet.CloseHandle(open);
  KVT_FUZZ_CHECK(internet.OpenHandleCount() == 0);
  for (int fd : servers) ::close(fd);
  internet.SetConnector(nullptr);
  return 0;
}
