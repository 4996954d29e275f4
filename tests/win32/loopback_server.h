// A one-connection HTTP server on 127.0.0.1 for the WinINet tests: it records the request
// head and answers with canned bytes, optionally dropping the connection part way.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kvt::win32::testing {

class LoopbackServer {
 public:
  // Listens on an ephemeral loopback port and answers the first connection with `response`,
  // then closes it (with a reset when `reset` is set).
  explicit LoopbackServer(std::string response, bool reset = false);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const;
  // The request head as received (up to and including the empty line); waits for the
  // connection to end first.
  std::string Request();

  // A loopback port on which nothing listens.
  static std::uint16_t ClosedPort();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kvt::win32::testing
