// Signed releases for tests: P-256 key pairs made with libcrypto and signature files in the
// installer's format, built from parts that a test can spoil one at a time.
//
//   kvt::testing::SigningKey key;
//   kvt::testing::SignedRelease release{manifest, {{url1, bytes1}, {url2, bytes2}}};
//   std::string sig = release.Text({&key});
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "net/release_signature.h"
#include "signature_text.h"

namespace kvt::testing {

class SigningKey {
 public:
  SigningKey();  // a fresh key pair
  // The key pair of a PEM private key (fixed keys whose signatures stay valid across runs).
  explicit SigningKey(const std::string& pem);
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  // The 65-byte public point (04 || X || Y).
  const std::string& point() const { return point_; }
  std::string KeyId() const;
  // ECDSA P-256 with SHA-256 over `message`: 64 bytes r || s.
  std::string Sign(const std::string& message) const;

 private:
  void ReadPoint();

  void* key_;  // EVP_PKEY
  std::string point_;
};

// Lowercase hex SHA-256, as the vendor's tool writes it.
using release::Sha256Hex;

struct SignedRelease {
  std::string manifest;
  std::vector<std::pair<std::string, std::string>> files;  // URL, bytes
  std::uint64_t issued = 1700000000;

  // Everything before the signature lines.
  std::string Message() const;
  // The message followed by one signature line per key, in order.
  std::string Text(const std::vector<const SigningKey*>& keys) const;
};

// Keys that trust exactly these signing keys.
Mupdate::ReleaseKeys TrustOnly(const std::vector<const SigningKey*>& keys,
                               std::uint64_t not_before = 0);

}  // namespace kvt::testing
