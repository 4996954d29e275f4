// The text of a signature file as the vendor writes it, shared by kvt-release and the tests' own
// signer so that both write one format: the signed message, the signature lines, and the
// base64 and hex spellings they use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvt::release {

// One download as the signature file names it.
struct SignedFile {
  std::uint64_t size = 0;
  std::string sha256;  // lower-case hex
  std::string url;     // exactly as in the manifest
};

// The signed part of a signature file: every line before the first "signature:" line.
std::string SignedMessage(std::int64_t issued, const std::string& manifest_sha256,
                          const std::vector<SignedFile>& files);
// "signature: <key id> <base64 of the 64 bytes r || s>\n".
std::string SignatureLine(const std::string& key_id, const std::string& signature);

// Base64 without line breaks, as in KVT_RELEASE_KEYS and on the signature lines.
std::string EncodeBase64(const std::string& bytes);
// The SHA-256 of a whole string, as 64 lower-case hexadecimal digits, through the POSIX crypto
// adapter (libcrypto): the same SHA-256 the installer's Linux build checks downloads with.
std::string Sha256Hex(std::string_view bytes);

}  // namespace kvt::release
