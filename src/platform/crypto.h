// Hashes and signatures for checking what the vendor signed: SHA-256 and ECDSA P-256.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kvt::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 computed piece by piece, as the pieces of a download are written.
class Sha256 {
 public:
  virtual ~Sha256() = default;
  virtual void Update(const char* data, std::size_t size) = 0;
  // The digest of everything given so far; the object is spent afterwards.
  virtual Sha256Digest Finish() = 0;
};

class Crypto {
 public:
  virtual ~Crypto() = default;
  // A new SHA-256 computation; nullptr when the system cannot provide one.
  virtual std::unique_ptr<Sha256> NewSha256() = 0;
  // True only when `signature` (64 bytes, r || s) is a valid ECDSA P-256 signature with SHA-256
  // of `message` under the key `public_point` (65 bytes, 04 || X || Y). Any failure is false.
  virtual bool VerifyP256(const std::string& public_point, const std::string& message,
                          const std::string& signature) = 0;
};

}  // namespace kvt::platform
