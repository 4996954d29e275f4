// The signature file checker on any bytes. Seeds are valid signature files of the reference
// release; the fuzzer mutates them. Invariants:
// - the checker calls a file malformed exactly when the parser refuses it, and what the parser
//   accepts has one spelling only: its fields written out again give the input byte for byte;
// - valid only when the signed part is byte-identical to the reference signer's message, the file
//   lines are the reference release's and a signature line names a trusted key;
// - the signed files are handed out on kValid only.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_release.h"
#include "net/release_signature.h"
#include "signature_text.h"
#include "platform/posix/posix.h"

namespace kvt::fuzz {
namespace {

using Mupdate::SignatureCheck;
using Mupdate::SignatureFile;

// The exact text of a parsed file.
std::string Spell(const SignatureFile& file) {
  std::string text = "KVT-RELEASE-SIGNATURE 1\nissued: " + std::to_string(file.issued) +
                     "\nmanifest: " + Mupdate::HexOf(file.manifest_sha256) + "\n";
  for (const Mupdate::SignedFile& f : file.files) {
    text += "file: " + std::to_string(f.size) + " " + Mupdate::HexOf(f.sha256) + " " + f.url + "\n";
  }
  KVT_FUZZ_CHECK(text == file.signed_message);
  for (const SignatureFile::Signature& s : file.signatures) {
    platform::Sha256Digest id{};
    std::copy(s.key_id.begin(), s.key_id.end(), id.begin());
    text +=
        "signature: " + Mupdate::HexOf(id).substr(0, 16) + " " + release::EncodeBase64(s.rs) + "\n";
  }
  return text;
}

bool NamesTrustedKey(const SignatureFile& file) {
  for (const SignatureFile::Signature& s : file.signatures) {
    platform::Sha256Digest id{};
    std::copy(s.key_id.begin(), s.key_id.end(), id.begin());
    const std::string hex = Mupdate::HexOf(id).substr(0, 16);
    if (hex == KeyA().KeyId() || hex == KeyB().KeyId()) return true;
  }
  return false;
}

}  // namespace
}  // namespace kvt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kvt;
  using namespace kvt::fuzz;
  static posix::PosixCrypto crypto;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const testing::SignedRelease& release = Release();

  std::vector<Mupdate::SignedFile> files{Mupdate::SignedFile{}};  // must be emptied unless valid
  const SignatureCheck check =
      Mupdate::CheckReleaseSignature(crypto, input, release.manifest, Urls(), Trusted(), &files);
  Mupdate::SignatureFile parsed;
  const bool well_formed = Mupdate::ParseSignatureFile(input, parsed);
  KVT_FUZZ_CHECK(well_formed == (check != SignatureCheck::kMalformed));
  if (well_formed) KVT_FUZZ_CHECK(Spell(parsed) == input);

  if (check != SignatureCheck::kValid) {
    KVT_FUZZ_CHECK(files.empty());
    return 0;
  }
  const std::string message = release.Message();
  KVT_FUZZ_CHECK(parsed.signed_message == message);
  KVT_FUZZ_CHECK(input.compare(0, message.size(), message) == 0);
  KVT_FUZZ_CHECK(NamesTrustedKey(parsed));
  KVT_FUZZ_CHECK(files.size() == release.files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto& [url, bytes] = release.files[i];
    KVT_FUZZ_CHECK(files[i].url == url);
    KVT_FUZZ_CHECK(files[i].size == static_cast<std::int64_t>(bytes.size()));
    KVT_FUZZ_CHECK(Mupdate::HexOf(files[i].sha256) == testing::Sha256Hex(bytes));
  }
  return 0;
}
