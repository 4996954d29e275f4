#include "support/temp_dir.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace kvt::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/kvt-test-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
  path_ = name.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only entries behind; give the owner access before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      ::chmod(it->path().c_str(), 0755);
    }
  }
  std::filesystem::remove_all(path_, ignored);
}

bool WriteFileBytes(const std::string& linux_path, const std::string& bytes) {
  std::ofstream out(linux_path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::optional<std::string> ReadFileBytes(const std::string& linux_path) {
  std::ifstream in(linux_path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool PathExists(const std::string& linux_path) {
  struct stat st;
  return ::lstat(linux_path.c_str(), &st) == 0;
}

std::vector<std::string> OpenFilesIn(const std::string& linux_folder) {
  namespace fs = std::filesystem;
  std::error_code error;
  std::string folder = fs::weakly_canonical(linux_folder, error).string();
  if (!folder.empty() && folder.back() != '/') folder += '/';
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator("/proc/self/fd", error)) {
    const std::string target = fs::read_symlink(e.path(), error).string();
    if (!error && target.rfind(folder, 0) == 0) names.push_back(target.substr(folder.size()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool EnterOwnMountNamespace() {
  static const bool entered = ::unshare(CLONE_NEWNS) == 0 &&
                              ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return entered;
}

SmallVolume::SmallVolume(std::string linux_folder, std::size_t bytes)
    : folder_(std::move(linux_folder)) {
  const std::string options = "size=" + std::to_string(bytes);
  mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

SmallVolume::~SmallVolume() {
  if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
}

}  // namespace kvt::testing
