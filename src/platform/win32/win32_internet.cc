#include "platform/win32/win32_adapters.h"

#include <wininet.h>

#include <vector>

#include "platform/win32/win32_text.h"

namespace kvt::win32 {
namespace {

HINTERNET H(platform::InetHandle h) { return reinterpret_cast<HINTERNET>(h); }
platform::InetHandle Id(HINTERNET h) { return reinterpret_cast<platform::InetHandle>(h); }

}  // namespace

bool WinInetInternet::GetConnectedState() {
  DWORD flags = 0;
  return ::InternetGetConnectedState(&flags, 0) != FALSE;
}

platform::InetHandle WinInetInternet::Open(const std::string& agent) {
  const std::string ansi = ToAnsi(agent);
  return Id(::InternetOpenA(ansi.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
}

platform::InetHandle WinInetInternet::Connect(platform::InetHandle open, const std::string& host,
                                              std::uint16_t port) {
  const std::string ansi = ToAnsi(host);
  const INTERNET_PORT dialled = port == INTERNET_DEFAULT_HTTP_PORT ? http_port_ : port;
  return Id(::InternetConnectA(H(open), ansi.c_str(), dialled, nullptr, nullptr,
                               INTERNET_SERVICE_HTTP, 0, 0));
}

platform::InetHandle WinInetInternet::OpenRequest(platform::InetHandle connect,
                                                  const std::string& verb,
                                                  const std::string& object,
                                                  const std::string& version, std::uint32_t flags) {
  const std::string a_verb = ToAnsi(verb);
  const std::string a_object = ToAnsi(object);
  const std::string a_version = ToAnsi(version);
  return Id(::HttpOpenRequestA(H(connect), a_verb.c_str(), a_object.c_str(), a_version.c_str(),
                               nullptr, nullptr, flags, 0));
}

bool WinInetInternet::AddRequestHeaders(platform::InetHandle request, const std::string& line,
                                        std::uint32_t modifiers) {
  const std::string ansi = ToAnsi(line);
  return ::HttpAddRequestHeadersA(H(request), ansi.c_str(), static_cast<DWORD>(ansi.size()),
                                  modifiers) != FALSE;
}

bool WinInetInternet::SendRequest(platform::InetHandle request) {
  return ::HttpSendRequestA(H(request), nullptr, 0, nullptr, 0) != FALSE;
}

bool WinInetInternet::QueryInfo(platform::InetHandle request, std::uint32_t info_level,
                                std::size_t buffer_size, std::string& text) {
  text.clear();
  std::vector<char> buffer(buffer_size + 1, '\0');
  DWORD length = static_cast<DWORD>(buffer_size);
  DWORD index = 0;
  if (!::HttpQueryInfoA(H(request), info_level, buffer.data(), &length, &index)) return false;
  if (length > buffer_size) length = static_cast<DWORD>(buffer_size);
  text = FromAnsi(std::string(buffer.data(), length));
  return true;
}

bool WinInetInternet::ReadFile(platform::InetHandle request, char* buffer, std::uint32_t size,
                               std::uint32_t& read) {
  DWORD got = 0;
  const BOOL ok = ::InternetReadFile(H(request), buffer, size, &got);
  read = got;
  return ok != FALSE;
}

void WinInetInternet::CloseHandle(platform::InetHandle handle) {
  if (handle != 0) ::InternetCloseHandle(H(handle));
}

}  // namespace kvt::win32
