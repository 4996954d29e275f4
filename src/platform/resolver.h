// The socket layer's name lookup (Windows Sockets 1.1 shape).
#pragma once

#include <cstdint>
#include <string>

namespace kvt::platform {

class Resolver {
 public:
  virtual ~Resolver() = default;
  // WSAStartup with the given version word; the result is not examined by the caller.
  virtual int Startup(std::uint16_t version) = 0;
  // gethostbyname: true when a host entry comes back.
  virtual bool GetHostByName(const std::string& name) = 0;
  // WSACleanup.
  virtual int Cleanup() = 0;
};

}  // namespace kvt::platform
