// SHA-256 (FIPS 180-4), enough to fingerprint release files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvt::release {

class Sha256 {
 public:
  Sha256();
  void Update(std::string_view bytes);
  // The digest as 64 lower-case hexadecimal digits; the object is spent afterwards.
  std::string HexDigest();

 private:
  void Block(const unsigned char* p);

  std::uint32_t state_[8];
  unsigned char buffer_[64];
  std::size_t buffered_ = 0;
  std::uint64_t total_bytes_ = 0;
};

// The digest of a whole string.
std::string Sha256Hex(std::string_view bytes);
// The digest and size of a file, read in pieces; false when it cannot be read.
bool Sha256File(const std::string& path, std::string& hex, std::uint64_t& size);

}  // namespace kvt::release
