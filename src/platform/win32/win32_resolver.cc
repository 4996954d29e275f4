#include "platform/win32/win32_adapters.h"

#include <winsock.h>

#include "platform/win32/win32_text.h"

namespace kvt::win32 {

int WinsockResolver::Startup(std::uint16_t version) {
  WSADATA data{};
  return ::WSAStartup(version, &data);
}

bool WinsockResolver::GetHostByName(const std::string& name) {
  const std::string ansi = ToAnsi(name);
  return ::gethostbyname(ansi.c_str()) != nullptr;
}

int WinsockResolver::Cleanup() { return ::WSACleanup(); }

}  // namespace kvt::win32
