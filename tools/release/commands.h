// The three commands of kvt-release. Each returns the process exit status.
#pragma once

#include <cstdint>
#include <string>

namespace kvt::release {

struct MakeOptions {
  std::string out_dir, version, base_url, extractor, archive;
};
// Writes the manifest (code page 936) and copies the two files into `out_dir`; prints sizes and
// SHA-256. 0 when written, 1 when the input would break the installer (nothing is written).
int RunMake(const MakeOptions& options);

struct CheckOptions {
  std::string host;
  std::string expect_dir;  // empty: no comparison
  bool json = false;
  bool https = false;      // the secure installer's release: https:// URLs, TLS on port 443
  std::string ca_file;     // with https: the certificates to trust (empty: the system's store)
  std::uint16_t port = 0;  // reached where the installer connects to port 80 or 443 (0: that port)
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
