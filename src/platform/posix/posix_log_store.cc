#include <fcntl.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/posix/posix.h"

namespace kvt::posix {
namespace {

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteFile(const std::string& path, const std::string& bytes, int flags) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, bytes);
  return ::close(fd) == 0 && ok;
}

}  // namespace

std::string PosixLogStore::Folder() {
  const char* dir = std::getenv("TMPDIR");
  std::string folder = dir != nullptr && *dir != '\0' ? dir : "/tmp";
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string PosixLogStore::SystemDescription() {
  struct utsname name {};
  if (::uname(&name) != 0) return "unknown";
  return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

platform::LocalTime PosixLogStore::Now() {
  struct timeval tv {};
  ::gettimeofday(&tv, nullptr);
  struct tm t {};
  const time_t seconds = tv.tv_sec;
  ::localtime_r(&seconds, &t);
  return {t.tm_year + 1900,
          t.tm_mon + 1,
          t.tm_mday,
          t.tm_hour,
          t.tm_min,
          t.tm_sec,
          static_cast<int>(tv.tv_usec / 1000)};
}

bool PosixLogStore::Replace(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool PosixLogStore::Write(const std::string& path, const std::string& bytes) {
  return WriteFile(path, bytes, O_TRUNC);
}

bool PosixLogStore::Append(const std::string& path, const std::string& bytes) {
  return WriteFile(path, bytes, O_APPEND);
}

}  // namespace kvt::posix
