#include "tests/win32/loopback_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <thread>

namespace kvt::win32::testing {

struct LoopbackServer::State {
  SOCKET listener = INVALID_SOCKET;
  std::uint16_t port = 0;
  std::string response;
  bool reset = false;
  std::string request;
  std::thread thread;

  void Serve() {
    SOCKET client = ::accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) return;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const int got = ::recv(client, buffer, sizeof(buffer), 0);
      if (got <= 0) break;
      request.append(buffer, static_cast<std::size_t>(got));
    }
    ::send(client, response.data(), static_cast<int>(response.size()), 0);
    if (reset) {
      linger hard{1, 0};
      ::setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard),
                   sizeof(hard));
    } else {
      ::shutdown(client, SD_SEND);
      ::Sleep(100);
    }
    ::closesocket(client);
  }
};

namespace {

SOCKET ListenOnLoopback(std::uint16_t& port) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int size = sizeof(address);
  if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(s, 4) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (s != INVALID_SOCKET) ::closesocket(s);
    port = 0;
    return INVALID_SOCKET;
  }
  port = ntohs(address.sin_port);
  return s;
}

struct WinsockUser {
  WinsockUser() {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockUser() { ::WSACleanup(); }
};

}  // namespace

LoopbackServer::LoopbackServer(std::string response, bool reset) : state_(new State) {
  static WinsockUser winsock;
  state_->response = std::move(response);
  state_->reset = reset;
  state_->listener = ListenOnLoopback(state_->port);
  if (state_->listener != INVALID_SOCKET) {
    state_->thread = std::thread([s = state_.get()] { s->Serve(); });
  }
}

LoopbackServer::~LoopbackServer() {
  if (state_->listener != INVALID_SOCKET) ::closesocket(state_->listener);  // ends accept()
  if (state_->thread.joinable()) state_->thread.join();
}

std::uint16_t LoopbackServer::port() const { return state_->port; }

std::string LoopbackServer::Request() {
  if (state_->thread.joinable()) state_->thread.join();
  return state_->request;
}

std::uint16_t LoopbackServer::ClosedPort() {
  static WinsockUser winsock;
  std::uint16_t port = 0;
  SOCKET s = ListenOnLoopback(port);
  if (s != INVALID_SOCKET) ::closesocket(s);
  return port;
}

}  // namespace kvt::win32::testing
