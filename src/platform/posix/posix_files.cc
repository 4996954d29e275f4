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

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

long long ModifiedNs(const struct stat& st) {
  return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
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
  for (const auto& [fd, path] : open_files_) ::close(fd);
  for (const auto& [fd, held] : held_files_) ::close(fd);
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
  open_files_[fd] = p;
  return ToHandle(fd);
}

platform::FileResult PosixFileSystem::DeleteOpen(platform::FileHandle file) {
  const int fd = static_cast<int>(file - 1);
  auto it = file == 0 ? open_files_.end() : open_files_.find(fd);
  if (it == open_files_.end()) return platform::FileResult::kFailed;
  struct stat ours, named;
  const bool same =
      ::fstat(fd, &ours) == 0 && ::lstat(it->second.c_str(), &named) == 0 && SameFile(ours, named);
  const bool deleted = same && ::unlink(it->second.c_str()) == 0;
  ::close(fd);
  open_files_.erase(it);
  return deleted ? platform::FileResult::kOk : platform::FileResult::kFailed;
}

platform::FileResult PosixFileSystem::HoldAs(platform::FileHandle& file, const std::string& to,
                                             std::uint64_t size, platform::HeldFile& held) {
  held = 0;
  const int fd = static_cast<int>(file - 1);
  auto it = file == 0 ? open_files_.end() : open_files_.find(fd);
  if (it == open_files_.end()) return platform::FileResult::kFailed;
  bool ok;
  const std::string target = ToLinuxPath(to, ok);
  if (!ok) return platform::FileResult::kFailed;
  struct stat written;
  if (::fstat(fd, &written) != 0 || static_cast<std::uint64_t>(written.st_size) != size) {
    return platform::FileResult::kChanged;
  }
  if (::renameat2(AT_FDCWD, it->second.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
    return Failure(errno);  // still open: the caller may try again
  }
  // Other users may no longer open it for writing; the bits to run it stay.
  (void)::fchmod(fd, written.st_mode & 07555);
  ::close(fd);
  open_files_.erase(it);
  file = 0;

  const int reader = ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (reader < 0) return platform::FileResult::kChanged;
  struct stat now;
  if (::fstat(reader, &now) != 0 || !SameFile(now, written) ||
      static_cast<std::uint64_t>(now.st_size) != size) {
    ::close(reader);
    return platform::FileResult::kChanged;
  }
  held_files_[reader] = Held{target, size, ModifiedNs(now)};
  held = ToHandle(reader);
  return platform::FileResult::kOk;
}

bool PosixFileSystem::StillHeld(platform::HeldFile held) {
  auto it = held == 0 ? held_files_.end() : held_files_.find(static_cast<int>(held - 1));
  if (it == held_files_.end()) return false;
  struct stat ours, named;
  return ::fstat(it->first, &ours) == 0 && ::lstat(it->second.path.c_str(), &named) == 0 &&
         SameFile(ours, named) && static_cast<std::uint64_t>(ours.st_size) == it->second.size &&
         ModifiedNs(ours) == it->second.mtime_ns;
}

bool PosixFileSystem::Release(platform::HeldFile held) {
  auto it = held == 0 ? held_files_.end() : held_files_.find(static_cast<int>(held - 1));
  if (it == held_files_.end()) return false;
  const int fd = it->first;
  held_files_.erase(it);
  return ::close(fd) == 0;
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

bool PosixFileSystem::ReadAllBytes(const std::string& path, std::size_t max_bytes,
                                   std::string& bytes) {
  bytes.clear();
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
    // Never more than one byte past the limit: enough to tell that the file is larger.
    // (bytes.size() <= max_bytes here.)
    const std::size_t left = max_bytes - bytes.size();
    const ssize_t n = ::read(fd, chunk, left < sizeof chunk ? left + 1 : sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      bytes.clear();
      return false;
    }
    if (n == 0) break;
    bytes.append(chunk, static_cast<std::size_t>(n));
    if (bytes.size() > max_bytes) {
      ::close(fd);
      bytes.clear();
      return false;
    }
  }
  ::close(fd);
  return true;
}

std::string PosixFileSystem::TextFromBytes(const std::string& bytes) {
  // Linux's own code page is UTF-8: bytes that are not UTF-8 stay as they are.
  return platform::DecodeText(bytes, [](const std::string& ansi) { return ansi; });
}

bool PosixFileSystem::FileSize(const std::string& path, std::uint64_t& bytes) {
  bytes = 0;
  bool ok;
  const std::string p = ToLinuxPath(path, ok);
  struct stat st;
  if (!ok || ::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  bytes = static_cast<std::uint64_t>(st.st_size);
  return true;
}

std::string PosixFileSystem::ProgramFolder() { return program_folder_; }

// errno right after the call that failed is that call's.
std::uint32_t PosixFileSystem::LastErrorCode() { return static_cast<std::uint32_t>(errno); }

}  // namespace kvt::posix
