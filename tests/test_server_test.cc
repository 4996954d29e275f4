// The loopback test server, seen from a plain socket client: what it sends for each script.

#include "support/test_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace kvt::testing {
namespace {

struct Answer {
  std::string bytes;
  int error = 0;  // errno of the read that ended the answer; 0 for an orderly close
};

// Sends a GET for `target` and reads until the server closes.
Answer Get(std::uint16_t port, const std::string& target) {
  Answer answer;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    answer.error = errno;
    ::close(fd);
    return answer;
  }
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  char buffer[65536];
  while (true) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) answer.error = errno;
    if (n <= 0) break;
    answer.bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return answer;
}

std::string Head(const Answer& a) {
  const std::size_t end = a.bytes.find("\r\n\r\n");
  return end == std::string::npos ? a.bytes : a.bytes.substr(0, end + 4);
}
std::string Body(const Answer& a) {
  const std::size_t end = a.bytes.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : a.bytes.substr(end + 4);
}

TEST(TestServerTest, AnswersFromQueueThenRoutesThenFolderThen404) {
  TempDir temp;
  WriteFileBytes(temp.Sub("file.bin"), "from the folder");
  TestServer server;
  server.ServeFolder(temp.path());
  server.Route("/route", Response::Ok("routed"));
  server.Enqueue(Response::Status("HTTP/1.1 206 Partial Content", "first"));
  server.Enqueue(Response::Ok("second"));

  EXPECT_EQ(Get(server.port(), "/route").bytes,
            "HTTP/1.1 206 Partial Content\r\nContent-Length: 5\r\n\r\nfirst");
  EXPECT_EQ(Body(Get(server.port(), "/anything")), "second");
  EXPECT_EQ(Body(Get(server.port(), "/route")), "routed");
  EXPECT_EQ(Body(Get(server.port(), "/route")), "routed");
  EXPECT_EQ(Get(server.port(), "/file.bin").bytes,
            "HTTP/1.1 200 OK\r\nContent-Length: 15\r\n\r\nfrom the folder");
  EXPECT_EQ(Head(Get(server.port(), "/missing")).rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
  EXPECT_EQ(Head(Get(server.port(), "/../etc/passwd")).rfind("HTTP/1.1 404", 0), 0u);

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 7u);
  EXPECT_EQ(requests[0].raw, "GET /route HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/route");
  EXPECT_EQ(requests[0].version, "HTTP/1.1");
  EXPECT_EQ(server.ConnectionCount(), 7u);
}

TEST(TestServerTest, WritesTheContentLengthAsScripted) {
  struct Case {
    std::string name;
    Response response;
    std::string head;
  };
  const std::vector<Case> cases = {
      {"correct", Response::Ok("abc").Header("X-A: 1"),
       "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nX-A: 1\r\n\r\n"},
      {"absent", Response::Ok("abc").NoLength(), "HTTP/1.1 200 OK\r\n\r\n"},
      {"too small", Response::Ok("abc").Length(1), "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n"},
      {"too large", Response::Ok("abc").Length(9), "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestServer server;
    server.Enqueue(c.response);
    const Answer a = Get(server.port(), "/");
    EXPECT_EQ(Head(a), c.head);
    EXPECT_EQ(Body(a), "abc");  // the body is sent whole whatever is announced
    EXPECT_EQ(a.error, 0);
  }
}

TEST(TestServerTest, GeneratedBodiesFollowThePattern) {
  TempDir temp;
  TestServer server;
  const std::uint64_t size = 1000003;
  server.Enqueue(Response::Generated(size, 42));
  const Answer a = Get(server.port(), "/big");
  EXPECT_EQ(Head(a), "HTTP/1.1 200 OK\r\nContent-Length: 1000003\r\n\r\n");
  const std::string body = Body(a);
  EXPECT_EQ(body, PatternBytes(42, 0, size));
  EXPECT_NE(PatternBytes(42, 0, 1024), PatternBytes(42, 1024, 1024));  // no short period
  EXPECT_NE(PatternBytes(42, 0, 64), PatternBytes(43, 0, 64));

  ASSERT_TRUE(WriteFileBytes(temp.Sub("good"), body));
  EXPECT_TRUE(FileHoldsPattern(temp.Sub("good"), size, 42));
  EXPECT_FALSE(FileHoldsPattern(temp.Sub("good"), size + 1, 42));
  EXPECT_FALSE(FileHoldsPattern(temp.Sub("good"), size, 41));
  std::string damaged = body;
  damaged[700000] ^= 1;
  ASSERT_TRUE(WriteFileBytes(temp.Sub("bad"), damaged));
  const ::testing::AssertionResult r = FileHoldsPattern(temp.Sub("bad"), size, 42);
  EXPECT_FALSE(r);
  EXPECT_NE(std::string(r.message()).find("700000"), std::string::npos) << r.message();
  EXPECT_FALSE(FileHoldsPattern(temp.Sub("missing"), 0, 42));
}

TEST(TestServerTest, CutsTheBodyShortByCloseOrReset) {
  {
    TestServer server;
    server.Enqueue(Response::Generated(50000).CloseAfter(1234));
    const Answer a = Get(server.port(), "/");
    EXPECT_EQ(Body(a), PatternBytes(0, 0, 1234));
    EXPECT_EQ(a.error, 0);
  }
  {
    TestServer server;
    server.Enqueue(Response::Generated(50000).ResetAfter(1234));
    const Answer a = Get(server.port(), "/");
    EXPECT_LE(Body(a).size(), 1234u);
    EXPECT_EQ(a.error, ECONNRESET);
  }
  {
    TestServer server;
    server.Enqueue(Response::Raw("HTTP/1.1 2"));
    EXPECT_EQ(Get(server.port(), "/").bytes, "HTTP/1.1 2");
  }
}

TEST(TestServerTest, DripsTheWholeBodyInPieces) {
  TestServer server;
  server.Enqueue(Response::Ok("0123456789").Drip(3, std::chrono::milliseconds(5)));
  EXPECT_EQ(Body(Get(server.port(), "/")), "0123456789");
}

TEST(TestServerTest, StopEndsStalledConnections) {
  auto server = std::make_unique<TestServer>();
  server->Route("/a", Response::Generated(1000).StallAfter(100));
  server->Route("/b", Response::Raw("").StallAfter(0));
  Answer stalled_body, stalled_head;
  std::thread a([&] { stalled_body = Get(server->port(), "/a"); });
  std::thread b([&] { stalled_head = Get(server->port(), "/b"); });
  ASSERT_TRUE(server->WaitForStalls(2, std::chrono::seconds(10)));
  // A client that connects and never sends a request is ended too.
  const int idle = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(server->port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  server.reset();  // must not hang
  a.join();
  b.join();
  ::close(idle);
  EXPECT_EQ(Body(stalled_body), PatternBytes(0, 0, 100));
  EXPECT_EQ(stalled_head.bytes, "");
}

TEST(TestServerTest, ListensOnAGivenPort) {
  std::uint16_t port;
  {
    TestServer first;
    port = first.port();
  }
  TestServer second(port);
  EXPECT_EQ(second.port(), port);
  EXPECT_EQ(second.Url("/x"), "http://127.0.0.1:" + std::to_string(port) + "/x");
  EXPECT_THROW(TestServer third(port), std::runtime_error);
}

}  // namespace
}  // namespace kvt::testing
