// The release's signature file against the installer's check, with the OpenSSL crypto adapter
// and key pairs made for the test: each malformed form, each way a signature or a release can
// fail, and key rotation.
#include "net/release_signature.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/posix.h"
#include "platform/sha256_pipeline.h"
#include "support/release_signer.h"
#include "support/sha256_cases.h"

namespace kvt {
namespace {

using Mupdate::SignatureCheck;
using testing::SigningKey;

constexpr char kExtractorUrl[] = "http://update.example.com/kvt/UnRAR.exe";
constexpr char kArchiveUrl[] = "http://update.example.com/kvt/KVT_SETUP.rar";

const SigningKey& KeyA() {
  static const SigningKey key;
  return key;
}
const SigningKey& KeyB() {
  static const SigningKey key;
  return key;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  const std::size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

// One check: a release signed by `signers`, spoiled by the row, checked against `keys`.
struct Input {
  testing::SignedRelease release{
      std::string("2.1\r\n") + kExtractorUrl + "\r\n" + kArchiveUrl,
      {{kExtractorUrl, std::string(3000, 'x')}, {kArchiveUrl, std::string(70000, 'y')}}};
  std::vector<const SigningKey*> signers{&KeyA()};
  bool flip_signature_bit = false;
  std::function<std::string(std::string)> edit_message = [](std::string s) { return s; };
  std::function<std::string(std::string)> edit_file = [](std::string s) { return s; };
  std::string manifest = release.manifest;
  std::vector<std::string> urls{kExtractorUrl, kArchiveUrl};
  Mupdate::ReleaseKeys keys = testing::TrustOnly({&KeyA()});

  std::string File() const {
    const std::string message = edit_message(release.Message());
    std::string file = message;
    for (const SigningKey* key : signers) {
      std::string rs = key->Sign(message);
      if (flip_signature_bit) rs[40] = static_cast<char>(rs[40] ^ 0x10);
      file += "signature: " + key->KeyId() + " " + release::EncodeBase64(rs) + "\n";
    }
    return edit_file(file);
  }
};

// Lengthens the archive URL (in the release and the manifest's URLs) until the signature file
// has `size` bytes.
void PadToSize(Input& in, std::size_t size) {
  const std::size_t now = in.File().size();
  std::string& url = in.release.files[1].first;
  url += "?" + std::string(size - now - 1, 'p');
  in.urls[1] = url;
}

struct Row {
  const char* name;
  std::function<void(Input&)> spoil;
  SignatureCheck expected;
};

TEST(ReleaseSignatureTest, ChecksTheFormatTheSignaturesAndTheRelease) {
  const std::vector<Row> rows = {
      {"valid", [](Input&) {}, SignatureCheck::kValid},
      {"issued far in the future (a wrong PC clock)",
       [](Input& in) { in.release.issued = 4102444800; }, SignatureCheck::kValid},
      {"issued exactly at the not-before time",
       [](Input& in) { in.keys.not_before = in.release.issued; }, SignatureCheck::kValid},
      {"issued before the not-before time",
       [](Input& in) { in.keys.not_before = in.release.issued + 1; }, SignatureCheck::kTooOld},
      {"an unknown key only", [](Input& in) { in.signers = {&KeyB()}; },
       SignatureCheck::kNoKnownKey},
      {"an unknown and a valid signature (rotation)",
       [](Input& in) {
         in.signers = {&KeyB(), &KeyA()};
       },
       SignatureCheck::kValid},
      {"two trusted keys, signed by the second",
       [](Input& in) {
         in.keys = testing::TrustOnly({&KeyA(), &KeyB()});
         in.signers = {&KeyB()};
       },
       SignatureCheck::kValid},
      // As many signature lines as a file may carry, the valid one last, and one more: refused
      // however many name the trusted key, before any of them is verified.
      {"eight signature lines, the valid one last",
       [](Input& in) {
         in.signers = {&KeyB(), &KeyB(), &KeyB(), &KeyB(), &KeyB(), &KeyB(), &KeyB(), &KeyA()};
       },
       SignatureCheck::kValid},
      {"nine signature lines",
       [](Input& in) {
         in.signers = {&KeyB(), &KeyB(), &KeyB(), &KeyB(), &KeyB(),
                       &KeyB(), &KeyB(), &KeyB(), &KeyA()};
       },
       SignatureCheck::kMalformed},
      {"nine lines of the trusted key", [](Input& in) { in.signers.assign(9, &KeyA()); },
       SignatureCheck::kMalformed},
      // The file's size limit, reached through an archive URL that long.
      {"64 KiB exactly", [](Input& in) { PadToSize(in, 65536); }, SignatureCheck::kValid},
      {"one byte more than 64 KiB", [](Input& in) { PadToSize(in, 65537); },
       SignatureCheck::kMalformed},
      {"no trusted key at all", [](Input& in) { in.keys.points.clear(); },
       SignatureCheck::kNoKnownKey},
      {"a flipped bit in the signature", [](Input& in) { in.flip_signature_bit = true; },
       SignatureCheck::kBadSignature},
      {"a signed size changed after signing",
       [](Input& in) {
         in.edit_file = [](std::string s) { return Replace(s, "file: 3000 ", "file: 3001 "); };
       },
       SignatureCheck::kBadSignature},
      {"a flipped bit in the manifest",
       [](Input& in) { in.manifest[1] = static_cast<char>(in.manifest[1] ^ 0x01); },
       SignatureCheck::kManifestChanged},
      {"the manifest's URLs swapped",
       [](Input& in) {
         in.urls = {kArchiveUrl, kExtractorUrl};
       },
       SignatureCheck::kUrlMismatch},
      {"a manifest without extractor URL", [](Input& in) { in.urls = {kArchiveUrl}; },
       SignatureCheck::kUrlMismatch},
      {"a URL differing in case",
       [](Input& in) { in.urls[1] = Replace(in.urls[1], "KVT_SETUP", "kvt_setup"); },
       SignatureCheck::kUrlMismatch},
      // Malformed, each properly signed: only the form is wrong.
      {"unknown first line",
       [](Input& in) {
         in.edit_message = [](std::string s) { return Replace(s, "SIGNATURE 1", "SIGNATURE 2"); };
       },
       SignatureCheck::kMalformed},
      {"CR LF line ends",
       [](Input& in) {
         in.edit_file = [](std::string s) {
           std::string out;
           for (char c : s) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
           return out;
         };
       },
       SignatureCheck::kMalformed},
      {"no LF after the last line",
       [](Input& in) { in.edit_file = [](std::string s) { return s.substr(0, s.size() - 1); }; },
       SignatureCheck::kMalformed},
      {"issued with a leading zero",
       [](Input& in) {
         in.edit_message = [](std::string s) { return Replace(s, "issued: ", "issued: 0"); };
       },
       SignatureCheck::kMalformed},
      {"issued with a sign",
       [](Input& in) {
         in.edit_message = [](std::string s) { return Replace(s, "issued: ", "issued: +"); };
       },
       SignatureCheck::kMalformed},
      {"a size with a leading zero",
       [](Input& in) {
         in.edit_message = [](std::string s) { return Replace(s, "file: 3000", "file: 03000"); };
       },
       SignatureCheck::kMalformed},
      {"upper-case hex",
       [](Input& in) {
         in.edit_message = [](std::string s) {
           const std::size_t at = s.find("manifest: ") + 10;
           for (std::size_t i = at; i < at + 64; ++i) s[i] = static_cast<char>(std::toupper(s[i]));
           return s;
         };
         in.release.manifest = "a";  // whose hash has letters
         in.manifest = "a";
       },
       SignatureCheck::kMalformed},
      {"issued missing",
       [](Input& in) {
         in.edit_message = [](std::string s) {
           const std::size_t at = s.find("issued: ");
           return s.erase(at, s.find('\n', at) + 1 - at);
         };
       },
       SignatureCheck::kMalformed},
      {"manifest repeated",
       [](Input& in) {
         in.edit_message = [](std::string s) {
           const std::size_t at = s.find("manifest: ");
           return s.insert(at, s.substr(at, s.find('\n', at) + 1 - at));
         };
       },
       SignatureCheck::kMalformed},
      {"an empty line among the fields",
       [](Input& in) { in.edit_message = [](std::string s) { return Replace(s, "\n", "\n\n"); }; },
       SignatureCheck::kMalformed},
      {"two blanks in a file line",
       [](Input& in) {
         in.edit_message = [](std::string s) { return Replace(s, "file: ", "file:  "); };
       },
       SignatureCheck::kMalformed},
      {"no file line",
       [](Input& in) {
         in.release.files.clear();
         in.urls.clear();
       },
       SignatureCheck::kMalformed},
      {"no signature line", [](Input& in) { in.signers.clear(); }, SignatureCheck::kMalformed},
      {"a line after the signatures",
       [](Input& in) {
         in.edit_file = [](std::string s) {
           return s + "file: 1 " + std::string(64, '0') + " http://x/y\n";
         };
       },
       SignatureCheck::kMalformed},
      {"a key id one digit short",
       [](Input& in) {
         in.edit_file = [](std::string s) {
           return Replace(s, "signature: " + KeyA().KeyId(),
                          "signature: " + KeyA().KeyId().substr(1));
         };
       },
       SignatureCheck::kMalformed},
      {"a signature in non-canonical base64 (unused bits set)",
       [](Input& in) {
         in.edit_file = [](std::string s) {
           const std::size_t at = s.rfind("==\n") - 1;  // its low four bits are unused: zero
           s[at] = s[at] == 'A' ? 'B' : static_cast<char>(s[at] + 1);
           return s;
         };
       },
       SignatureCheck::kMalformed},
  };
  posix::PosixCrypto crypto;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Input in;
    row.spoil(in);
    std::vector<Mupdate::SignedFile> files{Mupdate::SignedFile{}};
    const SignatureCheck got =
        Mupdate::CheckReleaseSignature(crypto, in.File(), in.manifest, in.urls, in.keys, &files);
    EXPECT_STREQ(Mupdate::SignatureCheckName(got), Mupdate::SignatureCheckName(row.expected));
    if (got != SignatureCheck::kValid) {
      EXPECT_TRUE(files.empty());
      continue;
    }
    // What each download must be: the signed size and SHA-256, in the manifest's order.
    ASSERT_EQ(files.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(files[i].url, in.release.files[i].first);
      EXPECT_EQ(files[i].size, static_cast<std::int64_t>(in.release.files[i].second.size()));
      EXPECT_EQ(Mupdate::HexOf(files[i].sha256), testing::Sha256Hex(in.release.files[i].second));
    }
  }
}

TEST(ReleaseSignatureTest, ReleaseKeysSettingIsReadStrictly) {
  const std::string a = release::EncodeBase64(KeyA().point());
  const std::string b = release::EncodeBase64(KeyB().point());
  std::string compressed = KeyA().point();
  compressed[0] = '\x02';
  const struct {
    std::string text;
    bool ok;
    std::size_t keys;
  } rows[] = {
      {"", true, 0},
      {a, true, 1},
      {" " + a + " ; " + b + ";", true, 2},
      {a + ";" + a.substr(0, 86) + "==", false, 0},  // 64 bytes
      {release::EncodeBase64(compressed), false, 0},
      {a.substr(0, 86) + "B=", false, 0},  // unused bits set
      {a + ";x", false, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    std::vector<std::string> points{"stale"};
    EXPECT_EQ(Mupdate::ParseReleaseKeys(row.text, points), row.ok);
    EXPECT_EQ(points.size(), row.keys);
  }
  // The keys of this build (the linux preset has none): a build without keys asks for nothing.
  EXPECT_TRUE(Mupdate::BuildReleaseKeys().points.empty());
}

TEST(PosixCryptoTest, Sha256InPieces) {
  posix::PosixCrypto crypto;
  testing::CheckSha256InPieces(crypto);
}

// The pieces are digested on a thread of their own: while the digest is held up, Update goes on
// returning as long as the buffers hold the pieces, and Finish hands every byte over in order.
TEST(PosixCryptoTest, UpdateDoesNotWaitForTheDigest) {
  struct Gate : platform::Sha256 {
    void Update(const char* data, std::size_t size) override {
      std::unique_lock<std::mutex> lock(mutex);
      cv.wait(lock, [this] { return open; });
      seen.append(data, size);
    }
    platform::Sha256Digest Finish() override { return {}; }
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    std::string seen;
  };
  auto owned = std::make_unique<Gate>();
  Gate& gate = *owned;
  posix::PosixThreads threads;
  const std::unique_ptr<platform::Sha256> sha =
      platform::NewPipelinedSha256(std::move(owned), threads);
  std::string given;
  for (std::size_t i = 0; i < platform::kSha256PipelineSlots; ++i) {
    const std::string piece(platform::kSha256PipelineSlotSize - i, static_cast<char>('a' + i));
    sha->Update(piece.data(), piece.size());  // with a digest on the caller's thread: a hang
    given += piece;
  }
  {
    const std::lock_guard<std::mutex> lock(gate.mutex);
    EXPECT_EQ(gate.seen, "");
    gate.open = true;
  }
  gate.cv.notify_all();
  sha->Finish();
  EXPECT_EQ(gate.seen, given);
}

}  // namespace
}  // namespace kvt
