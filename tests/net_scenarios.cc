// The server side of the network scenario table: every row answered on its own path.
#include "net_scenarios.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "support/test_server.h"

namespace kvt::net_scenarios {

namespace {

// The body in chunks of 1000 bytes (and the rest), with the closing empty chunk.
std::string Chunked(const std::string& body) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t at = 0; at < body.size(); at += 1000) {
    const std::size_t n = std::min<std::size_t>(1000, body.size() - at);
    std::string size;
    for (std::size_t v = n; v > 0; v /= 16) size.insert(size.begin(), kHex[v % 16]);
    out += size + ";ext=1\r\n" + body.substr(at, n) + "\r\n";
  }
  return out + "0\r\nX-Trailer: 1\r\n\r\n";
}

}  // namespace

void ServeTable(kvt::testing::TestServer& server) {
  using kvt::testing::Response;
  for (const Scenario& s : Table()) {
    const bool chunked = s.transfer == Transfer::kChunked;
    // As the vendor's web server answers a request that asks to close: the client keeps no
    // connection for a later request (which would otherwise read the unread rest of a body).
    Response r = Response::Status(s.status_line, chunked ? Chunked(Body(s)) : Body(s))
                     .Header("Connection: close");
    if (chunked) r.Header("Transfer-Encoding: chunked");
    if (s.length == Length::kAbsent || s.length == Length::kText) r.NoLength();
    for (const char* line : s.length_lines) r.Header(line);
    if (s.length == Length::kGiven) r.Length(s.announced);
    if (s.ending == Ending::kClose) r.CloseAfter(s.end_after);
    if (s.ending == Ending::kReset) r.ResetAfter(s.end_after);
    if (s.ending == Ending::kStall) r.StallAfter(s.end_after);
    if (s.ending == Ending::kStallHead) r.Delay(std::chrono::hours(1));
    if (s.transfer == Transfer::kRedirect || s.transfer == Transfer::kRedirectAbsolute) {
      server.Route(ServerPath(s) + "/moved", std::move(r));
      // An absolute Location names the server's own scheme and port, which the client uses as
      // given.
      const std::string location = s.transfer == Transfer::kRedirect
                                       ? ServerPath(s) + "/moved"
                                       : server.Url(ServerPath(s) + "/moved");
      server.Route(ServerPath(s), Response::Status("HTTP/1.1 302 Found", "moved")
                                      .Header("Location: " + location)
                                      .Header("Connection: close"));
      continue;
    }
    server.Route(ServerPath(s), std::move(r));
  }
}

}  // namespace kvt::net_scenarios
