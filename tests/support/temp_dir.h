// A unique folder under $TMPDIR (or /tmp) that is removed with everything in it at the end of its
// lifetime, and small file helpers for tests.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

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
// Names (relative to `linux_folder`, sorted) of the files this process has open in the folder.
std::vector<std::string> OpenFilesIn(const std::string& linux_folder);

// Gives this process a mount namespace of its own, so that what it mounts stays unseen by the
// rest of the machine and goes with the process. Must run before the process starts a thread;
// false where it is not allowed (not root).
bool EnterOwnMountNamespace();

// A tmpfs volume of `bytes` mounted on `linux_folder` (in the process's own mount namespace)
// while it lives: a small disk that can really fill up.
class SmallVolume {
 public:
  SmallVolume(std::string linux_folder, std::size_t bytes);
  ~SmallVolume();
  SmallVolume(const SmallVolume&) = delete;
  SmallVolume& operator=(const SmallVolume&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

}  // namespace kvt::testing
