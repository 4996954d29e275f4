#include "support/test_certificates.h"

#include <cstdlib>
#include <stdexcept>

#include "support/temp_dir.h"

namespace kvt::testing {
namespace {

void Run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
    throw std::runtime_error("failed: " + command);
  }
}

// A P-256 key (quick to make) at <folder>/<name>.key.
std::string NewKey(const std::string& folder, const std::string& name) {
  const std::string key = folder + "/" + name + ".key";
  Run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '" + key + "'");
  return key;
}

// A self-signed CA certificate at <folder>/<name>.crt.
std::string NewCa(const std::string& folder, const std::string& name) {
  const std::string key = NewKey(folder, name);
  const std::string certificate = folder + "/" + name + ".crt";
  Run("openssl req -x509 -new -key '" + key + "' -subj /CN=" + name + " -days 2 -out '" +
      certificate + "'");
  return certificate;
}

// A server certificate for `names` (subjectAltName syntax) signed by the CA `ca`, valid for
// `days` from now (-1: it ended yesterday).
TlsFiles NewLeaf(const std::string& folder, const std::string& name, const std::string& ca,
                 const std::string& names, int days) {
  const std::string base = folder + "/" + name;
  const std::string ca_base = folder + "/" + ca;
  TlsFiles files{base + ".crt", NewKey(folder, name)};
  if (!WriteFileBytes(base + ".ext", "subjectAltName=" + names + "\n")) {
    throw std::runtime_error("cannot write " + base + ".ext");
  }
  Run("openssl req -new -key '" + files.key + "' -subj /CN=" + name + " -out '" + base + ".csr'");
  Run("openssl x509 -req -in '" + base + ".csr' -CA '" + ca_base + ".crt' -CAkey '" + ca_base +
      ".key' -CAcreateserial -days " + std::to_string(days) + " -extfile '" + base +
      ".ext' -out '" + files.certificate + "'");
  return files;
}

}  // namespace

const TestCertificates& Certificates() {
  static const TempDir folder;
  static const TestCertificates certificates = [] {
    const std::string& f = folder.path();
    const std::string local = "IP:127.0.0.1,DNS:localhost";
    TestCertificates c;
    c.ca = NewCa(f, "kvt-test-ca");
    NewCa(f, "other-ca");
    c.good = NewLeaf(f, "good", "kvt-test-ca", local, 2);
    c.wrong_name = NewLeaf(f, "wrong-name", "kvt-test-ca", "DNS:wrong.example", 2);
    c.expired = NewLeaf(f, "expired", "kvt-test-ca", local, -1);
    c.untrusted = NewLeaf(f, "untrusted", "other-ca", local, 2);
    return c;
  }();
  return certificates;
}

}  // namespace kvt::testing
