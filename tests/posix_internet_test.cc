// The sockets HTTP client in the WinINet shape, against the loopback test server.

#include <gtest/gtest.h>
#include <time.h>

#include <string>
#include <vector>

#include "platform/posix/posix.h"
#include "support/test_server.h"

namespace kvt::posix {
namespace {

using kvt::testing::Response;
using kvt::testing::TestServer;

const std::vector<std::string> kHeaderLines = {"Accept: */*", "User-Agent: Pelorix1.0",
                                               "Host: 127.0.0.1", "Connection: close"};

// One request the way the download makes it.
struct Exchange {
  PosixInternet& net;
  platform::InetHandle open = 0, connect = 0, request = 0;

  Exchange(PosixInternet& n, const std::string& object, const std::string& host = "127.0.0.1")
      : net(n) {
    open = net.Open("http://127.0.0.1" + object);
    connect = net.Connect(open, host, platform::kInternetDefaultHttpPort);
    request = net.OpenRequest(connect, "GET", object, "HTTP/1.1", platform::kInternetFlagReload);
    for (const std::string& line : kHeaderLines) {
      net.AddRequestHeaders(request, line, platform::kHttpAddReqFlagAdd);
    }
  }
  ~Exchange() {
    net.CloseHandle(request);
    net.CloseHandle(connect);
    net.CloseHandle(open);
  }
  bool Send() { return net.SendRequest(request); }
  std::string Query(std::uint32_t level, bool& ok) {
    std::string text;
    ok = net.QueryInfo(request, level, 1024, text);
    return text;
  }
  // Reads in pieces of `size` until a read delivers nothing or fails.
  std::string ReadAll(std::uint32_t size, bool& last_ok, int* reads = nullptr) {
    std::string body;
    std::vector<char> buffer(size);
    while (true) {
      std::uint32_t got = 99;
      last_ok = net.ReadFile(request, buffer.data(), size, got);
      if (reads != nullptr) ++*reads;
      if (!last_ok || got == 0) return body;
      EXPECT_LE(got, size);
      body.append(buffer.data(), got);
    }
  }
};

TEST(PosixInternetTest, SendsExactlyTheRequestLineAndTheAddedHeaderLines) {
  TestServer server;
  server.Enqueue(Response::Ok("x"));
  server.Enqueue(Response::Ok("y"));
  PosixInternet net(server.port());
  {
    Exchange e(net, "/KVT_TRNQP_SETUP_LOG.txt");
    ASSERT_TRUE(e.Send());
  }
  {
    Exchange e(net, "");  // WinINet asks for "/" when the object name is empty
    ASSERT_TRUE(e.Send());
  }
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].raw,
            "GET /KVT_TRNQP_SETUP_LOG.txt HTTP/1.1\r\n"
            "Accept: */*\r\n"
            "User-Agent: Pelorix1.0\r\n"
            "Host: 127.0.0.1\r\n"
            "Connection: close\r\n"
            "\r\n");
  EXPECT_EQ(requests[1].target, "/");
}

TEST(PosixInternetTest, RefusesHeaderLinesWithoutAName) {
  TestServer server;
  server.Enqueue(Response::Ok("x"));
  PosixInternet net(server.port());
  Exchange e(net, "/a");
  EXPECT_FALSE(net.AddRequestHeaders(e.request, "no colon here", platform::kHttpAddReqFlagAdd));
  EXPECT_FALSE(net.AddRequestHeaders(e.request, ": empty name", platform::kHttpAddReqFlagAdd));
  EXPECT_FALSE(net.AddRequestHeaders(0, "Accept: */*", platform::kHttpAddReqFlagAdd));
  ASSERT_TRUE(e.Send());
  EXPECT_EQ(server.Requests().at(0).raw.find("no colon"), std::string::npos);
}

TEST(PosixInternetTest, ReportsTheStatusCodeText) {
  struct Case {
    std::string status_line;
    std::string code;
  };
  const std::vector<Case> cases = {
      {"HTTP/1.1 200 OK", "200"},        {"HTTP/1.1 206 Partial Content", "206"},
      {"HTTP/1.1 404 Not Found", "404"}, {"HTTP/1.0 500 Internal Server Error", "500"},
      {"HTTP/1.1 302", "302"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status_line);
    TestServer server;
    server.Enqueue(Response::Status(c.status_line, "body"));
    PosixInternet net(server.port());
    Exchange e(net, "/f");
    ASSERT_TRUE(e.Send());
    bool ok;
    EXPECT_EQ(e.Query(platform::kHttpQueryStatusCode, ok), c.code);
    EXPECT_TRUE(ok);
    EXPECT_EQ(e.Query(12345, ok), "");  // levels the download never asks for
    EXPECT_FALSE(ok);
  }
}

TEST(PosixInternetTest, ReportsContentLengthOnlyWhenPresent) {
  struct Case {
    std::string name;
    Response response;
    bool present;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"correct", Response::Ok("hello"), true, "5"},
      {"zero", Response::Ok(""), true, "0"},
      {"absent", Response::Ok("hello").NoLength(), false, ""},
      {"announced larger", Response::Ok("hello").Length(2147483648ull), true, "2147483648"},
      {"odd spelling and blanks",
       Response::Raw("HTTP/1.1 200 OK\r\ncontent-LENGTH:   42  \r\n\r\n"), true, "42"},
      {"not a number", Response::Raw("HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n"), true,
       "12abc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer server;
    server.Enqueue(c.response);
    PosixInternet net(server.port());
    Exchange e(net, "/f");
    ASSERT_TRUE(e.Send());
    bool ok;
    EXPECT_EQ(e.Query(platform::kHttpQueryContentLength, ok), c.text);
    EXPECT_EQ(ok, c.present);
  }
}

TEST(PosixInternetTest, QueryFailsWhenTheTextDoesNotFitTheBuffer) {
  TestServer server;
  server.Enqueue(Response::Generated(12345));
  PosixInternet net(server.port());
  Exchange e(net, "/f");
  ASSERT_TRUE(e.Send());
  std::string text = "stale";
  EXPECT_FALSE(net.QueryInfo(e.request, platform::kHttpQueryContentLength, 5, text));
  EXPECT_EQ(text, "");
  EXPECT_TRUE(net.QueryInfo(e.request, platform::kHttpQueryContentLength, 6, text));
  EXPECT_EQ(text, "12345");
}

TEST(PosixInternetTest, ReadsNeverDeliverMoreThanAskedAndKeepTheBytesInOrder) {
  const std::uint64_t size = 300000;
  for (std::uint32_t piece : {1u, 7u, 1024u, 65536u, 70000u}) {
    SCOPED_TRACE(piece);
    TestServer server;
    server.Enqueue(Response::Generated(size, piece));
    PosixInternet net(server.port());
    Exchange e(net, "/big");
    ASSERT_TRUE(e.Send());
    bool ok;
    const std::string body = e.ReadAll(piece, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(body, kvt::testing::PatternBytes(piece, 0, size));
    // The end stays the end.
    char c;
    std::uint32_t got = 1;
    EXPECT_TRUE(net.ReadFile(e.request, &c, 1, got));
    EXPECT_EQ(got, 0u);
  }
}

TEST(PosixInternetTest, DeliversNoBytePastTheAnnouncedLength) {
  TestServer server;
  server.Enqueue(Response::Ok("0123456789abcdefghij").Length(10));
  PosixInternet net(server.port());
  Exchange e(net, "/f");
  ASSERT_TRUE(e.Send());
  bool ok;
  EXPECT_EQ(e.ReadAll(1024, ok), "0123456789");
  EXPECT_TRUE(ok);
}

TEST(PosixInternetTest, BodyWithoutLengthRunsToTheClose) {
  TestServer server;
  server.Enqueue(Response::Ok("no length given").NoLength());
  PosixInternet net(server.port());
  Exchange e(net, "/f");
  ASSERT_TRUE(e.Send());
  bool ok;
  EXPECT_EQ(e.ReadAll(4, ok), "no length given");
  EXPECT_TRUE(ok);
}

TEST(PosixInternetTest, ADroppedConnectionReadsAsANormalEnd) {
  struct Case {
    std::string name;
    Response response;
  };
  const std::vector<Case> cases = {
      {"closed", Response::Generated(100000).CloseAfter(30000)},
      {"reset", Response::Generated(100000).ResetAfter(30000)},
      {"closed before any body byte", Response::Generated(100000).CloseAfter(0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer server;
    server.Enqueue(c.response);
    PosixInternet net(server.port());
    Exchange e(net, "/f");
    ASSERT_TRUE(e.Send());
    bool ok;
    const std::string body = e.ReadAll(1024, ok);
    EXPECT_TRUE(ok);
    EXPECT_LE(body.size(), c.response.action_after);
    EXPECT_EQ(body, kvt::testing::PatternBytes(0, 0, body.size()));
    if (c.response.action == Response::Action::kClose) {
      EXPECT_EQ(body.size(), c.response.action_after);
    }
  }
}

TEST(PosixInternetTest, MalformedOrOversizedResponseHeadsFailTheSend) {
  struct Case {
    std::string name;
    std::string raw;
  };
  const std::vector<Case> cases = {
      {"nothing at all", ""},
      {"not HTTP", "FTP/1.0 200 OK\r\n\r\n"},
      {"letters in the code", "HTTP/1.1 2x0 OK\r\n\r\n"},
      {"four-digit code", "HTTP/1.1 2000 OK\r\n\r\n"},
      {"no code", "HTTP/1.1\r\n\r\n"},
      {"empty line first", "\r\nHTTP/1.1 200 OK\r\n\r\n"},
      {"head cut off", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"},
      {"binary noise", std::string("\x00\xff\x10\r\n\r\n", 7)},
      {"head over 64 KiB", "HTTP/1.1 200 OK\r\nX-Big: " + std::string(70000, 'a') + "\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer server;
    server.Enqueue(Response::Raw(c.raw));
    PosixInternet net(server.port());
    Exchange e(net, "/f");
    EXPECT_FALSE(e.Send());
    bool ok;
    EXPECT_EQ(e.Query(platform::kHttpQueryStatusCode, ok), "");
    EXPECT_FALSE(ok);
    char buffer[16];
    std::uint32_t got = 7;
    EXPECT_FALSE(net.ReadFile(e.request, buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);
  }
}

TEST(PosixInternetTest, LenientHeadsStillWork) {
  struct Case {
    std::string name;
    std::string raw;
    std::string status;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"bare line feeds", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok", "200", "ok"},
      {"interim answer first",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 206 Partial\r\nContent-Length: 3\r\n\r\nabc", "206",
       "abc"},
      {"header line without colon", "HTTP/1.1 200 OK\r\nbogus\r\nContent-Length: 1\r\n\r\nz", "200",
       "z"},
      {"head just under 64 KiB",
       "HTTP/1.1 200 OK\r\nX-Big: " + std::string(60000, 'a') + "\r\nContent-Length: 1\r\n\r\nq",
       "200", "q"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer server;
    server.Enqueue(Response::Raw(c.raw));
    PosixInternet net(server.port());
    Exchange e(net, "/f");
    ASSERT_TRUE(e.Send());
    bool ok;
    EXPECT_EQ(e.Query(platform::kHttpQueryStatusCode, ok), c.status);
    EXPECT_EQ(e.ReadAll(1024, ok), c.body);
    EXPECT_TRUE(ok);
  }
}

TEST(PosixInternetTest, UnreachableServersFailTheSend) {
  std::uint16_t closed_port;
  {
    TestServer gone;
    closed_port = gone.port();
  }
  PosixInternet net(closed_port);
  {
    Exchange refused(net, "/f");
    EXPECT_NE(refused.request, 0u);  // nothing is resolved or connected before the send
    EXPECT_FALSE(refused.Send());
  }
  TestServer server;
  server.Route("/f", Response::Ok("x"));
  PosixInternet to_server(server.port());
  {
    // A port written into the host name is part of the name, which does not resolve.
    Exchange with_port(to_server, "/f", "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_FALSE(with_port.Send());
  }
  EXPECT_EQ(to_server.Connect(to_server.Open("a"), "", 80), 0u);
  EXPECT_EQ(server.RequestCount(), 0u);
}

TEST(PosixInternetTest, AStalledBodyFailsTheReadAfterTheReceiveTimeout) {
  TestServer server;
  server.Enqueue(Response::Generated(5000).StallAfter(1000));
  PosixInternet net(server.port());
  net.SetTimeoutCapMs(200);
  Exchange e(net, "/f");
  ASSERT_TRUE(e.Send());
  bool ok;
  EXPECT_EQ(e.ReadAll(1024, ok).size(), 1000u);
  EXPECT_FALSE(ok);
}

// Redirects as WinINet follows them: the Host line names the new server, at most ten, plain
// HTTP only, a malformed chunk fails the read.
TEST(PosixInternetTest, RedirectsAndChunkFramingAtTheirLimits) {
  TestServer server;
  const std::string self = "127.0.0.1:" + std::to_string(server.port());
  for (int i = 0; i < 11; ++i) {
    server.Route("/r" + std::to_string(i), Response::Status("HTTP/1.1 302 Found")
                                              .Header("Location: /r" + std::to_string(i + 1)));
  }
  server.Route("/r11", Response::Ok("eleven"));
  server.Route("/abs", Response::Status("HTTP/1.1 301 Moved Permanently")
                           .Header("Location: http://" + self + "/r10"));
  server.Route("/tls", Response::Status("HTTP/1.1 307 Temporary Redirect")
                           .Header("Location: https://" + self + "/r11"));
  server.Route("/badchunk", Response::Ok("zz\r\nxx\r\n0\r\n\r\n")
                                .NoLength()
                                .Header("Transfer-Encoding: chunked"));
  PosixInternet net(server.port());
  bool ok = false;
  {
    Exchange ten(net, "/r1");  // ten redirects: followed
    ASSERT_TRUE(ten.Send());
    EXPECT_EQ(ten.ReadAll(64, ok), "eleven");
  }
  EXPECT_NE(server.Requests().back().raw.find("Host: 127.0.0.1\r\n"), std::string::npos);
  {
    Exchange eleven(net, "/r0");
    EXPECT_FALSE(eleven.Send());
  }
  {
    Exchange absolute(net, "/abs");  // the new Host line names the server's own port
    ASSERT_TRUE(absolute.Send());
    EXPECT_EQ(absolute.ReadAll(64, ok), "eleven");
    EXPECT_NE(server.Requests().back().raw.find("Host: " + self + "\r\n"), std::string::npos);
  }
  {
    Exchange secure(net, "/tls");
    EXPECT_FALSE(secure.Send());
  }
  {
    Exchange chunked(net, "/badchunk");
    ASSERT_TRUE(chunked.Send());
    EXPECT_EQ(chunked.ReadAll(64, ok), "");
    EXPECT_FALSE(ok);
  }
}

TEST(PosixInternetTest, ClosingAHandleClosesWhatWasOpenedThroughIt) {
  TestServer server;
  server.Route("/f", Response::Ok("abc"));
  PosixInternet net(server.port());
  const platform::InetHandle open = net.Open("agent");
  const platform::InetHandle connect = net.Connect(open, "127.0.0.1", 80);
  const platform::InetHandle request = net.OpenRequest(connect, "GET", "/f", "HTTP/1.1", 0);
  ASSERT_TRUE(net.SendRequest(request));
  EXPECT_EQ(net.OpenHandleCount(), 3u);
  net.CloseHandle(open);
  EXPECT_EQ(net.OpenHandleCount(), 0u);
  char buffer[8];
  std::uint32_t got;
  EXPECT_FALSE(net.ReadFile(request, buffer, sizeof buffer, got));
  net.CloseHandle(request);  // already gone: harmless
  net.CloseHandle(0);
  net.CloseHandle(0xDEAD);
  // Handles of the wrong kind are refused.
  EXPECT_EQ(net.Connect(0xDEAD, "127.0.0.1", 80), 0u);
  const platform::InetHandle open2 = net.Open("agent");
  EXPECT_EQ(net.OpenRequest(open2, "GET", "/f", "HTTP/1.1", 0), 0u);
  EXPECT_FALSE(net.SendRequest(open2));
}

TEST(PosixResolverTest, LooksUpNames) {
  PosixResolver resolver;
  resolver.Startup(0x0101);
  EXPECT_TRUE(resolver.GetHostByName("localhost"));
  EXPECT_TRUE(resolver.GetHostByName("127.0.0.1"));
  EXPECT_FALSE(resolver.GetHostByName(""));
  resolver.Cleanup();
  EXPECT_EQ(resolver.startups(), 1);
  EXPECT_EQ(resolver.cleanups(), 1);
}

TEST(PosixClockTest, TimeOfDayFollowsTheLocalClock) {
  PosixClock clock;
  const double seconds = clock.SecondsSinceMidnight();
  const time_t now = ::time(nullptr);
  tm local;
  ::localtime_r(&now, &local);
  const double expected = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec;
  ASSERT_GE(seconds, 0.0);
  ASSERT_LT(seconds, 86400.0);
  // Across midnight the two readings may straddle the wrap.
  const double diff = std::abs(seconds - expected);
  EXPECT_TRUE(diff < 2.0 || diff > 86398.0) << seconds << " vs " << expected;
  EXPECT_EQ(clock.DecimalSeparator(), ".");  // the "C" locale of the test program
}

}  // namespace
}  // namespace kvt::posix
