// A scriptable HTTP server on the loopback interface for tests and benchmarks. Each request takes
// the next scripted response, else the route for its path, else a file from the served folder,
// else a 404. Responses can misbehave on purpose: wrong or missing Content-Length, a connection
// closed or reset part-way, a slow drip, a stall, raw bytes instead of a proper head. Every
// request head is recorded byte for byte.
//
// One thread accepts; each connection is served on its own thread and closed after one response.
// Stop (or the destructor) ends stalls and drips at once and joins every thread.
//
// Given a certificate and key, the server speaks HTTPS instead: each connection begins with a TLS
// handshake (OpenSSL), and a connection whose handshake fails is closed without a request.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct ssl_ctx_st;

namespace kvt::testing {

// The PEM files a TLS server presents: its certificate (chain) and private key.
struct TlsFiles {
  std::string certificate;
  std::string key;
};

// Deterministic, non-repeating bytes for generated bodies: byte `index` of stream `seed`.
void FillPattern(std::uint64_t seed, std::uint64_t offset, char* out, std::size_t size);
std::string PatternBytes(std::uint64_t seed, std::uint64_t offset, std::size_t size);
// Checks that the file at `linux_path` is exactly `size` bytes of pattern `seed`, reading it in
// pieces; the failure message names the first differing offset.
::testing::AssertionResult FileHoldsPattern(const std::string& linux_path, std::uint64_t size,
                                            std::uint64_t seed = 0);

struct Response {
  enum class LengthMode { kCorrect, kAbsent, kGiven };
  enum class Action { kNone, kClose, kReset, kStall };

  std::string status_line = "HTTP/1.1 200 OK";
  // Extra header lines without CR LF, sent after the Content-Length line.
  std::vector<std::string> headers;
  LengthMode length_mode = LengthMode::kCorrect;
  std::uint64_t given_length = 0;  // kGiven

  // The body comes from exactly one of: `body`, a generated pattern, a file.
  std::string body;
  std::optional<std::uint64_t> generated_size;
  std::uint64_t seed = 0;
  std::string file;  // Linux path

  // When set, these bytes are sent instead of the status line and headers.
  std::optional<std::string> raw_head;

  // What happens once `action_after` body bytes are out (or the whole body, if shorter).
  Action action = Action::kNone;
  std::uint64_t action_after = 0;
  // Slow drip: `drip_bytes` body bytes per `drip_interval`.
  std::size_t drip_bytes = 0;
  std::chrono::milliseconds drip_interval{0};
  // Wait before the head goes out.
  std::chrono::milliseconds head_delay{0};

  static Response Ok(std::string body);
  static Response Status(std::string status_line, std::string body = "");
  static Response Generated(std::uint64_t size, std::uint64_t seed = 0);
  static Response File(std::string linux_path);
  // Exactly these bytes, then the connection closes.
  static Response Raw(std::string bytes);

  Response& Header(std::string line);
  Response& NoLength();
  Response& Length(std::uint64_t announced);
  Response& CloseAfter(std::uint64_t body_bytes);
  Response& ResetAfter(std::uint64_t body_bytes);
  Response& StallAfter(std::uint64_t body_bytes);
  Response& Drip(std::size_t bytes, std::chrono::milliseconds interval);
  Response& Delay(std::chrono::milliseconds before_head);

  std::uint64_t BodySize() const;
};

struct RecordedRequest {
  std::string raw;  // request line and headers up to and including the empty line
  std::string method;
  std::string target;
  std::string version;
};

class TestServer {
 public:
  // Binds `address`:`port` (0: any free port) and starts serving. Any 127.x.y.z address is on the
  // loopback interface: a second server on 127.0.0.2 stands for a second host. Throws
  // std::runtime_error when the port cannot be bound.
  explicit TestServer(std::uint16_t port = 0, const std::string& address = "127.0.0.1");
  // The same, serving HTTPS with `tls`. Throws std::runtime_error when the files do not load.
  explicit TestServer(const TlsFiles& tls, std::uint16_t port = 0);
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  std::uint16_t port() const { return port_; }
  // "http://<address>:<port><target>" ("https://..." for a TLS server; for tools that honour the
  // port in the URL).
  std::string Url(const std::string& target) const;

  // Consulted first for every request: a response it gives answers the request (a proxy that
  // asks for a login, say); none lets the queue, the routes and the folder answer. Set it before
  // the first request.
  void Gate(std::function<std::optional<Response>(const RecordedRequest&)> gate);
  // The next request that arrives takes this response (first in, first out).
  void Enqueue(Response response);
  // Every request for `target` while the queue is empty.
  void Route(const std::string& target, Response response);
  // Requests for other targets are answered from this folder ("/a/b" -> folder/a/b); ".." is
  // refused with 404.
  void ServeFolder(const std::string& linux_folder);

  std::vector<RecordedRequest> Requests() const;
  std::size_t RequestCount() const;
  // Waits until at least `count` requests were recorded; false on time-out.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  // Connections accepted so far.
  std::size_t ConnectionCount() const;
  // TLS handshakes that failed (the client refused the certificate, or spoke no TLS).
  std::size_t FailedHandshakeCount() const;
  // Waits until at least `count` connections have reached a stall (all their bytes sent).
  bool WaitForStalls(std::size_t count, std::chrono::milliseconds timeout) const;

  // Ends every connection (stalled ones included) and joins the threads. Idempotent.
  void Stop();

 private:
  struct Connection {
    int fd = -1;
    void* tls = nullptr;  // the TLS session (SSL*) of an HTTPS connection
    bool done = false;
    std::thread thread;
  };

  void Listen(std::uint16_t port);
  // Receives up to `size` bytes (0 at the end of the connection, < 0 on failure) and sends all of
  // `size` bytes, through TLS on an HTTPS connection.
  long Receive(Connection* connection, char* data, std::size_t size);
  bool Send(Connection* connection, const char* data, std::size_t size);
  void AcceptLoop();
  void Serve(Connection* connection);
  Response Choose(const RecordedRequest& request);
  // Waits up to `duration` or until Stop; false when stopping.
  bool Pause(std::chrono::milliseconds duration);
  void Finish(Connection* connection, bool reset);
  void JoinFinished();

  ssl_ctx_st* tls_ = nullptr;
  std::string address_ = "127.0.0.1";
  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread acceptor_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  bool stopped_ = false;
  std::function<std::optional<Response>(const RecordedRequest&)> gate_;
  std::deque<Response> queue_;
  std::map<std::string, Response> routes_;
  std::string folder_;
  std::vector<RecordedRequest> requests_;
  std::size_t connections_ = 0;
  std::size_t stalls_ = 0;
  std::size_t failed_handshakes_ = 0;
  std::list<Connection> live_;
};

// The body of a server program for tests that run in another process: binds 127.0.0.1:`port`
// (0: any free port; "ADDRESS:PORT" binds another loopback address and is printed so), lets
// `script` prepare the server, prints "port N" on standard output once it listens, serves until
// SIGTERM, SIGINT or SIGHUP, then prints "request METHOD TARGET" for every request it saw. With
// `tls`, the server speaks HTTPS with those files. Returns the program's exit code (1 with a
// message naming `program` on failure).
int ServeUntilSignalled(const char* program, const std::string& port_text,
                        const std::function<void(TestServer&)>& script,
                        const std::optional<TlsFiles>& tls = std::nullopt);

}  // namespace kvt::testing
