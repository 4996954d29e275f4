// SHA-256 and ECDSA P-256 through OpenSSL's libcrypto (EVP).
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/posix/posix.h"

namespace kvt::posix {
namespace {

struct EvpMdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct EvpPkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct EvpPkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct OsslParamFree {
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
struct OsslParamBldFree {
  void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
struct EcdsaSigFree {
  void operator()(ECDSA_SIG* s) const { ECDSA_SIG_free(s); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;

class EvpSha256 : public platform::Sha256 {
 public:
  explicit EvpSha256(MdCtx ctx) : ctx_(std::move(ctx)) {}
  void Update(const char* data, std::size_t size) override {
    ok_ = ok_ && EVP_DigestUpdate(ctx_.get(), data, size) == 1;
  }
  platform::Sha256Digest Finish() override {
    platform::Sha256Digest digest{};
    unsigned int size = 0;
    // A failed computation gives a digest of zeros, which no file hashes to in practice and no
    // comparison accepts by chance.
    if (!ok_ || EVP_DigestFinal_ex(ctx_.get(), digest.data(), &size) != 1 ||
        size != digest.size()) {
      digest.fill(0);
    }
    ok_ = false;
    return digest;
  }

 private:
  MdCtx ctx_;
  bool ok_ = true;
};

class CvWakeup : public platform::Wakeup {
 public:
  void Give() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      given_ = true;
    }
    cv_.notify_one();
  }
  void Wait() override {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return given_; });
    given_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool given_ = false;
};

class JoinedThread : public platform::Joinable {
 public:
  explicit JoinedThread(std::thread thread) : thread_(std::move(thread)) {}
  ~JoinedThread() override { thread_.join(); }

 private:
  std::thread thread_;
};

// The public key of the point 04 || X || Y on P-256; null when it is no such point.
std::unique_ptr<EVP_PKEY, EvpPkeyFree> PublicKey(const std::string& point) {
  std::unique_ptr<OSSL_PARAM_BLD, OsslParamBldFree> build(OSSL_PARAM_BLD_new());
  if (!build ||
      OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) !=
          1 ||
      OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                       point.size()) != 1) {
    return nullptr;
  }
  std::unique_ptr<OSSL_PARAM, OsslParamFree> params(OSSL_PARAM_BLD_to_param(build.get()));
  std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree> ctx(
      EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  std::unique_ptr<EVP_PKEY, EvpPkeyFree> owned(key);
  // fromdata does not prove the point lies on the curve; the public-key check does.
  std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree> check(EVP_PKEY_CTX_new(key, nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) != 1) return nullptr;
  return owned;
}

}  // namespace

std::unique_ptr<platform::Wakeup> PosixThreads::NewWakeup() { return std::make_unique<CvWakeup>(); }

std::unique_ptr<platform::Joinable> PosixThreads::Start(std::function<void()> body) {
  try {
    return std::make_unique<JoinedThread>(std::thread(std::move(body)));
  } catch (const std::system_error&) {
    return nullptr;  // no thread to be had: the caller digests on its own thread
  }
}

std::unique_ptr<platform::Sha256> PosixCrypto::NewSha256() {
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return nullptr;
  PosixThreads threads;
  return platform::NewPipelinedSha256(std::make_unique<EvpSha256>(std::move(ctx)), threads);
}

bool PosixCrypto::VerifyP256(const std::string& public_point, const std::string& message,
                             const std::string& signature) {
  if (public_point.size() != 65 || public_point[0] != '\x04' || signature.size() != 64) {
    return false;
  }
  const std::unique_ptr<EVP_PKEY, EvpPkeyFree> key = PublicKey(public_point);
  if (!key) return false;
  // r || s into the DER form OpenSSL verifies.
  const auto* rs = reinterpret_cast<const unsigned char*>(signature.data());
  std::unique_ptr<ECDSA_SIG, EcdsaSigFree> sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(rs, 32, nullptr);
  BIGNUM* s = BN_bin2bn(rs + 32, 32, nullptr);
  if (!sig || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  unsigned char* der = nullptr;
  const int der_size = i2d_ECDSA_SIG(sig.get(), &der);
  if (der_size <= 0) return false;
  const std::unique_ptr<unsigned char, void (*)(unsigned char*)> der_owner(
      der, [](unsigned char* p) { OPENSSL_free(p); });
  MdCtx ctx(EVP_MD_CTX_new());
  return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
         EVP_DigestVerify(ctx.get(), der, static_cast<std::size_t>(der_size),
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

}  // namespace kvt::posix
