// The three commands of kvt-release. Each returns the process exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvt::release {

struct MakeOptions {
  std::string out_dir, version, base_url, extractor, archive;
  std::vector<std::string> sign_keys;  // private key files; none: no signature file
  std::int64_t issued = 0;             // the signature file's "issued" time
};
// Writes the manifest (code page 936) and copies the two files into `out_dir`, with the
// signature file when keys are given; prints sizes and SHA-256. 0 when written, 1 when the input
// would break the installer or a key cannot be read (nothing is written).
int RunMake(const MakeOptions& options);

// Makes a P-256 signing key in a new file (mode 0600) and prints its public key in the
// KVT_RELEASE_KEYS form and its key id. 0 made, 1 not (an existing file is never replaced).
int RunKeygen(const std::string& path);
// Prints the key id and public key of the signing key in `path`. 0 printed, 1 not a P-256 key.
int RunPubkey(const std::string& path);

struct SignReleaseOptions {
  std::string dir;
  std::vector<std::string> keys;  // private key files, one signature line each
  std::int64_t issued = 0;
};
// Writes (or replaces) the signature file of the release folder `dir`. 0 signed, 1 not.
int RunSignRelease(const SignReleaseOptions& options);

struct CheckOptions {
  std::string host;
  std::string expect_dir;  // empty: no comparison
  bool json = false;
  bool https = false;      // the secure installer's release: https:// URLs, TLS on port 443
  std::string ca_file;     // with https: the certificates to trust (empty: the system's store)
  std::uint16_t port = 0;  // reached where the installer connects to port 80 or 443 (0: that port)
  std::string keys;        // KVT_RELEASE_KEYS of the installer; empty: an installer without keys
  std::int64_t not_before = 0;  // KVT_RELEASE_NOT_BEFORE of the installer
  // KVT_VENDOR_MIRRORS of the installer: hosts ("name" or "name:port") that must serve the same
  // bytes under the same paths.
  std::vector<std::string> mirrors;
};
// Reads the release on `host` as the installer does. 0 when the installer would succeed, 1 when
// it would fail (or, with an expected release, a file differs from it).
int RunCheck(const CheckOptions& options);

struct SignOptions {
  std::string exe, cert, key, pass_file, ca_file, timestamp_url, out;
};
// Authenticode-signs the program with osslsigncode and verifies the signature; the signed file
// replaces `out` (default: the program itself) only once it verifies. 0 signed, 1 failed.
int RunSign(const SignOptions& options);

// The whole file, or false.
bool ReadWholeFile(const std::string& path, std::string& bytes);

}  // namespace kvt::release
