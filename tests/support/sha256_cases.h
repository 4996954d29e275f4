// SHA-256 as the download gives it, for every crypto adapter: pieces of many sizes from one
// buffer that the caller overwrites right after each Update, against digests known in advance.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "net/release_signature.h"
#include "platform/crypto.h"

namespace kvt::testing {

// The bytes hashed: no 64 KiB stretch of them equals another, so bytes digested out of order
// or twice change the digest.
inline char Sha256CaseByte(std::size_t i) {
  return static_cast<char>((i ^ (i >> 8) ^ (i >> 16)) & 0xff);
}
inline constexpr std::size_t kSha256CaseBytes = 1000003;
// Python: hashlib.sha256(bytes((i ^ i >> 8 ^ i >> 16) & 255 for i in range(1000003)))
inline constexpr char kSha256CaseDigest[] =
    "c38c163a1dbcdf5d1042358d7958d049626721930e9e6686d0b2347bd099f7f7";
inline constexpr char kSha256EmptyDigest[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

inline void CheckSha256InPieces(platform::Crypto& crypto) {
  struct Row {
    const char* name;
    std::vector<std::size_t> pieces;
    std::size_t rest;  // then the rest of the bytes in pieces of this size
    bool finish;       // else the computation is destroyed after the last Update
  };
  const std::vector<Row> rows = {
      {"nothing given", {}, 0, true},
      {"one piece larger than all the buffers of an adapter", {kSha256CaseBytes}, 0, true},
      {"pieces of 0, 1 and around 64 KiB", {0, 1, 65535, 0, 65536, 65537, 0, 300000}, 4099, true},
      {"small pieces", {}, 997, true},
      // Given up with undigested pieces held: destruction must return (a hang fails the test by
      // its time-out) and leave nothing behind (the ASan preset checks leaks and late access).
      {"destroyed unfinished", {kSha256CaseBytes}, 0, false},
  };
  std::vector<char> buffer;
  for (int round = 0; round < 3; ++round) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.name);
      std::unique_ptr<platform::Sha256> sha = crypto.NewSha256();
      ASSERT_NE(sha, nullptr);
      std::size_t given = 0;
      const auto give = [&](std::size_t n) {
        buffer.resize(n);
        for (std::size_t i = 0; i < n; ++i) buffer[i] = Sha256CaseByte(given + i);
        sha->Update(buffer.data(), n);
        std::fill(buffer.begin(), buffer.end(), '\xAA');  // the caller's buffer, reused at once
        given += n;
      };
      for (const std::size_t n : row.pieces) give(n);
      while (row.rest > 0 && given < kSha256CaseBytes) {
        give(std::min(row.rest, kSha256CaseBytes - given));
      }
      if (!row.finish) continue;
      EXPECT_EQ(Mupdate::HexOf(sha->Finish()), given == 0 ? kSha256EmptyDigest : kSha256CaseDigest);
    }
  }
}

}  // namespace kvt::testing
