#include "http_probe.h"

#include <netdb.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "net/download.h"
#include "net/http_text.h"

namespace kvt::release {
namespace {

// The installer's client follows at most this many redirects.
constexpr int kMaxRedirects = 10;
constexpr std::size_t kMaxHead = 64 * 1024;
constexpr char kTls13Only[] =
    "speaks only TLS 1.3: Windows versions whose WinINet lacks TLS 1.3 (Windows 7, 8.1, older "
    "10) cannot connect";

// A connected socket, or -1 with `error` set.
int Connect(const std::string& host, std::uint16_t port, int timeout_ms, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int r = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (r != 0) {
    error = "the host name \"" + host + "\" does not resolve (" + ::gai_strerror(r) + ")";
    return -1;
  }
  int fd = -1;
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    // Linux bounds connect() by the send time-out.
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      error = "cannot connect to " + host + " port " + std::to_string(port) + ": " +
              std::strerror(errno);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  return fd;
}

// The text of an X509 name or time, for a report line.
std::string NameText(const X509_NAME* name) {
  char buffer[256];
  X509_NAME_oneline(name, buffer, sizeof buffer);
  return buffer;
}
std::string TimeText(const ASN1_TIME* time) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return "?";
  ASN1_TIME_print(bio, time);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(std::max(size, 0L)));
  BIO_free(bio);
  return text;
}

// What the handshake's certificate check found, gathered by the verify callback, which lets the
// handshake go on so that every problem (and the answer behind them) can be reported.
struct Verified {
  std::string host;
  std::vector<std::string> problems;
};

int CollectProblem(int ok, X509_STORE_CTX* store) {
  if (ok == 1) return 1;
  SSL* tls =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* verified = static_cast<Verified*>(SSL_get_app_data(tls));
  const X509* certificate = X509_STORE_CTX_get_current_cert(store);
  const int error = X509_STORE_CTX_get_error(store);
  std::string text;
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      text = "expired certificate: " + NameText(X509_get_subject_name(certificate)) +
             " was valid until " + TimeText(X509_get0_notAfter(certificate));
      break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      text = "certificate not yet valid: " + NameText(X509_get_subject_name(certificate)) +
             " is valid from " + TimeText(X509_get0_notBefore(certificate));
      break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      text = "wrong host name: the certificate does not name \"" + verified->host + "\"";
      break;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      text = "untrusted certificate (unknown CA or self-signed): " +
             NameText(X509_get_subject_name(certificate)) + " issued by " +
             NameText(X509_get_issuer_name(certificate)) +
             ", which is not a trusted CA (Windows' store must hold the issuing CA)";
      break;
    default:
      text = std::string("certificate not accepted: ") + X509_verify_cert_error_string(error);
  }
  // A chain that does not verify is reported once, at its first (lowest) failing certificate.
  const bool untrusted = text.rfind("untrusted", 0) == 0;
  for (const std::string& seen : verified->problems) {
    if (seen == text || (untrusted && seen.rfind("untrusted", 0) == 0)) return 1;
  }
  verified->problems.push_back(text);
  return 1;
}

std::string TlsError(const std::string& what) {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  ERR_clear_error();
  return what + (reason != nullptr ? std::string(" (") + reason + ")" : std::string());
}

// A connection, plain or through TLS.
struct Connection {
  int fd = -1;
  SSL_CTX* context = nullptr;
  SSL* tls = nullptr;
  ~Connection() {
    SSL_free(tls);
    SSL_CTX_free(context);
    if (fd >= 0) ::close(fd);
  }
  bool SendAll(const std::string& data) {
    if (tls != nullptr) {
      return SSL_write(tls, data.data(), static_cast<int>(data.size())) ==
             static_cast<int>(data.size());
    }
    return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }
  // Bytes received, 0 at the end of the connection, -1 on an error.
  long Receive(char* buffer, int size) {
    if (tls == nullptr) return ::recv(fd, buffer, static_cast<std::size_t>(size), 0);
    const int n = SSL_read(tls, buffer, size);
    if (n > 0) return n;
    const int error = SSL_get_error(tls, n);
    return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
  }
};

// TLS on `c.fd` for `host`, at most TLS 1.2 when asked. Certificate problems go to `verified`
// (null: the certificate is not looked at). False with `error` set when there is no handshake.
bool StartTls(Connection& c, const std::string& host, const std::string& ca_file,
              bool tls12_at_most, Verified* verified, std::string& error) {
  c.context = SSL_CTX_new(TLS_client_method());
  if (c.context == nullptr) {
    error = TlsError("OpenSSL cannot make a TLS context");
    return false;
  }
  if (tls12_at_most) SSL_CTX_set_max_proto_version(c.context, TLS1_2_VERSION);
  // A server that closes without a TLS goodbye ends the answer, as on a plain connection.
  SSL_CTX_set_options(c.context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (verified != nullptr) {
    const bool trusted =
        ca_file.empty() ? SSL_CTX_set_default_verify_paths(c.context) == 1
                        : SSL_CTX_load_verify_locations(c.context, ca_file.c_str(), nullptr) == 1;
    if (!trusted) {
      error = TlsError("cannot read the trusted certificates" +
                       (ca_file.empty() ? std::string() : " in " + ca_file));
      return false;
    }
    SSL_CTX_set_verify(c.context, SSL_VERIFY_PEER, CollectProblem);
  } else {
    SSL_CTX_set_verify(c.context, SSL_VERIFY_NONE, nullptr);
  }
  c.tls = SSL_new(c.context);
  BIO* bio = c.tls != nullptr ? BIO_new_socket(c.fd, BIO_NOCLOSE) : nullptr;
  if (bio == nullptr) {
    error = TlsError("OpenSSL cannot start TLS");
    return false;
  }
  SSL_set_bio(c.tls, bio, bio);
  // A name goes out as SNI; the certificate must name the host (an address as an address).
  const bool numeric = host.find_first_not_of("0123456789.") == std::string::npos ||
                       host.find(':') != std::string::npos;
  if (!numeric) SSL_set_tlsext_host_name(c.tls, host.c_str());
  if (verified != nullptr) {
    SSL_set_app_data(c.tls, verified);
    SSL_set1_host(c.tls, host.c_str());
  }
  if (SSL_connect(c.tls) != 1) {
    error = TlsError("the TLS handshake fails");
    return false;
  }
  return true;
}

// Sends the request and reads the response head into `hop`; over TLS for an https:// hop.
void Exchange(const std::string& host, std::uint16_t port, const std::string& host_text,
              const std::string& path, bool secure, const ProbeOptions& options, Hop& hop) {
  Connection c;
  c.fd = Connect(host, port, options.timeout_ms, hop.error);
  if (c.fd < 0) return;
  if (secure) {
    Verified verified{host, {}};
    if (!StartTls(c, host, options.ca_file, false, &verified, hop.error)) return;
    hop.tls_problems = verified.problems;
    // The installer's TLS may stop at 1.2: a server must still speak it.
    if (SSL_version(c.tls) > TLS1_2_VERSION) {
      Connection older;
      std::string ignored;
      older.fd = Connect(host, port, options.timeout_ms, ignored);
      if (older.fd >= 0 && !StartTls(older, host, options.ca_file, true, nullptr, ignored)) {
        hop.tls_problems.push_back(kTls13Only);
      }
    }
  }
  std::string request = "GET " + path +
                        " HTTP/1.1\r\nAccept: */*\r\nUser-Agent: Pelorix1.0\r\n"
                        "Host: " +
                        host_text + "\r\nConnection: close\r\n";
  if (!options.extra_header.empty()) request += options.extra_header + "\r\n";
  request += "\r\n";
  std::string head;
  if (!c.SendAll(request)) {
    hop.error = std::string("cannot send the request: ") + std::strerror(errno);
  } else {
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos &&
           head.size() < kMaxHead) {
      const long n = c.Receive(buffer, sizeof buffer);
      if (n > 0) {
        head.append(buffer, static_cast<std::size_t>(n));
      } else {
        if (n < 0 && errno == EINTR) continue;
        hop.error = n == 0 ? "the server closed the connection before a complete response head"
                           : std::string("no response head: ") + std::strerror(errno);
        break;
      }
    }
  }
  if (!hop.error.empty()) return;
  const std::vector<std::string> lines = http::HeadLines(head);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string name, value;
    if (i == 0) {
      hop.status_line = lines[0];
      const std::size_t space = lines[0].find(' ');
      if (lines[0].rfind("HTTP/", 0) == 0 && space != std::string::npos) {
        hop.status = lines[0].substr(space + 1, 3);
      }
    } else if (http::SplitHeaderLine(lines[i], name, value)) {
      hop.headers.emplace_back(std::move(name), std::move(value));
    }
  }
  if (hop.status.size() != 3) hop.error = "the answer is not HTTP: \"" + hop.status_line + "\"";
}

}  // namespace

std::vector<std::string> Hop::All(const std::string& name) const {
  std::vector<std::string> values;
  for (const auto& [n, v] : headers) {
    if (http::EqualsNoCase(n, name)) values.push_back(v);
  }
  return values;
}

bool Hop::IsRedirect() const {
  return (status == "301" || status == "302" || status == "303" || status == "307" ||
          status == "308") &&
         !All("Location").empty();
}

std::vector<Hop> Probe(const std::string& url, const ProbeOptions& options) {
  std::vector<Hop> hops;
  // The scheme of the first URL is the installer's: a redirect to the other one is not followed.
  const bool secure = options.secure;
  const Mupdate::Scheme& installer = secure ? Mupdate::kHttpsScheme : Mupdate::kHttpScheme;
  const std::string scheme = secure ? "https://" : "http://";
  const std::uint16_t mapped = secure ? options.https_port : options.http_port;
  const int default_port = secure ? 443 : 80;
  // The first hop is split exactly as the installer splits the URL: a port in it stays part of
  // the host name, as it does for the installer.
  std::string host_text = Mupdate::GetHostFromUrl(url, installer);
  std::string host = host_text;
  std::string path = Mupdate::GetPathFromUrl(url, host_text, installer);
  std::uint16_t port = mapped;
  std::string current = url;
  for (int redirects = 0;; ++redirects) {
    Hop& hop = hops.emplace_back();
    hop.url = current;
    if (host_text.empty()) {
      hop.error = "no host in the URL";
      break;
    }
    Exchange(host, port, host_text, path.empty() ? "/" : path, secure, options, hop);
    if (!hop.error.empty() || !hop.IsRedirect()) break;
    if (redirects == kMaxRedirects) {
      hop.error = "more than " + std::to_string(kMaxRedirects) + " redirects";
      break;
    }
    const std::string location = hop.All("Location").front();
    if (location[0] == '/') {
      path = location;
      current = scheme + host_text + path;
      continue;
    }
    std::string lower = location.substr(0, scheme.size());
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (lower != scheme) {
      hop.error = "redirect to \"" + location + "\", which is not " +
                  (secure ? "https: the secure installer refuses an answer that leaves TLS"
                          : "plain http: the installer cannot follow it");
      break;
    }
    const std::size_t slash = location.find('/', scheme.size());
    host_text = location.substr(
        scheme.size(), slash == std::string::npos ? std::string::npos : slash - scheme.size());
    path = slash == std::string::npos ? "/" : location.substr(slash);
    host = host_text;
    port = mapped;
    const std::size_t colon = host_text.rfind(':');
    if (colon != std::string::npos && host_text.find(']') == std::string::npos) {
      const int given = std::atoi(host_text.c_str() + colon + 1);
      if (given <= 0 || given > 65535) {
        hop.error = "redirect to \"" + location + "\" with a bad port";
        break;
      }
      host = host_text.substr(0, colon);
      if (given != default_port) port = static_cast<std::uint16_t>(given);
    }
    current = location;
  }
  return hops;
}

}  // namespace kvt::release
