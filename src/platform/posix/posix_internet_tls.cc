// The bytes of a PosixInternet connection, plain or through TLS (OpenSSL): the TLS context and
// handshake, and one send or receive of either kind.
#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "platform/posix/posix.h"

namespace kvt::posix {
namespace {

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE when the server has gone;
// this one sends with MSG_NOSIGNAL, as the plain path does. Its data is the socket.
int SocketOf(BIO* bio) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

int BioWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::send(SocketOf(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t n;
  do {
    n = ::recv(SocketOf(bio), data, static_cast<std::size_t>(size), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

long BioCtrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO* NewSocketBio(int socket) {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kvt socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, BioWrite);
      BIO_meth_set_read(m, BioRead);
      BIO_meth_set_ctrl(m, BioCtrl);
      BIO_meth_set_create(m, BioCreate);
    }
    return m;
  }();
  if (method == nullptr) return nullptr;
  BIO* bio = BIO_new(method);
  if (bio != nullptr)
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(socket)));
  return bio;
}

// The poll events a TLS call that returned `result` waits for; 0 when it failed for good.
short TlsWait(SSL* tls, int result) {
  switch (SSL_get_error(tls, result)) {
    case SSL_ERROR_WANT_READ:
      return POLLIN;
    case SSL_ERROR_WANT_WRITE:
      return POLLOUT;
    default:
      return 0;
  }
}

bool IsNumericHost(const std::string& host) {
  in6_addr address;
  return ::inet_pton(AF_INET, host.c_str(), &address) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

}  // namespace

void PosixInternet::SetTrustedCaFile(std::string path) {
  ca_file_ = std::move(path);
  SSL_CTX_free(tls_context_);  // sessions still open keep their own reference
  tls_context_ = nullptr;
}

SSL_CTX* PosixInternet::TlsContext() {
  if (tls_context_ != nullptr) return tls_context_;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return nullptr;
  const bool trusted = ca_file_.empty()
                           ? SSL_CTX_set_default_verify_paths(context) == 1
                           : SSL_CTX_load_verify_locations(context, ca_file_.c_str(), nullptr) == 1;
  if (!trusted || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
    SSL_CTX_free(context);
    return nullptr;
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  // A connection that ends without TLS's closing message reads as the end, as a plain one does;
  // the announced length tells a cut body from a whole one.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  tls_context_ = context;
  return context;
}

bool PosixInternet::StartTls(Handle& h, const std::string& host) {
  SSL_CTX* context = TlsContext();
  if (context == nullptr) return false;
  h.tls = SSL_new(context);
  if (h.tls == nullptr) return false;
  BIO* bio = NewSocketBio(h.socket);
  if (bio == nullptr) return false;
  SSL_set_bio(h.tls, bio, bio);
  // The certificate must name the host (SSL_set1_host takes an address as an address). The
  // server is told the name it is asked by (SNI), which carries names only.
  if (!IsNumericHost(host) && SSL_set_tlsext_host_name(h.tls, host.c_str()) != 1) return false;
  if (SSL_set1_host(h.tls, host.c_str()) != 1) return false;
  while (true) {
    ERR_clear_error();
    const int r = SSL_connect(h.tls);
    if (r == 1) break;
    const short wait = TlsWait(h.tls, r);
    if (wait == 0) return false;  // the server's certificate did not check out, or TLS failed
    const int timeout = wait == POLLIN ? h.receive_timeout_ms : h.send_timeout_ms;
    if (WaitFor(h.socket, wait, Capped(timeout)) != 1) return false;
  }
  return SSL_get0_peer_certificate(h.tls) != nullptr && SSL_get_verify_result(h.tls) == X509_V_OK;
}

long PosixInternet::SendSome(Handle& h, const char* data, std::size_t size, short& wait) {
  wait = 0;
  if (h.tls != nullptr) {
    ERR_clear_error();
    const int n = SSL_write(h.tls, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (n > 0) return n;
    wait = TlsWait(h.tls, n);
    return -1;
  }
  ssize_t n;
  do {
    n = ::send(h.socket, data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return n;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) wait = POLLOUT;
  return -1;
}

long PosixInternet::ReceiveSome(Handle& h, char* data, std::size_t size, short& wait) {
  wait = 0;
  if (h.tls != nullptr) {
    ERR_clear_error();
    const int n = SSL_read(h.tls, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (n > 0) return n;
    const int error = SSL_get_error(h.tls, n);
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    if (error == SSL_ERROR_SYSCALL && errno == ECONNRESET) return 0;  // as on a plain connection
    wait = TlsWait(h.tls, n);
    return -1;
  }
  ssize_t n;
  do {
    n = ::recv(h.socket, data, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return n;
  if (errno == ECONNRESET) return 0;  // WinINet reports a dropped connection as the end
  if (errno == EAGAIN || errno == EWOULDBLOCK) wait = POLLIN;
  return -1;
}

void PosixInternet::CloseSocket(Handle& request) {
  SSL_free(request.tls);  // and its BIO; nothing more is sent on a connection given up
  request.tls = nullptr;
  if (request.socket >= 0) ::close(request.socket);
  request.socket = -1;
}

}  // namespace kvt::posix
