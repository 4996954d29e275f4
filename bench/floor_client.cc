// The floor for the download benchmark: the least a 64 KiB-piece downloader must do. One HTTP/1.1
// GET over a socket, reads into a 64 KiB buffer, and one pwrite per piece of the body
// (a piece also ends where a read ended), nothing else: no layers, no events, no progress.
//
//   kvt_bench_floor PORT PATH OUT_FILE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s PORT PATH OUT_FILE\n", argv[0]);
    return 2;
  }
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("connect");
    return 1;
  }
  const std::string request = std::string("GET ") + argv[2] +
                              " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (::send(sock, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
    return 1;
  }
  const int out = ::open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) {
    std::perror("open");
    return 1;
  }

  static char buffer[64 * 1024];
  std::size_t filled = 0;
  std::size_t body_start = 0;
  long long length = -1;
  // The head.
  while (body_start == 0) {
    const ssize_t n = ::recv(sock, buffer + filled, sizeof buffer - filled, 0);
    if (n <= 0) return 1;
    filled += static_cast<std::size_t>(n);
    const void* end = memmem(buffer, filled, "\r\n\r\n", 4);
    if (end != nullptr) body_start = static_cast<const char*>(end) - buffer + 4;
    else if (filled == sizeof buffer) return 1;
  }
  const char* cl = static_cast<const char*>(memmem(buffer, body_start, "Content-Length:", 15));
  if (cl != nullptr) length = std::atoll(cl + 15);

  long long received = 0;
  std::size_t at = body_start;
  while (true) {
    while (at < filled) {
      const std::size_t piece = std::min<std::size_t>(64 * 1024, filled - at);
      if (::pwrite(out, buffer + at, piece, received) != static_cast<ssize_t>(piece)) return 1;
      received += static_cast<long long>(piece);
      at += piece;
    }
    if (received == length) break;
    const ssize_t n = ::recv(sock, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    filled = static_cast<std::size_t>(n);
    at = 0;
  }
  ::close(out);
  ::close(sock);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("bytes %lld peak_rss_kib %ld\n", received, usage.ru_maxrss);
  return received == length ? 0 : 1;
}
