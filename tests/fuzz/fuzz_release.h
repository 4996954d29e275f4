// What the fuzz targets and their seed maker share: a release signed with keys made for the
// fuzzers alone (two trusted, one stranger's), the reference signature file a reference signer
// makes of it, the marker that splits one input into the responses of successive connections, and
// the invariant check that stops a run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "net/release_signature.h"
#include "support/release_signer.h"

namespace kvt::fuzz {

// The trusted keys, and one that no fuzzer trusts (its signature lines must be passed over).
const testing::SigningKey& KeyA();
const testing::SigningKey& KeyB();
const testing::SigningKey& Stranger();

// The reference release: a manifest naming two downloads, and what was signed about it.
const testing::SignedRelease& Release();
// The manifest's two URLs (extractor, archive), in its order.
std::vector<std::string> Urls();
// Trusts KeyA and KeyB; refuses files issued before the release.
const Mupdate::ReleaseKeys& Trusted();

// Where one served response ends and the next connection's begins.
inline constexpr std::string_view kNext = "\n#next#\n";
std::vector<std::string> Segments(std::string_view data);

// Reports a broken invariant and aborts, so that libFuzzer keeps the input that broke it.
[[noreturn]] void Fail(const char* what, const char* file, int line);

}  // namespace kvt::fuzz

#define KVT_FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::kvt::fuzz::Fail(#condition, __FILE__, __LINE__))
