#include "platform/win32/win32_adapters.h"

#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/win32/win32_text.h"
#include "platform/win32/win32_wait.h"

namespace kvt::win32 {
namespace {

HINTERNET H(platform::InetHandle h) { return reinterpret_cast<HINTERNET>(h); }
platform::InetHandle Id(HINTERNET h) { return reinterpret_cast<platform::InetHandle>(h); }

// Grace beyond WinINet's own time-outs before a call is given up from outside.
constexpr DWORD kGraceMs = 2000;

DWORD Limit(std::uint32_t a, std::uint32_t b) {
  if (a == 0 && b == 0) return INFINITE;  // no time-out set: none is imposed either
  return static_cast<DWORD>(std::min<std::uint64_t>(std::uint64_t{a} + b + kGraceMs, 0xFFFFFFFEu));
}

class SendJob : public BlockingJob {
 public:
  explicit SendJob(HINTERNET request) : request_(request) {}
  void Run() override {
    ok = ::HttpSendRequestA(request_, nullptr, 0, nullptr, 0) != FALSE;
  }
  bool ok = false;

 private:
  HINTERNET request_;
};

// One read of what has arrived: waits until some of the body is there (or it has ended), then
// takes at most that much, so the call never waits for a full buffer.
class ReadJob : public BlockingJob {
 public:
  ReadJob(HINTERNET request, DWORD size) : request_(request), size_(size), buffer(new char[size]) {}
  void Run() override {
    DWORD available = 0;
    ok = ::InternetQueryDataAvailable(request_, &available, 0, 0) != FALSE;
    got = 0;
    if (!ok || available == 0) return;
    ok = ::InternetReadFile(request_, buffer.get(), std::min(available, size_), &got) != FALSE;
  }
  bool ok = false;
  DWORD got = 0;

 private:
  HINTERNET request_;
  DWORD size_;

 public:
  const std::unique_ptr<char[]> buffer;
};

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

bool WinInetInternet::SetOption(platform::InetHandle handle, std::uint32_t option,
                                std::uint32_t value) {
  DWORD ms = value;
  if (timeout_cap_ms_ != 0) ms = std::min<DWORD>(ms, timeout_cap_ms_);
  if (option == INTERNET_OPTION_CONNECT_TIMEOUT) connect_timeout_ms_ = ms;
  if (option == INTERNET_OPTION_RECEIVE_TIMEOUT) receive_timeout_ms_ = ms;
  return ::InternetSetOptionA(H(handle), option, &ms, sizeof ms) != FALSE;
}

bool WinInetInternet::SendRequest(platform::InetHandle request) {
  const auto job = std::make_shared<SendJob>(H(request));
  if (!RunWhilePumping(job, Limit(connect_timeout_ms_, receive_timeout_ms_))) {
    ::SetLastError(ERROR_INTERNET_TIMEOUT);
    return false;
  }
  return job->ok;
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
  read = 0;
  if (size == 0) return true;
  const auto job = std::make_shared<ReadJob>(H(request), size);
  if (!RunWhilePumping(job, Limit(receive_timeout_ms_, 0))) {
    ::SetLastError(ERROR_INTERNET_TIMEOUT);
    return false;
  }
  if (!job->ok) return false;
  std::memcpy(buffer, job->buffer.get(), job->got);
  read = job->got;
  return true;
}

void WinInetInternet::CloseHandle(platform::InetHandle handle) {
  if (handle != 0) ::InternetCloseHandle(H(handle));
}

}  // namespace kvt::win32
