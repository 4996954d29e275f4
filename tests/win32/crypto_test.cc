#include "platform/win32/win32_adapters.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/sha256_cases.h"

namespace kvt::win32 {
namespace {

std::string Bytes(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// SHA-256 given in pieces is the digest of the whole (FIPS 180 example "abc").
TEST(CngCryptoTest, Sha256InPieces) {
  CngCrypto crypto;
  auto sha = crypto.NewSha256();
  ASSERT_NE(sha, nullptr);
  sha->Update("a", 1);
  sha->Update("", 0);
  sha->Update("bc", 2);
  const platform::Sha256Digest digest = sha->Finish();
  EXPECT_EQ(std::string(digest.begin(), digest.end()),
            Bytes("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

// Digested by the adapter's own thread, from a buffer the caller reuses; destroyed unfinished.
TEST(CngCryptoTest, Sha256InManyPieces) {
  CngCrypto crypto;
  testing::CheckSha256InPieces(crypto);
}

// A signature made with openssl (P-256, SHA-256, r || s); under Wine CNG verifies ECDSA through
// GnuTLS (package libgnutls30).
TEST(CngCryptoTest, VerifiesP256SignaturesAndRefusesAnyChange) {
  const std::string point = Bytes(
      "04208c04adb4fb5df46f85bdb021eedb1d6fee52019a15bfb6705bde0c5a5fee17b1c874dc41b906ee427811d3"
      "7c7e33d5ae43a601861f5d4228fa999af0cd70a4");
  const std::string message = "KVT-RELEASE-SIGNATURE 1\n";
  const std::string rs = Bytes(
      "6ac749dea9546824a25516ec048be634acb8bc3df641914e9d891fa44023c4b37c4a68a80998bace7045e07a9a"
      "50583d260714d0a10cc8ca39c7c90559226080");
  CngCrypto crypto;
  EXPECT_TRUE(crypto.VerifyP256(point, message, rs));
  std::string flipped = rs;
  flipped[63] = static_cast<char>(flipped[63] ^ 1);
  EXPECT_FALSE(crypto.VerifyP256(point, message, flipped));
  EXPECT_FALSE(crypto.VerifyP256(point, message + " ", rs));
  std::string other_point = point;
  other_point[64] = static_cast<char>(other_point[64] ^ 1);  // no longer on the curve
  EXPECT_FALSE(crypto.VerifyP256(other_point, message, rs));
  EXPECT_FALSE(crypto.VerifyP256(point.substr(1), message, rs));
}

}  // namespace
}  // namespace kvt::win32
