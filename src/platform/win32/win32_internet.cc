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

// Grace beyond WinINet's own time-outs before a wait is given up from outside.
constexpr DWORD kGraceMs = 2000;

DWORD Limit(std::uint32_t a, std::uint32_t b) {
  if (a == 0 && b == 0) return INFINITE;  // no time-out set: none is imposed either
  return static_cast<DWORD>(std::min<std::uint64_t>(std::uint64_t{a} + b + kGraceMs, 0xFFFFFFFEu));
}

}  // namespace

// What WinINet's own threads report about one request: the end of its last asynchronous
// operation. The buffer of a read lives here too, as WinINet may still use it after a caller
// gave up waiting. WinINet's last word about a handle is that it is closing; the state is freed
// then.
struct WinInetInternet::RequestState {
  HANDLE completed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  volatile LONG result = 0;
  volatile LONG error = 0;
  bool secure = false;  // opened with INTERNET_FLAG_SECURE
  INTERNET_BUFFERSA buffers{};
  char data[kPieceBytes];
  ~RequestState() {
    if (completed != nullptr) ::CloseHandle(completed);
  }
};

void CALLBACK WinInetInternet::StatusCallback(void*, DWORD_PTR context, DWORD status, void* info,
                                              DWORD) {
  auto* state = reinterpret_cast<RequestState*>(context);
  if (state == nullptr) return;
  if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
    const auto* r = static_cast<const INTERNET_ASYNC_RESULT*>(info);
    InterlockedExchange(&state->error, static_cast<LONG>(r->dwError));
    InterlockedExchange(&state->result, r->dwResult != 0 ? 1 : 0);
    SetEvent(state->completed);
  } else if (status == INTERNET_STATUS_HANDLE_CLOSING) {
    delete state;
  }
}

// True when the request's final URL (after any redirects) is an https URL, however long it is.
bool WinInetInternet::EndedSecure(platform::InetHandle request) {
  DWORD size = 0;
  if (::InternetQueryOptionA(H(request), INTERNET_OPTION_URL, nullptr, &size) ||
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
    return false;
  }
  std::vector<char> url(size + 1, '\0');
  if (!::InternetQueryOptionA(H(request), INTERNET_OPTION_URL, url.data(), &size)) return false;
  return ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, url.data(), 8, "https://", 8) ==
         CSTR_EQUAL;
}

WinInetInternet::RequestState* WinInetInternet::Find(platform::InetHandle request) const {
  const auto it = requests_.find(request);
  return it == requests_.end() ? nullptr : it->second;
}

bool WinInetInternet::GetConnectedState() {
  DWORD flags = 0;
  return ::InternetGetConnectedState(&flags, 0) != FALSE;
}

bool WinInetInternet::ProxyConfigured() {
  // Without a handle the options read the settings every preconfigured session starts from.
  INTERNET_PER_CONN_OPTIONA flags{};
  flags.dwOption = INTERNET_PER_CONN_FLAGS;
  INTERNET_PER_CONN_OPTION_LISTA list{};
  list.dwSize = sizeof list;
  list.pszConnection = nullptr;  // the LAN settings
  list.dwOptionCount = 1;
  list.pOptions = &flags;
  DWORD list_size = sizeof list;
  if (::InternetQueryOptionA(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &list_size)) {
    return (flags.Value.dwValue &
            (PROXY_TYPE_PROXY | PROXY_TYPE_AUTO_PROXY_URL | PROXY_TYPE_AUTO_DETECT)) != 0;
  }
  DWORD size = 0;
  if (::InternetQueryOptionA(nullptr, INTERNET_OPTION_PROXY, nullptr, &size) ||
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size < sizeof(INTERNET_PROXY_INFO)) {
    return false;
  }
  std::vector<char> buffer(size);
  if (!::InternetQueryOptionA(nullptr, INTERNET_OPTION_PROXY, buffer.data(), &size)) return false;
  INTERNET_PROXY_INFO info;
  std::memcpy(&info, buffer.data(), sizeof info);
  return info.dwAccessType == INTERNET_OPEN_TYPE_PROXY;
}

platform::InetHandle WinInetInternet::Open(const std::string& agent) {
  const std::string ansi = ToAnsi(agent);
  // Asynchronous: sending and reading return at once, and the window's thread waits for their
  // completion while it processes its messages.
  HINTERNET open =
      ::InternetOpenA(ansi.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC);
  if (open != nullptr &&
      ::InternetSetStatusCallbackA(open, StatusCallback) == INTERNET_INVALID_STATUS_CALLBACK) {
    ::InternetCloseHandle(open);  // without its reports no operation could ever complete
    return 0;
  }
  return Id(open);
}

platform::InetHandle WinInetInternet::Connect(platform::InetHandle open, const std::string& host,
                                              std::uint16_t port) {
  const std::string ansi = ToAnsi(host);
  const INTERNET_PORT dialled = port == INTERNET_DEFAULT_HTTP_PORT    ? http_port_
                                : port == INTERNET_DEFAULT_HTTPS_PORT ? https_port_
                                                                      : port;
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
  // The handle is made without a context, and the state becomes its context only once it exists:
  // a handle that WinINet makes and closes again within a failing call then reports its closing
  // without the state, which stays this function's to free, once.
  HINTERNET request = ::HttpOpenRequestA(H(connect), a_verb.c_str(), a_object.c_str(),
                                         a_version.c_str(), nullptr, nullptr, flags, 0);
  if (request == nullptr) return 0;
  auto* state = new RequestState;
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(state);
  if (state->completed == nullptr ||
      !::InternetSetOptionA(request, INTERNET_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
    ::InternetCloseHandle(request);  // its closing report carries no state
    delete state;
    return 0;
  }
  state->secure = (flags & INTERNET_FLAG_SECURE) != 0;
  requests_[Id(request)] = state;
  return Id(request);
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
  RequestState* state = Find(request);
  if (state == nullptr) return false;
  ResetEvent(state->completed);
  if (!::HttpSendRequestA(H(request), nullptr, 0, nullptr, 0)) {
    if (::GetLastError() != ERROR_IO_PENDING) return false;
    if (!WaitWhilePumping(state->completed, Limit(connect_timeout_ms_, receive_timeout_ms_))) {
      ::SetLastError(ERROR_INTERNET_TIMEOUT);
      return false;
    }
    if (state->result == 0) {
      ::SetLastError(static_cast<DWORD>(state->error));
      return false;
    }
  }
  // A secure request never ends on plain HTTP: some WinINet versions follow a redirect from
  // https to http, and an answer that came that way is not taken.
  if (state->secure && !EndedSecure(request)) {
    ::SetLastError(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
    return false;
  }
  return true;
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
  RequestState* state = Find(request);
  if (state == nullptr) return false;
  if (size == 0) return true;
  const DWORD want = std::min<DWORD>(size, kPieceBytes);
  while (true) {
    // Takes what has arrived, without waiting for the rest of the buffer.
    state->buffers = INTERNET_BUFFERSA{};
    state->buffers.dwStructSize = sizeof state->buffers;
    state->buffers.lpvBuffer = state->data;
    state->buffers.dwBufferLength = want;
    if (::InternetReadFileExA(H(request), &state->buffers, IRF_ASYNC | IRF_NO_WAIT,
                              reinterpret_cast<DWORD_PTR>(state))) {
      read = std::min<DWORD>(state->buffers.dwBufferLength, want);  // 0: the end of the body
      std::memcpy(buffer, state->data, read);
      return true;
    }
    if (::GetLastError() != ERROR_IO_PENDING) return false;
    // Nothing there yet: WinINet reports when something has arrived (or the wait failed).
    if (!WaitWhilePumping(state->completed, Limit(receive_timeout_ms_, 0))) {
      ::SetLastError(ERROR_INTERNET_TIMEOUT);
      return false;
    }
    if (state->result == 0) {
      ::SetLastError(static_cast<DWORD>(state->error));
      return false;
    }
  }
}

std::uint32_t WinInetInternet::ErrorDlg(platform::InetHandle request, std::uint32_t error,
                                        std::uint32_t flags) {
  HWND owner = owner_ ? owner_() : nullptr;
  if (owner != nullptr && !::IsWindowVisible(owner)) owner = nullptr;
  // Modal: the dialog runs its own message loop, with the installer window disabled beneath it.
  return ::InternetErrorDlg(owner, H(request), error, flags, nullptr);
}

namespace {

// Closing a request whose body was not read to its end may read the rest first (Wine's WinINet
// drains it to reuse the connection: seconds for a large refused body), so it is done on a
// worker thread while the window keeps answering.
class CloseJob : public BlockingJob {
 public:
  explicit CloseJob(HINTERNET handle) : handle_(handle) {}
  void Run() override { ::InternetCloseHandle(handle_); }

 private:
  HINTERNET handle_;
};

}  // namespace

void WinInetInternet::CloseHandle(platform::InetHandle handle) {
  if (handle == 0) return;
  // A request's state goes when WinINet reports the handle closing.
  if (requests_.erase(handle) == 0) {
    ::InternetCloseHandle(H(handle));
    return;
  }
  // A close that takes longer finishes on its own thread: nothing waits for a refused body.
  constexpr DWORD kCloseWaitMs = 250;
  (void)RunWhilePumping(std::make_shared<CloseJob>(H(handle)), kCloseWaitMs);
}

}  // namespace kvt::win32
