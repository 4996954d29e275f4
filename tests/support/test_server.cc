#include "support/test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace kvt::testing {
namespace {

constexpr std::size_t kMaxRequestHead = 64 * 1024;
constexpr std::size_t kChunk = 64 * 1024;

std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::size_t FindHeadEnd(const std::string& data) {
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (data[i] != '\n') continue;
    if (i + 1 < data.size() && data[i + 1] == '\n') return i + 2;
    if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n') return i + 3;
  }
  return 0;
}

RecordedRequest Parse(std::string raw) {
  RecordedRequest r;
  std::string line = raw.substr(0, raw.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const std::size_t a = line.find(' ');
  const std::size_t b = a == std::string::npos ? std::string::npos : line.find(' ', a + 1);
  r.method = line.substr(0, a);
  if (a != std::string::npos) r.target = line.substr(a + 1, b == std::string::npos ? b : b - a - 1);
  if (b != std::string::npos) r.version = line.substr(b + 1);
  r.raw = std::move(raw);
  return r;
}

}  // namespace

void FillPattern(std::uint64_t seed, std::uint64_t offset, char* out, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    const std::uint64_t position = offset + i;
    const std::uint64_t block = position / 8;
    std::uint64_t value = Mix(block ^ Mix(seed));
    std::size_t in_block = static_cast<std::size_t>(position % 8);
    for (; in_block < 8 && i < size; ++in_block, ++i) {
      out[i] = static_cast<char>((value >> (8 * in_block)) & 0xFF);
    }
  }
}

std::string PatternBytes(std::uint64_t seed, std::uint64_t offset, std::size_t size) {
  std::string bytes(size, '\0');
  FillPattern(seed, offset, bytes.data(), size);
  return bytes;
}

::testing::AssertionResult FileHoldsPattern(const std::string& linux_path, std::uint64_t size,
                                            std::uint64_t seed) {
  std::ifstream in(linux_path, std::ios::binary);
  if (!in) return ::testing::AssertionFailure() << linux_path << " cannot be opened";
  std::vector<char> got(kChunk), want(kChunk);
  std::uint64_t offset = 0;
  while (true) {
    in.read(got.data(), static_cast<std::streamsize>(got.size()));
    const std::size_t n = static_cast<std::size_t>(in.gcount());
    if (n == 0) break;
    if (offset + n > size) {
      return ::testing::AssertionFailure() << linux_path << " is longer than " << size << " bytes";
    }
    FillPattern(seed, offset, want.data(), n);
    if (std::memcmp(got.data(), want.data(), n) != 0) {
      std::size_t i = 0;
      while (got[i] == want[i]) ++i;
      return ::testing::AssertionFailure()
             << linux_path << " differs from the pattern at byte " << offset + i;
    }
    offset += n;
  }
  if (offset != size) {
    return ::testing::AssertionFailure()
           << linux_path << " has " << offset << " bytes, expected " << size;
  }
  return ::testing::AssertionSuccess();
}

Response Response::Ok(std::string body) {
  Response r;
  r.body = std::move(body);
  return r;
}

Response Response::Status(std::string status_line, std::string body) {
  Response r;
  r.status_line = std::move(status_line);
  r.body = std::move(body);
  return r;
}

Response Response::Generated(std::uint64_t size, std::uint64_t seed) {
  Response r;
  r.generated_size = size;
  r.seed = seed;
  return r;
}

Response Response::File(std::string linux_path) {
  Response r;
  r.file = std::move(linux_path);
  return r;
}

Response Response::Raw(std::string bytes) {
  Response r;
  r.raw_head = std::move(bytes);
  return r;
}

Response& Response::Header(std::string line) {
  headers.push_back(std::move(line));
  return *this;
}
Response& Response::NoLength() {
  length_mode = LengthMode::kAbsent;
  return *this;
}
Response& Response::Length(std::uint64_t announced) {
  length_mode = LengthMode::kGiven;
  given_length = announced;
  return *this;
}
Response& Response::CloseAfter(std::uint64_t body_bytes) {
  action = Action::kClose;
  action_after = body_bytes;
  return *this;
}
Response& Response::ResetAfter(std::uint64_t body_bytes) {
  action = Action::kReset;
  action_after = body_bytes;
  return *this;
}
Response& Response::StallAfter(std::uint64_t body_bytes) {
  action = Action::kStall;
  action_after = body_bytes;
  return *this;
}
Response& Response::Drip(std::size_t bytes, std::chrono::milliseconds interval) {
  drip_bytes = bytes;
  drip_interval = interval;
  return *this;
}
Response& Response::Delay(std::chrono::milliseconds before_head) {
  head_delay = before_head;
  return *this;
}

std::uint64_t Response::BodySize() const {
  if (generated_size) return *generated_size;
  if (!file.empty()) {
    struct stat st;
    return ::stat(file.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  }
  return body.size();
}

TestServer::TestServer(std::uint16_t port, const std::string& address) : address_(address) {
  Listen(port);
}

TestServer::TestServer(const TlsFiles& tls, std::uint16_t port) {
  tls_ = SSL_CTX_new(TLS_server_method());
  if (tls_ == nullptr || SSL_CTX_use_certificate_chain_file(tls_, tls.certificate.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(tls_, tls.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(tls_) != 1) {
    SSL_CTX_free(tls_);
    throw std::runtime_error("cannot load " + tls.certificate + " and " + tls.key);
  }
  Listen(port);
}

void TestServer::Listen(std::uint16_t port) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket failed");
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, address_.c_str(), &address.sin_addr) != 1) {
    ::close(listen_fd_);
    throw std::runtime_error("not an IPv4 address: " + address_);
  }
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, 64) != 0) {
    const std::string why = std::strerror(errno);
    ::close(listen_fd_);
    throw std::runtime_error("cannot listen on " + address_ + ":" + std::to_string(port) + ": " +
                             why);
  }
  socklen_t length = sizeof address;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

TestServer::~TestServer() {
  Stop();
  SSL_CTX_free(tls_);
}

std::string TestServer::Url(const std::string& target) const {
  return (tls_ != nullptr ? "https://" : "http://") + address_ + ":" + std::to_string(port_) +
         target;
}

void TestServer::Enqueue(Response response) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(response));
}

void TestServer::Route(const std::string& target, Response response) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[target] = std::move(response);
}

void TestServer::ServeFolder(const std::string& linux_folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  folder_ = linux_folder;
}

std::vector<RecordedRequest> TestServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::size_t TestServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

bool TestServer::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

std::size_t TestServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

std::size_t TestServer::FailedHandshakeCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_handshakes_;
}

bool TestServer::WaitForStalls(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return stalls_ >= count; });
}

void TestServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    stopping_ = true;
    for (Connection& c : live_) {
      if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);  // wakes reads and writes in progress
    }
  }
  changed_.notify_all();
  ::shutdown(listen_fd_, SHUT_RDWR);  // wakes accept
  if (acceptor_.joinable()) acceptor_.join();
  ::close(listen_fd_);
  listen_fd_ = -1;
  // No new connection can appear now; join them all.
  for (Connection& c : live_) {
    if (c.thread.joinable()) c.thread.join();
  }
  live_.clear();
}

void TestServer::JoinFinished() {
  std::list<Connection> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = live_.begin(); it != live_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), live_, it);
      it = next;
    }
  }
  for (Connection& c : finished) c.thread.join();
}

void TestServer::AcceptLoop() {
  while (true) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
      }
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));  // e.g. out of descriptors
      continue;
    }
    JoinFinished();
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    ++connections_;
    live_.emplace_back();
    Connection* connection = &live_.back();
    connection->fd = fd;
    connection->thread = std::thread([this, connection] { Serve(connection); });
  }
}

bool TestServer::Pause(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (duration.count() <= 0) return !stopping_;
  return !changed_.wait_for(lock, duration, [&] { return stopping_; });
}

void TestServer::Finish(Connection* connection, bool reset) {
  // A reset drops whatever the client has not received yet (a small TLS record may still wait
  // in the queue); the bytes sent before it must reach the client first.
  for (int i = 0; reset && i < 400; ++i) {
    int queued = 0;
    if (::ioctl(connection->fd, SIOCOUTQ, &queued) != 0 || queued == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  SSL_free(static_cast<SSL*>(connection->tls));  // no closing message: the socket just ends
  connection->tls = nullptr;
  if (reset) {
    linger hard{1, 0};  // close with RST instead of FIN
    ::setsockopt(connection->fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  } else {
    ::shutdown(connection->fd, SHUT_WR);
  }
  ::close(connection->fd);
  connection->fd = -1;
  connection->done = true;
}

void TestServer::Gate(std::function<std::optional<Response>(const RecordedRequest&)> gate) {
  std::lock_guard<std::mutex> lock(mutex_);
  gate_ = std::move(gate);
}

Response TestServer::Choose(const RecordedRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (gate_) {
    std::optional<Response> r = gate_(request);
    if (r) return std::move(*r);
  }
  if (!queue_.empty()) {
    Response r = std::move(queue_.front());
    queue_.pop_front();
    return r;
  }
  auto route = routes_.find(request.target);
  if (route != routes_.end()) return route->second;
  if (!folder_.empty() && !request.target.empty() && request.target[0] == '/' &&
      request.target.find("..") == std::string::npos) {
    const std::string path = folder_ + request.target;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return Response::File(path);
  }
  return Response::Status("HTTP/1.1 404 Not Found", "not found");
}

long TestServer::Receive(Connection* connection, char* data, std::size_t size) {
  if (connection->tls != nullptr) {
    return SSL_read(static_cast<SSL*>(connection->tls), data, static_cast<int>(size));
  }
  ssize_t n;
  do {
    n = ::recv(connection->fd, data, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool TestServer::Send(Connection* connection, const char* data, std::size_t size) {
  if (connection->tls == nullptr) return SendAll(connection->fd, data, size);
  while (size > 0) {
    const int n = SSL_write(static_cast<SSL*>(connection->tls), data, static_cast<int>(size));
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void TestServer::Serve(Connection* connection) {
  const int fd = connection->fd;
  if (tls_ != nullptr) {
    // OpenSSL writes with write(): a client that has gone must not end the test program.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    SSL* tls = SSL_new(tls_);
    connection->tls = tls;
    if (tls == nullptr || SSL_set_fd(tls, fd) != 1 || SSL_accept(tls) != 1) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++failed_handshakes_;
      }
      changed_.notify_all();
      Finish(connection, false);
      return;
    }
  }
  // The request head.
  std::string head;
  char chunk[4096];
  std::size_t end = 0;
  while ((end = FindHeadEnd(head)) == 0 && head.size() < kMaxRequestHead) {
    const long n = Receive(connection, chunk, sizeof chunk);
    if (n <= 0) {
      Finish(connection, false);
      return;
    }
    head.append(chunk, static_cast<std::size_t>(n));
  }
  if (end == 0) {  // oversized request head
    Finish(connection, false);
    return;
  }
  RecordedRequest request = Parse(head.substr(0, end));
  Response response = Choose(request);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
  }
  changed_.notify_all();

  if (!Pause(response.head_delay)) {
    Finish(connection, false);
    return;
  }
  const std::uint64_t size = response.BodySize();
  std::string out;
  if (response.raw_head) {
    out = *response.raw_head;
  } else {
    out = response.status_line + "\r\n";
    if (response.length_mode == Response::LengthMode::kCorrect) {
      out += "Content-Length: " + std::to_string(size) + "\r\n";
    } else if (response.length_mode == Response::LengthMode::kGiven) {
      out += "Content-Length: " + std::to_string(response.given_length) + "\r\n";
    }
    for (const std::string& line : response.headers) out += line + "\r\n";
    out += "\r\n";
  }
  if (!Send(connection, out.data(), out.size())) {
    Finish(connection, false);
    return;
  }

  int file = -1;
  if (!response.file.empty()) file = ::open(response.file.c_str(), O_RDONLY | O_CLOEXEC);
  const std::uint64_t stop_at =
      response.action == Response::Action::kNone ? size : std::min(size, response.action_after);
  std::vector<char> buffer(kChunk);
  std::uint64_t sent = 0;
  bool alive = true;
  while (alive && sent < stop_at) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, stop_at - sent));
    if (response.drip_bytes > 0) n = std::min(n, response.drip_bytes);
    if (response.generated_size) {
      FillPattern(response.seed, sent, buffer.data(), n);
    } else if (file >= 0) {
      const ssize_t got = ::pread(file, buffer.data(), n, static_cast<off_t>(sent));
      if (got <= 0) break;
      n = static_cast<std::size_t>(got);
    } else {
      std::memcpy(buffer.data(), response.body.data() + sent, n);
    }
    alive = Send(connection, buffer.data(), n);
    sent += n;
    if (alive && response.drip_bytes > 0 && sent < stop_at) alive = Pause(response.drip_interval);
  }
  if (file >= 0) ::close(file);

  if (alive && response.action == Response::Action::kStall) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++stalls_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return stopping_; });
  }
  Finish(connection, alive && response.action == Response::Action::kReset);
}

int ServeUntilSignalled(const char* program, const std::string& port_text,
                        const std::function<void(TestServer&)>& script,
                        const std::optional<TlsFiles>& tls) {
  // "PORT" on 127.0.0.1, or "ADDRESS:PORT" on another loopback address (a second host).
  const std::size_t colon = port_text.rfind(':');
  const std::string address =
      colon == std::string::npos ? std::string("127.0.0.1") : port_text.substr(0, colon);
  const std::string number = colon == std::string::npos ? port_text : port_text.substr(colon + 1);
  char* end = nullptr;
  const long port = number.empty() ? 0 : std::strtol(number.c_str(), &end, 10);
  if (port < 0 || port > 65535 || (end != nullptr && *end != '\0')) {
    std::fprintf(stderr, "%s: bad port %s\n", program, port_text.c_str());
    return 2;
  }
  // Block the ending signals before the server's threads start, so that they all reach sigwait.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGTERM);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  try {
    const auto bound = static_cast<std::uint16_t>(port);
    const std::unique_ptr<TestServer> owned = tls ? std::make_unique<TestServer>(*tls, bound)
                                                  : std::make_unique<TestServer>(bound, address);
    TestServer& server = *owned;
    script(server);
    if (colon == std::string::npos) {
      std::printf("port %u\n", static_cast<unsigned>(server.port()));
    } else {
      std::printf("port %s:%u\n", address.c_str(), static_cast<unsigned>(server.port()));
    }
    std::fflush(stdout);
    int signal_number = 0;
    sigwait(&ending, &signal_number);
    server.Stop();
    for (const RecordedRequest& r : server.Requests()) {
      std::printf("request %s %s\n", r.method.c_str(), r.target.c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
  return 0;
}

}  // namespace kvt::testing
