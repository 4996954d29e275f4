// Certificates for the HTTPS tests, made once per test program with the openssl command line in a
// temporary folder: a test CA that the client is told to trust, and server certificates signed by
// it or by a CA nobody trusts.
#pragma once

#include <string>

#include "support/test_server.h"

namespace kvt::testing {

struct TestCertificates {
  std::string ca;       // the test CA's certificate (PEM), for PosixInternet::SetTrustedCaFile
  TlsFiles good;        // 127.0.0.1 and localhost, valid now
  TlsFiles wrong_name;  // wrong.example only
  TlsFiles expired;     // 127.0.0.1 and localhost, expired a day ago
  TlsFiles untrusted;   // 127.0.0.1 and localhost, signed by another CA
};

// Throws std::runtime_error when openssl fails.
const TestCertificates& Certificates();

}  // namespace kvt::testing
