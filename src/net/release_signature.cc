// The release's signature file: strict parser and check against the trusted keys.
#include "net/release_signature.h"

#include <limits>
#include <memory>

#include "kvt/build_config.h"

namespace kvt::Mupdate {
namespace {

constexpr char kFirstLine[] = "KVT-RELEASE-SIGNATURE 1";
constexpr char kIssued[] = "issued: ";
constexpr char kManifest[] = "manifest: ";
constexpr char kFile[] = "file: ";
constexpr char kSignature[] = "signature: ";
constexpr std::size_t kKeyIdDigits = 16;
constexpr std::size_t kPointBytes = 65;
constexpr std::size_t kSignatureBytes = 64;
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789abcdef";

bool StartsWith(const std::string& s, const char* prefix, std::string& rest) {
  const std::string p = prefix;
  if (s.compare(0, p.size(), p) != 0) return false;
  rest = s.substr(p.size());
  return true;
}

// Canonical decimal: digits only, no leading zero except "0" itself, at most `max`.
bool ParseDecimal(const std::string& text, std::uint64_t max, std::uint64_t& value) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  std::uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (n > (max - digit) / 10) return false;
    n = n * 10 + digit;
  }
  value = n;
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case is not canonical
}

// Exactly 64 lowercase hex digits.
bool ParseDigest(const std::string& text, platform::Sha256Digest& digest) {
  if (text.size() != 2 * digest.size()) return false;
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const int hi = HexValue(text[2 * i]);
    const int lo = HexValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    digest[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return true;
}

bool ParseKeyId(const std::string& text) {
  if (text.size() != kKeyIdDigits) return false;
  for (char c : text) {
    if (HexValue(c) < 0) return false;
  }
  return true;
}

// "<size> <sha256> <url>"; the URL is the rest of the line, not empty.
bool ParseFileLine(const std::string& rest, SignedFile& file) {
  const std::size_t blank = rest.find(' ');
  if (blank == std::string::npos) return false;
  std::uint64_t size = 0;
  if (!ParseDecimal(rest.substr(0, blank),
                    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()), size)) {
    return false;
  }
  file.size = static_cast<std::int64_t>(size);
  const std::size_t hash_end = blank + 1 + 2 * file.sha256.size();
  if (rest.size() <= hash_end + 1 || rest[hash_end] != ' ') return false;
  if (!ParseDigest(rest.substr(blank + 1, hash_end - blank - 1), file.sha256)) return false;
  file.url = rest.substr(hash_end + 1);
  return true;
}

// "<key id> <base64 of r || s>".
bool ParseSignatureLine(const std::string& rest, SignatureFile::Signature& signature) {
  if (rest.size() <= kKeyIdDigits + 1 || rest[kKeyIdDigits] != ' ') return false;
  signature.key_id = rest.substr(0, kKeyIdDigits);
  return ParseKeyId(signature.key_id) &&
         DecodeBase64(rest.substr(kKeyIdDigits + 1), signature.rs) &&
         signature.rs.size() == kSignatureBytes;
}

ReleaseKeys BuildKeys() {
  ReleaseKeys keys;
  // The build refuses a malformed setting (CMakeLists.txt), so this parse cannot fail; if it
  // did, no key would verify anything and every release would be refused.
  if (!ParseReleaseKeys(build::kReleaseKeys, keys.points)) keys.points.assign(1, std::string());
  keys.not_before = build::kReleaseNotBefore;
  return keys;
}

const ReleaseKeys& BuildReleaseKeys() {
  static const ReleaseKeys keys = BuildKeys();
  return keys;
}

const ReleaseKeys* active_keys = nullptr;

}  // namespace

const char* SignatureCheckName(SignatureCheck check) {
  switch (check) {
    case SignatureCheck::kValid:
      return "valid";
    case SignatureCheck::kMalformed:
      return "malformed";
    case SignatureCheck::kNoKnownKey:
      return "unknown key";
    case SignatureCheck::kBadSignature:
      return "bad signature";
    case SignatureCheck::kManifestChanged:
      return "manifest changed after signing";
    case SignatureCheck::kUrlMismatch:
      return "URL mismatch";
    case SignatureCheck::kTooOld:
      return "issued before the not-before time";
  }
  return "unknown";
}

bool ParseSignatureFile(const std::string& bytes, SignatureFile& out) {
  out = SignatureFile();
  if (bytes.empty() || bytes.back() != '\n') return false;
  for (unsigned char c : bytes) {
    if (c != '\n' && (c < 0x20 || c > 0x7E)) return false;  // ASCII text only, no CR
  }
  std::vector<std::string> lines;
  std::vector<std::size_t> starts;
  for (std::size_t start = 0; start < bytes.size();) {
    const std::size_t lf = bytes.find('\n', start);
    lines.push_back(bytes.substr(start, lf - start));
    starts.push_back(start);
    start = lf + 1;
  }
  std::string rest;
  if (lines.size() < 5 || lines[0] != kFirstLine) return false;
  if (!StartsWith(lines[1], kIssued, rest) ||
      !ParseDecimal(rest, std::numeric_limits<std::uint64_t>::max(), out.issued)) {
    return false;
  }
  if (!StartsWith(lines[2], kManifest, rest) || !ParseDigest(rest, out.manifest_sha256)) {
    return false;
  }
  std::size_t i = 3;
  for (; i < lines.size() && StartsWith(lines[i], kFile, rest); ++i) {
    SignedFile file;
    if (!ParseFileLine(rest, file)) return false;
    out.files.push_back(std::move(file));
  }
  if (out.files.empty() || i == lines.size()) return false;
  out.signed_message = bytes.substr(0, starts[i]);
  for (; i < lines.size() && StartsWith(lines[i], kSignature, rest); ++i) {
    SignatureFile::Signature signature;
    if (!ParseSignatureLine(rest, signature)) return false;
    out.signatures.push_back(std::move(signature));
  }
  // Nothing may follow the signatures (a line there would be unsigned).
  return !out.signatures.empty() && i == lines.size();
}

SignatureCheck CheckReleaseSignature(platform::Crypto& crypto, const std::string& signature_file,
                                     const std::string& manifest_bytes,
                                     const std::vector<std::string>& urls, const ReleaseKeys& keys,
                                     std::vector<SignedFile>* files) {
  if (files != nullptr) files->clear();
  SignatureFile parsed;
  if (!ParseSignatureFile(signature_file, parsed)) return SignatureCheck::kMalformed;

  bool known = false;
  bool verified = false;
  for (const std::string& point : keys.points) {
    const std::string id = KeyId(crypto, point);
    if (id.empty()) continue;
    for (const SignatureFile::Signature& signature : parsed.signatures) {
      if (signature.key_id != id) continue;
      known = true;
      if (crypto.VerifyP256(point, parsed.signed_message, signature.rs)) verified = true;
    }
  }
  if (!known) return SignatureCheck::kNoKnownKey;
  if (!verified) return SignatureCheck::kBadSignature;

  platform::Sha256Digest manifest{};
  if (!Sha256Of(crypto, manifest_bytes, manifest) || manifest != parsed.manifest_sha256) {
    return SignatureCheck::kManifestChanged;
  }
  if (parsed.files.size() != urls.size()) return SignatureCheck::kUrlMismatch;
  for (std::size_t i = 0; i < urls.size(); ++i) {
    if (parsed.files[i].url != urls[i]) return SignatureCheck::kUrlMismatch;
  }
  if (parsed.issued < keys.not_before) return SignatureCheck::kTooOld;
  if (files != nullptr) *files = std::move(parsed.files);
  return SignatureCheck::kValid;
}

bool Sha256Of(platform::Crypto& crypto, const std::string& bytes, platform::Sha256Digest& digest) {
  const std::unique_ptr<platform::Sha256> sha = crypto.NewSha256();
  if (!sha) return false;
  sha->Update(bytes.data(), bytes.size());
  digest = sha->Finish();
  return true;
}

std::string HexOf(const platform::Sha256Digest& digest) {
  std::string hex;
  for (std::uint8_t b : digest) {
    hex += kHexDigits[b >> 4];
    hex += kHexDigits[b & 15];
  }
  return hex;
}

std::string KeyId(platform::Crypto& crypto, const std::string& point) {
  platform::Sha256Digest digest{};
  if (!Sha256Of(crypto, point, digest)) return {};
  return HexOf(digest).substr(0, kKeyIdDigits);
}

bool DecodeBase64(const std::string& text, std::string& bytes) {
  bytes.clear();
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::uint32_t bits = 0;
  int nbits = 0;
  for (std::size_t i = 0; i + padding < text.size(); ++i) {
    const char c = text[i];
    int value = -1;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    if (c >= '0' && c <= '9') value = c - '0' + 52;
    if (c == '+') value = 62;
    if (c == '/') value = 63;
    if (value < 0) return false;  // also a "=" before the padding
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    nbits += 6;
    if (nbits >= 8) {
      nbits -= 8;
      bytes += static_cast<char>((bits >> nbits) & 0xFF);
    }
  }
  // The bits left over belong to no byte and must be zero (one spelling per byte string).
  return (bits & ((1u << nbits) - 1)) == 0;
}

std::string EncodeBase64(const std::string& bytes) {
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

bool ParseReleaseKeys(const std::string& text, std::vector<std::string>& points) {
  points.clear();
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    std::string entry = text.substr(start, end - start);
    const std::size_t first = entry.find_first_not_of(" \t");
    if (first != std::string::npos) {
      entry = entry.substr(first, entry.find_last_not_of(" \t") + 1 - first);
      std::string point;
      if (!DecodeBase64(entry, point) || point.size() != kPointBytes || point[0] != '\x04') {
        points.clear();
        return false;
      }
      points.push_back(std::move(point));
    }
    start = end + 1;
  }
  return true;
}

const ReleaseKeys& ActiveReleaseKeys() {
  return active_keys != nullptr ? *active_keys : BuildReleaseKeys();
}

ScopedReleaseKeys::ScopedReleaseKeys(const ReleaseKeys& keys) : previous_(active_keys) {
  active_keys = &keys;
}
ScopedReleaseKeys::~ScopedReleaseKeys() { active_keys = previous_; }

}  // namespace kvt::Mupdate
