#include "release_signing.h"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "codepage.h"
#include "commands.h"
#include "net/manifest.h"
#include "net/release_signature.h"
#include "platform/posix/posix.h"
#include "platform/text_decoding.h"
#include "release_rules.h"
#include "sha256.h"

namespace kvt::release {
namespace {

namespace fs = std::filesystem;

EVP_PKEY* Key(void* key) { return static_cast<EVP_PKEY*>(key); }

std::string OpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  return reason != nullptr ? std::string(" (") + reason + ")" : std::string();
}

}  // namespace

SigningKey::~SigningKey() { EVP_PKEY_free(Key(key_)); }

bool SigningKey::Describe(std::string& problem) {
  char group[64] = "";
  std::size_t group_size = 0;
  if (EVP_PKEY_get_base_id(Key(key_)) != EVP_PKEY_EC ||
      EVP_PKEY_get_group_name(Key(key_), group, sizeof group, &group_size) != 1 ||
      std::string(group) != "prime256v1") {
    problem = "not a P-256 (prime256v1) EC key";
    return false;
  }
  // The point as 04 || X || Y, whatever form the file keeps it in.
  if (EVP_PKEY_set_utf8_string_param(Key(key_), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                     OSSL_PKEY_EC_POINT_CONVERSION_FORMAT_UNCOMPRESSED) != 1) {
    problem = "cannot read the public point" + OpenSslReason();
    return false;
  }
  unsigned char point[65];
  std::size_t size = 0;
  if (EVP_PKEY_get_octet_string_param(Key(key_), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                      &size) != 1 ||
      size != sizeof point || point[0] != 0x04) {
    problem = "cannot read the public point" + OpenSslReason();
    return false;
  }
  point_.assign(reinterpret_cast<const char*>(point), size);
  id_ = Sha256Hex(point_).substr(0, 16);
  return true;
}

std::unique_ptr<SigningKey> SigningKey::Load(const std::string& path, std::string& problem) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    problem = "cannot read the key " + path;
    return nullptr;
  }
  EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  if (key == nullptr) {
    problem = path + " holds no private key in PEM form" + OpenSslReason();
    return nullptr;
  }
  std::unique_ptr<SigningKey> result(new SigningKey(key));
  if (!result->Describe(problem)) {
    problem = path + ": " + problem;
    return nullptr;
  }
  return result;
}

std::unique_ptr<SigningKey> SigningKey::Generate(const std::string& path, std::string& problem) {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  if (key == nullptr) {
    problem = "OpenSSL cannot make a P-256 key" + OpenSslReason();
    return nullptr;
  }
  std::unique_ptr<SigningKey> result(new SigningKey(key));
  if (!result->Describe(problem)) return nullptr;
  // Created here, readable by its owner only; an existing key is never overwritten.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    problem = errno == EEXIST ? path + " exists already; a key is never overwritten"
                              : "cannot create " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  FILE* file = ::fdopen(fd, "wb");
  const bool written = file != nullptr &&
                       PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  const bool closed = file != nullptr ? std::fclose(file) == 0 : ::close(fd) == 0;
  if (!written || !closed) {
    ::unlink(path.c_str());
    problem = "cannot write " + path + OpenSslReason();
    return nullptr;
  }
  return result;
}

std::string SigningKey::Sign(const std::string& message) const {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  unsigned char der[128];
  std::size_t der_size = sizeof der;
  const bool signed_ok =
      context != nullptr &&
      EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, Key(key_)) == 1 &&
      EVP_DigestSign(context, der, &der_size,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  EVP_MD_CTX_free(context);
  if (!signed_ok) return "";
  // OpenSSL gives DER (SEQUENCE of two INTEGERs); the file carries r and s as 32 bytes each.
  const unsigned char* p = der;
  ECDSA_SIG* signature = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der_size));
  if (signature == nullptr) return "";
  unsigned char raw[64];
  const bool converted = BN_bn2binpad(ECDSA_SIG_get0_r(signature), raw, 32) == 32 &&
                         BN_bn2binpad(ECDSA_SIG_get0_s(signature), raw + 32, 32) == 32;
  ECDSA_SIG_free(signature);
  return converted ? std::string(reinterpret_cast<const char*>(raw), sizeof raw) : "";
}

bool SignReleaseFolder(const std::string& dir, const std::vector<const SigningKey*>& keys,
                       std::int64_t issued, std::string& problem) {
  const fs::path folder(dir);
  std::string manifest;
  if (!ReadWholeFile((folder / kManifestName).string(), manifest)) {
    problem = "cannot read " + (folder / kManifestName).string();
    return false;
  }
  // The URLs as the installer reads them from the manifest: its own decoding and line split.
  const std::vector<std::string> lines =
      Mupdate::SplitManifestLines(platform::DecodeText(manifest, Cp936ToUtf8));
  if (lines.size() != 3 || lines[1].empty() || lines[2].empty()) {
    problem = std::string(kManifestName) +
              " is not three lines (version, extractor URL, archive URL) joined by CR LF";
    return false;
  }
  std::vector<SignedFile> files;
  const char* names[2] = {kExtractorName, kArchiveName};
  for (int i = 0; i < 2; ++i) {
    SignedFile f;
    f.url = lines[1 + i];
    for (unsigned char c : f.url) {
      if (c <= ' ' || c >= 0x7F) {
        problem = "the URL \"" + Printable(f.url) +
                  "\" holds a blank or a byte outside printable ASCII; the signature file "
                  "cannot name it";
        return false;
      }
    }
    const std::string path = (folder / names[i]).string();
    if (!Sha256File(path, f.sha256, f.size)) {
      problem = "cannot read " + path;
      return false;
    }
    files.push_back(f);
  }
  const std::string message = SignedMessage(issued, Sha256Hex(manifest), files);
  std::string text = message;
  for (const SigningKey* key : keys) {
    const std::string signature = key->Sign(message);
    if (signature.size() != 64) {
      problem = "OpenSSL cannot sign with key " + key->id() + OpenSslReason();
      return false;
    }
    text += SignatureLine(key->id(), signature);
  }
  // Read back as the installer reads it, with the keys just used: nothing unverifiable goes out.
  Mupdate::ReleaseKeys signers;
  for (const SigningKey* key : keys) signers.points.push_back(key->point());
  posix::PosixCrypto crypto;
  const Mupdate::SignatureCheck check = Mupdate::CheckReleaseSignature(
      crypto, text, manifest, {files[0].url, files[1].url}, signers, nullptr);
  if (check != Mupdate::SignatureCheck::kValid) {
    problem = std::string("the signature file does not verify as the installer reads it (") +
              Mupdate::SignatureCheckName(check) + ")";
    return false;
  }
  // Written beside, then renamed over the old one: a reader never sees half a file.
  const std::string path = (folder / kManifestName).string() + kSignatureSuffix;
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out.flush()) {
      out.close();
      ::unlink(temporary.c_str());
      problem = "cannot write " + temporary;
      return false;
    }
  }
  std::error_code error;
  fs::rename(temporary, path, error);
  if (error) {
    ::unlink(temporary.c_str());
    problem = "cannot rename " + temporary + " to " + path + ": " + error.message();
    return false;
  }
  return true;
}

}  // namespace kvt::release
