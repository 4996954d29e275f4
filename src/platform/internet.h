// The HTTP client, shaped like the narrow WinINet functions the download uses.
#pragma once

#include <cstdint>
#include <string>

namespace kvt::platform {

// An internet handle; 0 means none.
using InetHandle = std::uintptr_t;

inline constexpr std::uint32_t kInternetOpenTypePreconfig = 0;
inline constexpr std::uint16_t kInternetDefaultHttpPort = 80;
inline constexpr std::uint16_t kInternetDefaultHttpsPort = 443;
inline constexpr std::uint32_t kInternetServiceHttp = 3;
inline constexpr std::uint32_t kInternetFlagReload = 0x80000000u;
inline constexpr std::uint32_t kInternetFlagNoCacheWrite = 0x04000000u;
// TLS on the request's connection, with the server's certificate and host name checked.
inline constexpr std::uint32_t kInternetFlagSecure = 0x00800000u;
inline constexpr std::uint32_t kHttpAddReqFlagAdd = 0x20000000u;
inline constexpr std::uint32_t kHttpQueryContentLength = 5;
inline constexpr std::uint32_t kHttpQueryStatusCode = 19;
inline constexpr std::uint32_t kHttpQueryRawHeadersCrlf = 22;
inline constexpr std::uint32_t kInternetOptionConnectTimeout = 2;
inline constexpr std::uint32_t kInternetOptionSendTimeout = 5;
inline constexpr std::uint32_t kInternetOptionReceiveTimeout = 6;
// InternetErrorDlg: the error shown, how, and what it answers.
inline constexpr std::uint32_t kErrorInternetIncorrectPassword = 12014;
inline constexpr std::uint32_t kFlagsErrorUiFilterForErrors = 0x01;
inline constexpr std::uint32_t kFlagsErrorUiFlagsChangeOptions = 0x02;
inline constexpr std::uint32_t kFlagsErrorUiFlagsGenerateData = 0x04;
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorCancelled = 1223;
inline constexpr std::uint32_t kErrorInternetForceRetry = 12032;

// The calls that wait on the network (SendRequest, ReadFile) never stop the window: while they
// wait, the adapter keeps processing the window's events (platform::DoEvents) on the calling
// thread, so handlers run in the middle of such a call and may end the program there.
class Internet {
 public:
  virtual ~Internet() = default;

  // InternetGetConnectedState: true when the machine has a network connection.
  virtual bool GetConnectedState() = 0;
  // The preconfigured settings (InternetQueryOption without a handle) name a proxy: a fixed
  // one, a proxy script or automatic detection. Only then does a proxy look up the names and
  // ask for a login; without one a 407 comes from whoever answers in the server's place.
  virtual bool ProxyConfigured() = 0;
  // InternetOpenA with the preconfigured proxy settings.
  virtual InetHandle Open(const std::string& agent) = 0;
  // InternetConnectA for HTTP. Adapters built for tests may reach ports 80 and 443 on others.
  virtual InetHandle Connect(InetHandle open, const std::string& host, std::uint16_t port) = 0;
  // HttpOpenRequestA without referrer and accepted types.
  virtual InetHandle OpenRequest(InetHandle connect, const std::string& verb,
                                 const std::string& object, const std::string& version,
                                 std::uint32_t flags) = 0;
  // HttpAddRequestHeadersA with one header line (no CR LF).
  virtual bool AddRequestHeaders(InetHandle request, const std::string& line,
                                 std::uint32_t modifiers) = 0;
  // InternetSetOptionA with a number (time-outs in milliseconds).
  virtual bool SetOption(InetHandle handle, std::uint32_t option, std::uint32_t value) = 0;
  // HttpSendRequestA without extra headers or body: true when the response headers arrived.
  // Redirects are followed; the response is the last one. A request opened with
  // kInternetFlagSecure fails when the server's certificate or name does not check out, and
  // follows no redirect to a plain http:// URL.
  virtual bool SendRequest(InetHandle request) = 0;
  // HttpQueryInfoA into a buffer of `buffer_size` characters. `text` receives the buffer's
  // first `length` characters as they stand after the call (empty when the item is absent).
  virtual bool QueryInfo(InetHandle request, std::uint32_t info_level, std::size_t buffer_size,
                         std::string& text) = 0;
  // InternetReadFile: waits until some of the body has arrived, then delivers what has arrived,
  // at most `size` bytes; `read` is 0 at the end of the body. False on a time-out or error.
  virtual bool ReadFile(InetHandle request, char* buffer, std::uint32_t size,
                        std::uint32_t& read) = 0;
  // InternetErrorDlg owned by the installer window, for `error` on a request that was sent.
  // For a proxy's 407 with kErrorInternetIncorrectPassword and kFlagsErrorUiFilterForErrors it
  // asks the user for the proxy login: kErrorInternetForceRetry when the request should go again
  // (with the login entered), kErrorCancelled when the user cancelled.
  virtual std::uint32_t ErrorDlg(InetHandle request, std::uint32_t error, std::uint32_t flags) = 0;
  // InternetCloseHandle.
  virtual void CloseHandle(InetHandle handle) = 0;
};

}  // namespace kvt::platform
