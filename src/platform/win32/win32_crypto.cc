// SHA-256 and ECDSA P-256 through CNG (bcrypt.dll, Windows Vista and later).
#include "platform/win32/win32_adapters.h"  // first: it tames <windows.h>'s name macros

#include <bcrypt.h>

#include <cstring>
#include <functional>
#include <memory>

#include "platform/sha256_pipeline.h"
#include "platform/win32/win32_handles.h"

namespace kvt::win32 {
namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

// An algorithm provider, closed when it goes out of scope.
class Provider {
 public:
  explicit Provider(LPCWSTR algorithm) {
    if (!Succeeded(::BCryptOpenAlgorithmProvider(&h_, algorithm, nullptr, 0))) h_ = nullptr;
  }
  ~Provider() {
    if (h_ != nullptr) ::BCryptCloseAlgorithmProvider(h_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  BCRYPT_ALG_HANDLE get() const { return h_; }

 private:
  BCRYPT_ALG_HANDLE h_ = nullptr;
};

class CngSha256 : public platform::Sha256 {
 public:
  CngSha256() : provider_(BCRYPT_SHA256_ALGORITHM) {
    // Windows 7 and later allocate the hash object themselves when given none.
    if (provider_.get() == nullptr ||
        !Succeeded(::BCryptCreateHash(provider_.get(), &hash_, nullptr, 0, nullptr, 0, 0))) {
      hash_ = nullptr;
    }
  }
  ~CngSha256() override {
    if (hash_ != nullptr) ::BCryptDestroyHash(hash_);
  }
  bool ok() const { return hash_ != nullptr; }

  void Update(const char* data, std::size_t size) override {
    // BCryptHashData takes at most 4 GiB - 1 at a time.
    while (ok_ && size > 0) {
      const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
      ok_ = Succeeded(
          ::BCryptHashData(hash_, reinterpret_cast<PUCHAR>(const_cast<char*>(data)), piece, 0));
      data += piece;
      size -= piece;
    }
  }
  platform::Sha256Digest Finish() override {
    platform::Sha256Digest digest{};
    // A failed computation gives zeros, which no comparison accepts by chance.
    if (!ok_ || !Succeeded(::BCryptFinishHash(hash_, digest.data(),
                                              static_cast<ULONG>(digest.size()), 0))) {
      digest.fill(0);
    }
    ok_ = false;
    return digest;
  }

 private:
  Provider provider_;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  bool ok_ = true;
};

// An auto-reset event.
class EventWakeup : public platform::Wakeup {
 public:
  explicit EventWakeup(UniqueHandle event) : event_(std::move(event)) {}
  void Give() override { ::SetEvent(event_.Get()); }
  void Wait() override { ::WaitForSingleObject(event_.Get(), INFINITE); }

 private:
  UniqueHandle event_;
};

class JoinedThread : public platform::Joinable {
 public:
  explicit JoinedThread(UniqueHandle thread) : thread_(std::move(thread)) {}
  ~JoinedThread() override { ::WaitForSingleObject(thread_.Get(), INFINITE); }

 private:
  UniqueHandle thread_;
};

DWORD WINAPI RunBody(LPVOID parameter) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
  (*body)();
  return 0;
}

// Windows threads (the product's C++ runtime has no std::thread).
class Win32Threads : public platform::ThreadKit {
 public:
  std::unique_ptr<platform::Wakeup> NewWakeup() override {
    UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!event) return nullptr;
    return std::make_unique<EventWakeup>(std::move(event));
  }
  std::unique_ptr<platform::Joinable> Start(std::function<void()> body) override {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    UniqueHandle thread(::CreateThread(nullptr, 0, RunBody, owned.get(), 0, nullptr));
    if (!thread) return nullptr;
    (void)owned.release();  // the thread owns it now
    return std::make_unique<JoinedThread>(std::move(thread));
  }
};

}  // namespace

std::unique_ptr<platform::Sha256> CngCrypto::NewSha256() {
  auto sha = std::make_unique<CngSha256>();
  if (!sha->ok()) return nullptr;
  Win32Threads threads;
  return platform::NewPipelinedSha256(std::move(sha), threads);
}

bool CngCrypto::VerifyP256(const std::string& public_point, const std::string& message,
                           const std::string& signature) {
  constexpr std::size_t kCoordinate = 32;
  if (public_point.size() != 1 + 2 * kCoordinate || public_point[0] != '\x04' ||
      signature.size() != 2 * kCoordinate) {
    return false;
  }
  platform::Sha256Digest digest{};
  {
    CngSha256 sha;
    if (!sha.ok()) return false;
    sha.Update(message.data(), message.size());
    digest = sha.Finish();
  }
  // The key blob: the header, then X and Y.
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinate];
  BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, static_cast<ULONG>(kCoordinate)};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, public_point.data() + 1, 2 * kCoordinate);

  Provider provider(BCRYPT_ECDSA_P256_ALGORITHM);
  if (provider.get() == nullptr) return false;
  BCRYPT_KEY_HANDLE key = nullptr;
  if (!Succeeded(::BCryptImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob,
                                       sizeof blob, 0))) {
    return false;
  }
  unsigned char rs[2 * kCoordinate];
  std::memcpy(rs, signature.data(), sizeof rs);
  // Only STATUS_SUCCESS (0) is a valid signature; STATUS_INVALID_SIGNATURE is negative.
  const NTSTATUS status = ::BCryptVerifySignature(
      key, nullptr, digest.data(), static_cast<ULONG>(digest.size()), rs, sizeof rs, 0);
  ::BCryptDestroyKey(key);
  return status == 0;
}

}  // namespace kvt::win32
