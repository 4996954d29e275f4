// The vendor's side of signed releases: P-256 signing keys and the signature file
// KVT_TRNQP_SETUP_LOG.txt.sig beside the manifest (format in the README, "Signed releases").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "signature_text.h"

namespace kvt::release {

inline constexpr char kSignatureSuffix[] = ".sig";

// A private P-256 key read from a PEM file, with its public point and key id.
class SigningKey {
 public:
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  // The key in `path`, or null with `problem` set (unreadable, not EC, not P-256).
  static std::unique_ptr<SigningKey> Load(const std::string& path, std::string& problem);
  // A new random key written to `path` (mode 0600; an existing file is never replaced).
  static std::unique_ptr<SigningKey> Generate(const std::string& path, std::string& problem);

  // 65 bytes: 04 || X || Y.
  const std::string& point() const { return point_; }
  // The first 16 lower-case hex digits of SHA-256 of the point.
  const std::string& id() const { return id_; }
  // ECDSA P-256 with SHA-256 over `message` as 64 bytes r || s; empty when signing failed.
  std::string Sign(const std::string& message) const;

 private:
  explicit SigningKey(void* key) : key_(key) {}
  bool Describe(std::string& problem);

  void* key_;  // EVP_PKEY
  std::string point_, id_;
};

// The keys in `paths` (at least one), or false with `problem` naming the first that fails.
bool LoadSigningKeys(const std::vector<std::string>& paths,
                     std::vector<std::unique_ptr<SigningKey>>& keys, std::string& problem);

// Writes `dir`/KVT_TRNQP_SETUP_LOG.txt.sig for the release in `dir` (its manifest and the two
// files named there), signed with every key. The file is replaced only when the whole new one
// is written; false with `problem` set otherwise.
bool SignReleaseFolder(const std::string& dir, const std::vector<const SigningKey*>& keys,
                       std::int64_t issued, std::string& problem);

}  // namespace kvt::release
