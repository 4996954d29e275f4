// Where a PosixInternet connection waits: connecting, sending and receiving, each bounded by its
// time-out, with the wait pump running while it lasts.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/posix/posix.h"
#include "platform/posix/posix_internet_text.h"

namespace kvt::posix {

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
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
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

bool PosixInternet::ReadHead(Handle& h, std::string& head) {
  std::size_t scanned = h.buffered_begin;
  while (true) {
    const std::size_t end = internet_text::FindHeadEnd(h.buffer.get(), h.buffered_end, scanned);
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

}  // namespace kvt::posix
