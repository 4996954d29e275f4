// The release's signature file: strict parser and check against the trusted keys.
#include "net/release_signature.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <string_view>

#include "kvt/build_config.h"

namespace kvt::Mupdate {
namespace {

constexpr std::string_view kFirstLine = "KVT-RELEASE-SIGNATURE 1";
constexpr std::string_view kIssued = "issued: ";
constexpr std::string_view kManifest = "manifest: ";
constexpr std::string_view kFile = "file: ";
constexpr std::string_view kSignature = "signature: ";
constexpr std::size_t kKeyIdDigits = 16;
constexpr std::size_t kPointBytes = 65;
constexpr std::size_t kSignatureBytes = 64;
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789abcdef";

// The line at `at` (without its LF); `at` moves past the LF. False at the end of `text`.
bool NextLine(std::string_view text, std::size_t& at, std::string_view& line) {
  if (at >= text.size()) return false;
  const std::size_t lf = text.find('\n', at);  // the text ends with one: never npos here
  line = text.substr(at, lf - at);
  at = lf + 1;
  return true;
}

// `line` begins with `prefix`; `rest` receives what follows it.
bool Field(std::string_view line, std::string_view prefix, std::string_view& rest) {
  if (line.substr(0, prefix.size()) != prefix) return false;
  rest = line.substr(prefix.size());
  return true;
}

// Canonical decimal: digits only, no leading zero except "0" itself, at most `max`.
bool ParseDecimal(std::string_view text, std::uint64_t max, std::uint64_t& value) {
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

// Exactly 2 * size lowercase hex digits into `out` (size bytes); `out` may be null.
bool ParseHex(std::string_view text, std::size_t size, std::uint8_t* out) {
  if (text.size() != 2 * size) return false;
  for (std::size_t i = 0; i < size; ++i) {
    const int hi = HexValue(text[2 * i]);
    const int lo = HexValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    if (out != nullptr) out[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return true;
}

// "<size> <sha256> <url>"; the URL is the rest of the line, not empty.
bool ParseFileLine(std::string_view rest, SignedFile& file) {
  const std::size_t blank = rest.find(' ');
  std::uint64_t size = 0;
  const std::size_t hash_end = blank + 1 + 2 * file.sha256.size();
  if (blank == std::string_view::npos ||
      !ParseDecimal(rest.substr(0, blank),
                    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()), size) ||
      rest.size() <= hash_end + 1 || rest[hash_end] != ' ' ||
      !ParseHex(rest.substr(blank + 1, hash_end - blank - 1), file.sha256.size(),
                file.sha256.data())) {
    return false;
  }
  file.size = static_cast<std::int64_t>(size);
  file.url = rest.substr(hash_end + 1);
  return true;
}

// "<key id> <base64 of r || s>".
bool ParseSignatureLine(std::string_view rest, SignatureFile::Signature& signature) {
  if (rest.size() <= kKeyIdDigits + 1 || rest[kKeyIdDigits] != ' ' ||
      !ParseHex(rest.substr(0, kKeyIdDigits), signature.key_id.size(), signature.key_id.data())) {
    return false;
  }
  return DecodeBase64(rest.substr(kKeyIdDigits + 1), signature.rs) &&
         signature.rs.size() == kSignatureBytes;
}

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
  if (bytes.empty() || bytes.size() > kMaxSignatureFileBytes || bytes.back() != '\n') {
    return false;
  }
  for (unsigned char c : bytes) {
    if (c != '\n' && (c < 0x20 || c > 0x7E)) return false;  // ASCII text only, no CR
  }
  const std::string_view text = bytes;
  std::size_t at = 0;
  std::string_view line, rest;
  if (!NextLine(text, at, line) || line != kFirstLine) return false;
  if (!NextLine(text, at, line) || !Field(line, kIssued, rest) ||
      !ParseDecimal(rest, std::numeric_limits<std::uint64_t>::max(), out.issued)) {
    return false;
  }
  if (!NextLine(text, at, line) || !Field(line, kManifest, rest) ||
      !ParseHex(rest, out.manifest_sha256.size(), out.manifest_sha256.data())) {
    return false;
  }
  std::size_t line_start = at;
  bool more = NextLine(text, at, line);
  for (; more && Field(line, kFile, rest); more = NextLine(text, at, line)) {
    if (!ParseFileLine(rest, out.files.emplace_back())) return false;
    line_start = at;
  }
  if (out.files.empty()) return false;
  out.signed_message = bytes.substr(0, line_start);
  for (; more && Field(line, kSignature, rest); more = NextLine(text, at, line)) {
    if (out.signatures.size() == kMaxSignatureLines ||
        !ParseSignatureLine(rest, out.signatures.emplace_back())) {
      return false;
    }
  }
  // Nothing may follow the signatures (a line there would be unsigned).
  return !out.signatures.empty() && !more;
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
    // The key id is the start of the point's hash.
    platform::Sha256Digest id{};
    if (!Sha256Of(crypto, point, id)) continue;
    for (const SignatureFile::Signature& signature : parsed.signatures) {
      if (!std::equal(signature.key_id.begin(), signature.key_id.end(), id.begin())) continue;
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

bool DecodeBase64(std::string_view text, std::string& bytes) {
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

bool ParseReleaseKeys(std::string_view text, std::vector<std::string>& points) {
  points.clear();
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(';', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view entry = text.substr(start, end - start);
    const std::size_t first = entry.find_first_not_of(" \t");
    if (first != std::string_view::npos) {
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

const ReleaseKeys& BuildReleaseKeys() {
  static const ReleaseKeys keys = [] {
    ReleaseKeys build;
    // Decoded and checked when the build was configured (CMakeLists.txt).
    for (unsigned i = 0; i < build::kReleaseKeyCount; ++i) {
      build.points.emplace_back(build::kReleaseKeyPoints + i * kPointBytes, kPointBytes);
    }
    build.not_before = build::kReleaseNotBefore;
    return build;
  }();
  return keys;
}

}  // namespace kvt::Mupdate
