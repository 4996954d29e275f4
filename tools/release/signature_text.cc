#include "signature_text.h"

#include <memory>

#include "net/release_signature.h"
#include "platform/posix/posix.h"

namespace kvt::release {

std::string SignedMessage(std::int64_t issued, const std::string& manifest_sha256,
                          const std::vector<SignedFile>& files) {
  std::string text = "KVT-RELEASE-SIGNATURE 1\nissued: " + std::to_string(issued) +
                     "\nmanifest: " + manifest_sha256 + "\n";
  for (const SignedFile& f : files) {
    text += "file: " + std::to_string(f.size) + " " + f.sha256 + " " + f.url + "\n";
  }
  return text;
}

std::string SignatureLine(const std::string& key_id, const std::string& signature) {
  return "signature: " + key_id + " " + EncodeBase64(signature) + "\n";
}

std::string EncodeBase64(const std::string& bytes) {
  static constexpr char kBase64[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1]))
                                << 8 |
                            static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) text += kBase64[(v >> shift) & 63];
  }
  const std::size_t left = bytes.size() - i;
  if (left > 0) {
    std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (left == 2) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    text += kBase64[(v >> 18) & 63];
    text += kBase64[(v >> 12) & 63];
    text += left == 2 ? kBase64[(v >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

std::string Sha256Hex(std::string_view bytes) {
  posix::PosixCrypto crypto;
  const std::unique_ptr<platform::Sha256> hash = crypto.NewSha256();
  if (hash == nullptr) return "";
  hash->Update(bytes.data(), bytes.size());
  return Mupdate::HexOf(hash->Finish());
}

}  // namespace kvt::release
