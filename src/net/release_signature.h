// The release's signature file: what the vendor signed about one release, and its check against
// the public keys an installer trusts.
//
// The file lies beside the manifest at "/KVT_TRNQP_SETUP_LOG.txt.sig". ASCII, every line (the last
// included) ended by one LF, no CR anywhere:
//
//   KVT-RELEASE-SIGNATURE 1
//   issued: <UTC seconds since 1970, decimal>
//   manifest: <SHA-256 of the manifest file's exact bytes, 64 lowercase hex digits>
//   file: <size in bytes, decimal> <SHA-256, 64 lowercase hex> <URL exactly as in the manifest>
//   file: ...              (one per download, in the manifest's order)
//   signature: <key id> <base64 of the 64-byte r || s>
//   signature: ...         (one to kMaxSignatureLines; nothing follows them)
//
// Numbers are canonical decimal (no sign, no leading zero except "0" itself), hex is lowercase.
// The signed message is every byte before the first "signature:" line; each signature is ECDSA
// P-256 with SHA-256 over it. A key id is the first 16 lowercase hex digits of the SHA-256 of the
// key's 65-byte point (04 || X || Y). The release is valid when at least one signature line
// verifies under a trusted key; lines with unknown key ids are ignored (key rotation).
//
// Use: CheckReleaseSignature(crypto, sig_bytes, manifest_bytes, {extractor URL, archive URL},
// keys, &files) == SignatureCheck::kValid, then download each URL expecting files[i].
// The installer and the release tool (its check) call this same function.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto.h"

namespace kvt::Mupdate {

// Where the signature file lies, beside the manifest: the manifest's URL + this.
inline constexpr char kSignatureSuffix[] = ".sig";
// A signature file is small by nature (a few hundred bytes): a larger one is refused unread, and
// as malformed by the check.
inline constexpr std::size_t kMaxSignatureFileBytes = 64 * 1024;
// Signature lines a file may carry (one per key the vendor signs with, a few more while keys
// change): a file with more is malformed, so that no file costs more than this many
// verifications per trusted key.
inline constexpr std::size_t kMaxSignatureLines = 8;

// The trusted keys and the oldest release accepted.
struct ReleaseKeys {
  std::vector<std::string> points;  // 65-byte uncompressed P-256 points
  std::uint64_t not_before = 0;     // a file issued earlier (UTC seconds) is refused
};

// What the vendor signed about one download.
struct SignedFile {
  std::int64_t size = 0;
  platform::Sha256Digest sha256{};
  std::string url;
};

// Every field of a well-formed signature file.
struct SignatureFile {
  std::uint64_t issued = 0;
  platform::Sha256Digest manifest_sha256{};
  std::vector<SignedFile> files;
  struct Signature {
    std::array<std::uint8_t, 8> key_id;  // the 16 hex digits as bytes
    std::string rs;                      // 64 bytes, r || s
  };
  std::vector<Signature> signatures;
  std::string signed_message;  // the bytes before the first signature line
};

// The outcome of a check, each failure named. The checks run in this order: form, signature,
// manifest hash, URLs, age; the first that fails is the result.
enum class SignatureCheck {
  kValid,
  kMalformed,        // not exactly the format above, or larger than kMaxSignatureFileBytes
  kNoKnownKey,       // no signature line names a trusted key
  kBadSignature,     // signature lines name trusted keys, but none verifies
  kManifestChanged,  // the manifest's bytes are not the ones signed
  kUrlMismatch,      // the file lines do not name the manifest's URLs, one each, in order
  kTooOld,           // issued before the not-before time
};
// A short English name for messages of tools: "malformed", "unknown key", ...
const char* SignatureCheckName(SignatureCheck check);

// Parses the exact format; false for anything else.
bool ParseSignatureFile(const std::string& bytes, SignatureFile& out);

// Checks `signature_file` (its bytes as served) against the manifest's exact bytes, the download
// URLs the manifest names (in its order) and `keys`. On kValid, `files` (when given) receives
// what each URL must be, in the same order; otherwise it is left empty.
SignatureCheck CheckReleaseSignature(platform::Crypto& crypto, const std::string& signature_file,
                                     const std::string& manifest_bytes,
                                     const std::vector<std::string>& urls, const ReleaseKeys& keys,
                                     std::vector<SignedFile>* files);

// Key id of a 65-byte point: the first 16 lowercase hex digits of its SHA-256; empty when the
// crypto adapter cannot hash.
std::string KeyId(platform::Crypto& crypto, const std::string& point);
// SHA-256 of `bytes` in one go; false when the crypto adapter cannot hash.
bool Sha256Of(platform::Crypto& crypto, const std::string& bytes, platform::Sha256Digest& digest);
// Lowercase hex of a digest.
std::string HexOf(const platform::Sha256Digest& digest);

// Strict base64 (standard alphabet, "=" padding required, unused bits zero, nothing else).
bool DecodeBase64(std::string_view text, std::string& bytes);
// A KVT_RELEASE_KEYS value: base64 points separated by ";" (blanks around each allowed, empty
// entries skipped). False when an entry is not base64 of a 65-byte point starting with 04.
bool ParseReleaseKeys(std::string_view text, std::vector<std::string>& points);

// The build's keys (KVT_RELEASE_KEYS, KVT_RELEASE_NOT_BEFORE), decoded on first use. No points:
// the build checks no signatures.
const ReleaseKeys& BuildReleaseKeys();

}  // namespace kvt::Mupdate
