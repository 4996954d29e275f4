// A unique folder under $TMPDIR (or /tmp) that is removed with everything in it at the end of its
// lifetime, and small file helpers for tests.
#pragma once

#include <optional>
#include <string>

namespace kvt::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's Linux path, without a trailing slash.
  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string Sub(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes `bytes` to the file (creating or truncating it); false on failure.
bool WriteFileBytes(const std::string& linux_path, const std::string& bytes);
// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::string& linux_path);
bool PathExists(const std::string& linux_path);

}  // namespace kvt::testing
