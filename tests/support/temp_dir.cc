#include "support/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace kvt::testing
