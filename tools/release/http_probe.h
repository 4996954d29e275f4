// A look at the raw answers behind one URL: the request goes out as the installer sends it
// (GET, HTTP/1.1, the same four header lines), only the response head is read, and redirects
// are followed one hop at a time, the way the installer's HTTP client follows them, so that
// every hop can be reported. An https:// hop speaks TLS and reports what is wrong with the
// server's certificate and protocol versions. The verdict on a download never comes from here but
// from the installer's own code; this only explains it.
//
// Why a client of its own beside the POSIX adapter (PosixInternet): that adapter stands for the
// installer and fails closed. It follows redirects inside one request, ends a handshake at the
// first certificate problem and always allows TLS 1.3. This look must stop at every hop to report
// it, finish a handshake whose certificate is bad so as to name every problem, and try a second
// handshake capped at TLS 1.2. Those modes in the adapter would be fail-open paths in the code the
// tests take for the installer. Both read the HTTP text by the same rules (net/http_text.h).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvt::release {

struct Hop {
  std::string url;     // as asked: "http://host/path"
  std::string status;  // three digits; empty when there was no answer
  std::string status_line;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string error;  // why there was no answer, or why the redirect cannot be followed
  // An https:// hop: each problem the installer's TLS (WinINet's) would meet, one per line
  // (certificate expired, not naming the host, untrusted; a server that speaks only TLS 1.3).
  std::vector<std::string> tls_problems;

  // Values of every header line of that name (compared without case), in order.
  std::vector<std::string> All(const std::string& name) const;
  bool IsRedirect() const;
};

struct ProbeOptions {
  std::uint16_t http_port = 80;    // the port used where the installer connects to port 80
  std::uint16_t https_port = 443;  // and where it connects to port 443
  std::string ca_file;             // certificates trusted for https (empty: the system's store)
  int timeout_ms = 15000;          // connecting, sending, and the wait for the head
  std::string extra_header;        // one more request line ("Accept-Encoding: gzip"), or none
  bool secure = false;             // the installer's scheme is https (its first URL's)
};

// The hops from `url` to the final answer (or to the hop that failed).
std::vector<Hop> Probe(const std::string& url, const ProbeOptions& options);

}  // namespace kvt::release
