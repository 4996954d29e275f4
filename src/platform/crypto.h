// Hashes and signatures for checking what the vendor signed: SHA-256 and ECDSA P-256.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kvt::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 computed piece by piece, as the pieces of a download are written. An adapter may
// digest the pieces on a thread of its own (platform/sha256_pipeline.h), overlapped with what
// the caller does next; used from one thread, the object behaves the same either way.
class Sha256 {
 public:
  // Stops any digesting still under way and frees everything; what was not yet digested is
  // dropped. Waits at most for the digest of one 64 KiB piece.
  virtual ~Sha256() = default;
  // Takes `size` bytes at `data`. It may return before they are digested: the bytes are copied
  // first, so the caller may overwrite or free its buffer at once. It waits only while the
  // adapter already holds as many undigested bytes as it keeps (a few 64 KiB pieces).
  virtual void Update(const char* data, std::size_t size) = 0;
  // The digest of everything given so far, once all of it has been digested; the object is spent
  // afterwards (further Updates are ignored).
  virtual Sha256Digest Finish() = 0;
};

class Crypto {
 public:
  virtual ~Crypto() = default;
  // A new SHA-256 computation; nullptr when the system cannot provide one. It may digest on a
  // thread of its own (see Sha256).
  virtual std::unique_ptr<Sha256> NewSha256() = 0;
  // True only when `signature` (64 bytes, r || s) is a valid ECDSA P-256 signature with SHA-256
  // of `message` under the key `public_point` (65 bytes, 04 || X || Y). Any failure is false.
  virtual bool VerifyP256(const std::string& public_point, const std::string& message,
                          const std::string& signature) = 0;
};

}  // namespace kvt::platform
