// Files under a drive map: Windows paths in, Linux paths underneath.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/posix.h"
#include "platform/text_decoding.h"

namespace kvt::posix {
namespace {

char UpperLetter(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool ForbiddenInName(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u < 32 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*';
}

platform::FileHandle ToHandle(int fd) { return static_cast<platform::FileHandle>(fd) + 1; }

platform::FileResult Result(bool ok) {
  return ok ? platform::FileResult::kOk : platform::FileResult::kFailed;
}

// The result of a call that failed with `error`.
platform::FileResult Failure(int error) {
  return error == ENOSPC || error == EDQUOT ? platform::FileResult::kDiskFull
                                            : platform::FileResult::kFailed;
}

}  // namespace

PosixFileSystem::PosixFileSystem(std::map<char, std::string> drives, std::string program_folder)
    : program_folder_(std::move(program_folder)) {
  for (auto& [letter, folder] : drives) {
    std::string root = std::move(folder);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    drives_[UpperLetter(letter)] = std::move(root);
  }
}

PosixFileSystem::~PosixFileSystem() {
  for (int fd : open_files_) ::close(fd);
}

std::string PosixFileSystem::Translate(const std::string& windows_path, bool check_names,
                                       bool& ok) const {
  ok = false;
  if (windows_path.size() < 2 || !IsLetter(windows_path[0]) || windows_path[1] != ':') return "";
  auto drive = drives_.find(UpperLetter(windows_path[0]));
  if (drive == drives_.end()) return "";
  // Components between separators; "." dropped, ".." climbs but never above the drive root.
  std::vector<std::string> parts;
  std::string part;
  bool trailing_separator = false;
  auto flush = [&] {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (std::size_t i = 2; i < windows_path.size(); ++i) {
    const char c = windows_path[i];
    if (c == '\\' || c == '/') {
      flush();
      trailing_separator = true;
      continue;
    }
    if (check_names && ForbiddenInName(c)) return "";
    part += c;
    trailing_separator = false;
  }
  flush();
  std::string linux_path = drive->second;
  for (const std::string& p : parts) {
    if (linux_path.empty() || linux_path.back() != '/') linux_path += '/';
    linux_path += p;
  }
  if (trailing_separator && linux_path.back() != '/') linux_path += '/';
  ok = true;
  return linux_path;
}

std::string PosixFileSystem::ToLinuxPath(const std::string& windows_path, bool& ok) const {
  return Translate(windows_path, true, ok);
}

std::string PosixFileSystem::ToLinuxArgument(const std::string& windows_path, bool& ok) const {
  return Translate(windows_path, false, ok);
}

bool PosixFileSystem::FileExists(const std::string& path, bool& ok) {
  ok = !path.empty();
  bool translated;
  const std::string p = ToLinuxPath(path, translated);
  if (!translated) return false;
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PosixFileSystem::DirectoryExists(const std::string& path, bool& ok) {
  ok = !path.empty();
  bool translated;
  const std::string p = ToLinuxPath(path, translated);
  if (!translated) return false;
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PosixFileSystem::CreateDirectory(const std::string& path) {
  bool ok;
  const std::string p = ToLinuxPath(path, ok);
  return ok && ::mkdir(p.c_str(), 0755) == 0;
}

platform::FileResult PosixFileSystem::DeleteFile(const std::string& path) {
  bool ok;
  const std::string p = ToLinuxPath(path, ok);
  return Result(ok && ::unlink(p.c_str()) == 0);
}

platform::FileResult PosixFileSystem::RenameFile(const std::string& from, const std::string& to) {
  bool ok_from, ok_to;
  const std::string f = ToLinuxPath(from, ok_from);
  const std::string t = ToLinuxPath(to, ok_to);
  if (!ok_from || !ok_to) return platform::FileResult::kFailed;
  if (::renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), RENAME_NOREPLACE) == 0) {
    return platform::FileResult::kOk;
  }
  if (errno != EINVAL && errno != ENOSYS) return Failure(errno);
  // File systems without RENAME_NOREPLACE: test, then rename.
  struct stat st;
  if (::lstat(t.c_str(), &st) == 0) return platform::FileResult::kFailed;
  return ::rename(f.c_str(), t.c_str()) == 0 ? platform::FileResult::kOk : Failure(errno);
}

platform::FileHandle PosixFileSystem::CreateForWrite(const std::string& path) {
  bool ok;
  const std::string p = ToLinuxPath(path, ok);
  if (!ok) return 0;
  const int fd = ::open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  open_files_.insert(fd);
  return ToHandle(fd);
}

platform::FileResult PosixFileSystem::WriteAt(platform::FileHandle file, std::uint64_t offset,
                                              const char* data, std::size_t size) {
  if (file == 0) return platform::FileResult::kFailed;
  const int fd = static_cast<int>(file - 1);
  if (open_files_.count(fd) == 0) return platform::FileResult::kFailed;
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failure(errno);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return platform::FileResult::kOk;
}

bool PosixFileSystem::FreeSpace(const std::string& folder, std::uint64_t& bytes) {
  bytes = 0;
  bool ok;
  const std::string p = ToLinuxPath(folder, ok);
  struct statvfs st;
  if (!ok || ::statvfs(p.c_str(), &st) != 0) return false;
  bytes = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}

bool PosixFileSystem::Close(platform::FileHandle file) {
  if (file == 0) return false;
  const int fd = static_cast<int>(file - 1);
  if (open_files_.erase(fd) == 0) return false;
  return ::close(fd) == 0;
}

bool PosixFileSystem::ReadAllText(const std::string& path, std::string& text) {
  if (!ReadAllBytes(path, text)) return false;
  // Linux's own code page is UTF-8: bytes that are not UTF-8 stay as they are.
  text = platform::DecodeText(text, [](const std::string& bytes) { return bytes; });
  return true;
}

bool PosixFileSystem::ReadAllBytes(const std::string& path, std::string& text) {
  text.clear();
  bool ok;
  const std::string p = ToLinuxPath(path, ok);
  if (!ok) return false;
  const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  char chunk[64 * 1024];
  while (true) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      text.clear();
      return false;
    }
    if (n == 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

std::string PosixFileSystem::ProgramFolder() { return program_folder_; }

// errno right after the call that failed is that call's.
std::uint32_t PosixFileSystem::LastErrorCode() { return static_cast<std::uint32_t>(errno); }

}  // namespace kvt::posix
