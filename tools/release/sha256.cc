#include "sha256.h"

#include <fstream>
#include <memory>

#include "net/release_signature.h"
#include "platform/posix/posix.h"

namespace kvt::release {

bool Sha256File(const std::string& path, std::string& hex, std::uint64_t& size) {
  std::ifstream in(path, std::ios::binary);
  posix::PosixCrypto crypto;
  const std::unique_ptr<platform::Sha256> hash = crypto.NewSha256();
  if (!in || hash == nullptr) return false;
  size = 0;
  char buffer[64 * 1024];
  while (in) {
    in.read(buffer, sizeof buffer);
    const std::streamsize n = in.gcount();
    hash->Update(buffer, static_cast<std::size_t>(n));
    size += static_cast<std::uint64_t>(n);
  }
  if (in.bad()) return false;
  hex = Mupdate::HexOf(hash->Finish());
  return true;
}

}  // namespace kvt::release
