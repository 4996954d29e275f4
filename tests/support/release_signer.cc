#include "support/release_signer.h"

#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <stdexcept>

namespace kvt::testing {
namespace {

EVP_PKEY* Key(void* k) { return static_cast<EVP_PKEY*>(k); }

}  // namespace

SigningKey::SigningKey() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")) {
  if (key_ == nullptr) throw std::runtime_error("cannot make a P-256 key");
  ReadPoint();
}

SigningKey::SigningKey(const std::string& pem) : key_(nullptr) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  key_ = bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  if (key_ == nullptr) throw std::runtime_error("cannot read the PEM private key");
  ReadPoint();
}

void SigningKey::ReadPoint() {
  unsigned char point[65];
  std::size_t size = 0;
  if (EVP_PKEY_get_octet_string_param(Key(key_), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                      &size) != 1 ||
      size != sizeof point) {
    throw std::runtime_error("cannot read the public point");
  }
  point_.assign(reinterpret_cast<const char*>(point), size);
}

SigningKey::~SigningKey() { EVP_PKEY_free(Key(key_)); }

std::string SigningKey::KeyId() const { return Sha256Hex(point_).substr(0, 16); }

std::string SigningKey::Sign(const std::string& message) const {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char der[128];
  std::size_t der_size = sizeof der;
  const bool ok =
      EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, Key(key_)) == 1 &&
      EVP_DigestSign(ctx, der, &der_size, reinterpret_cast<const unsigned char*>(message.data()),
                     message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  if (!ok) throw std::runtime_error("cannot sign");
  const unsigned char* p = der;
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der_size));
  unsigned char rs[64];
  BN_bn2binpad(ECDSA_SIG_get0_r(sig), rs, 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(sig), rs + 32, 32);
  ECDSA_SIG_free(sig);
  return std::string(reinterpret_cast<const char*>(rs), sizeof rs);
}

std::string SignedRelease::Message() const {
  std::vector<release::SignedFile> signed_files;
  for (const auto& [url, bytes] : files)
    signed_files.push_back({bytes.size(), Sha256Hex(bytes), url});
  return release::SignedMessage(static_cast<std::int64_t>(issued), Sha256Hex(manifest),
                                signed_files);
}

std::string SignedRelease::Text(const std::vector<const SigningKey*>& keys) const {
  const std::string message = Message();
  std::string text = message;
  for (const SigningKey* key : keys) {
    text += release::SignatureLine(key->KeyId(), key->Sign(message));
  }
  return text;
}

Mupdate::ReleaseKeys TrustOnly(const std::vector<const SigningKey*>& keys,
                               std::uint64_t not_before) {
  Mupdate::ReleaseKeys trusted;
  for (const SigningKey* key : keys) trusted.points.push_back(key->point());
  trusted.not_before = not_before;
  return trusted;
}

}  // namespace kvt::testing
