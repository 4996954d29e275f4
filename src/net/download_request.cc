// The request of a download: the URL checked, the handles opened, the request sent (with the
// proxy's login), the response's status and announced length read.
#include <memory>
#include <string>
#include <vector>

#include "kvt/build_config.h"
#include "net/download_parts.h"
#include "net/http_text.h"
#include "net/netcheck.h"

namespace kvt::Mupdate::parts {
namespace {

using platform::InetHandle;
using platform::Sys;

// Times a proxy may ask for a login before its answer counts as a refusal.
constexpr int kMaxProxyLogins = 5;
// What is read of a refusal's body before the request goes again (a proxy's login page).
constexpr std::int64_t kMaxDrainBytes = 1024 * 1024;

// A URL holding CR, LF or another control character could smuggle header lines into the
// request; such a URL is never used.
bool HasControlCharacter(const std::string& s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// The body length the server announced, when it announced exactly one valid length. A response
// may repeat the header line; the length counts only when every copy gives the same number, so
// a head too large to be read whole (where a later copy may hide) announces none.
bool AnnouncedLength(InetHandle request, std::int64_t& length) {
  std::string text;
  QueryHttpInfo(request, platform::kHttpQueryContentLength, text);
  if (!http::ParseContentLength(text, length)) return false;
  std::string head;
  constexpr std::size_t kHeadBufferSize = 64 * 1024;
  if (!Sys().internet->QueryInfo(request, platform::kHttpQueryRawHeadersCrlf, kHeadBufferSize,
                                 head)) {
    return false;
  }
  const std::vector<std::string> lines = http::HeadLines(head);
  for (std::size_t i = 1; i < lines.size(); ++i) {  // past the status line
    std::string name, value;
    std::int64_t other = 0;
    if (http::SplitHeaderLine(lines[i], name, value) &&
        http::EqualsNoCase(name, "content-length") &&
        (!http::ParseContentLength(value, other) || other != length)) {
      return false;
    }
  }
  return true;
}

// Reads and drops the rest of a response (at most kMaxDrainBytes), so that the connection is
// free for the request to go again.
void DrainBody(InetHandle request) {
  const std::unique_ptr<char[]> buffer(new char[kReadSize]);
  std::int64_t drained = 0;
  std::uint32_t n = 0;
  while (drained < kMaxDrainBytes &&
         Sys().internet->ReadFile(request, buffer.get(), kReadSize, n) && n > 0) {
    drained += n;
    platform::DoEvents();
  }
}

// Sends the request. Through a configured proxy (`proxy`), a proxy that asks for a login (407)
// gets the system's own password dialog, owned by the installer window, and the request goes
// again with what the user entered. False when the request cannot be sent or the user cancels
// the dialog. A proxy that goes on asking, and a 407 on a direct connection (whoever sent it is
// no proxy of this user's, and gets no password), are left for the status check.
bool SendWithProxyLogin(InetHandle request, bool proxy) {
  const platform::Platform& sys = Sys();
  for (int logins = 0;; ++logins) {
    if (!sys.internet->SendRequest(request)) return false;
    platform::DoEvents();
    std::string status;
    QueryHttpInfo(request, platform::kHttpQueryStatusCode, status);
    if (status != "407" || !proxy || logins == kMaxProxyLogins) return true;
    DrainBody(request);
    const std::uint32_t answer = sys.internet->ErrorDlg(
        request, platform::kErrorInternetIncorrectPassword,
        platform::kFlagsErrorUiFilterForErrors | platform::kFlagsErrorUiFlagsGenerateData |
            platform::kFlagsErrorUiFlagsChangeOptions);
    if (answer != platform::kErrorInternetForceRetry) return false;
  }
}

}  // namespace

bool SendRequest(const std::string& url, const Scheme& scheme, bool proxy, Request& r,
                 Outcome& outcome) {
  const platform::Platform& sys = Sys();
  if (HasControlCharacter(url)) return outcome.Fail("the URL holds a control character");
  // A secure scheme never downgrades: a URL of any other scheme is not even looked at.
  if (scheme.secure && url.rfind(scheme.prefix, 0) != 0) {
    return outcome.Fail(std::string("not a ") + scheme.prefix + " URL");
  }
  outcome.events.RequestBegins(url, proxy ? "through the configured proxy" : "direct");
  if (!sys.internet->GetConnectedState()) {
    return outcome.Fail("the system reports no connection");
  }
  // Behind a proxy the proxy looks up the names: many office networks resolve no outside name
  // themselves, and there the probe's lookup would refuse a network that works.
  if (!proxy && Mnetcheck::CanResolveHost() != -1) {
    return outcome.Fail(std::string("the name ") + build::kProbeHost + " cannot be looked up");
  }

  r.open.Reset(sys.internet->Open(url));
  if (!r.open) return outcome.Fail("cannot open an internet session");
  const std::string host = GetHostFromUrl(url, scheme);
  r.connect.Reset(sys.internet->Connect(r.open.get(), host, scheme.port));
  if (!r.connect) return outcome.Fail("cannot connect to " + host);
  const std::string path = GetPathFromUrl(url, host, scheme);
  // Always from the server, and never copied into the user's internet cache.
  r.request.Reset(sys.internet->OpenRequest(
      r.connect.get(), "GET", path, "HTTP/1.1",
      platform::kInternetFlagReload | platform::kInternetFlagNoCacheWrite | scheme.request_flags));
  if (!r.request) return outcome.Fail("cannot open the request");
  // Nothing waits on the network for ever: a server that cannot be reached, or that stops
  // sending, ends the transfer as a failure.
  const InetHandle request = r.request.get();
  (void)sys.internet->SetOption(request, platform::kInternetOptionConnectTimeout,
                                build::kConnectTimeoutMs);
  (void)sys.internet->SetOption(request, platform::kInternetOptionSendTimeout,
                                build::kReceiveTimeoutMs);
  (void)sys.internet->SetOption(request, platform::kInternetOptionReceiveTimeout,
                                build::kReceiveTimeoutMs);

  platform::DoEvents();
  for (const std::string& line : {std::string("Accept: */*"), std::string("User-Agent: Pelorix1.0"),
                                  "Host: " + host, std::string("Connection: close")}) {
    (void)sys.internet->AddRequestHeaders(request, line, platform::kHttpAddReqFlagAdd);
  }
  if (!SendWithProxyLogin(request, proxy)) {
    return outcome.Fail(
        "no response (refused, broken off or timed out), or the proxy login was cancelled");
  }
  r.length_known = AnnouncedLength(request, r.length);
  QueryHttpInfo(request, platform::kHttpQueryStatusCode, r.status);
  outcome.events.ResponseHead(r.status, r.length_known ? r.length : -1);
  return true;
}

}  // namespace kvt::Mupdate::parts
