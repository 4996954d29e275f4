// Name lookup, clocks and the /proc process list.

#include <dirent.h>
#include <netdb.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <fstream>
#include <iterator>

#include "platform/posix/posix.h"

namespace kvt::posix {
namespace {

std::string LowerAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// The last component of a Linux or Windows path.
std::string BaseName(const std::string& path) {
  const std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool ReadSmallFile(const std::string& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool IsZombie(const std::string& proc_dir) {
  std::string stat;
  if (!ReadSmallFile(proc_dir + "/stat", stat)) return false;
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

}  // namespace

int PosixResolver::Startup(std::uint16_t version) {
  ++startups_;
  return 0;
}

bool PosixResolver::GetHostByName(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;  // gethostbyname answers IPv4 only
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return false;
  ::freeaddrinfo(found);
  return true;
}

int PosixResolver::Cleanup() {
  ++cleanups_;
  return 0;
}

double PosixClock::MonotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double PosixClock::SecondsSinceMidnight() {
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local;
  ::localtime_r(&now.tv_sec, &local);
  return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + now.tv_nsec / 1e9;
}

std::string PosixClock::DecimalSeparator() {
  const lconv* conv = std::localeconv();
  if (conv == nullptr || conv->decimal_point == nullptr || conv->decimal_point[0] == 0) return ".";
  return conv->decimal_point;
}

std::vector<std::string> PosixProcessList::NamesOf(int pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  std::vector<std::string> names;
  auto add = [&](std::string name) {
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(std::move(name));
    }
  };
  char target[4096];
  const ssize_t n = ::readlink((dir + "/exe").c_str(), target, sizeof target - 1);
  if (n > 0) {
    std::string exe(target, static_cast<std::size_t>(n));
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() &&
        exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0) {
      exe.resize(exe.size() - deleted.size());
    }
    add(BaseName(exe));
  }
  std::string cmdline;
  if (ReadSmallFile(dir + "/cmdline", cmdline)) {
    add(BaseName(cmdline.substr(0, cmdline.find('\0'))));
  }
  if (n <= 0) {
    // The executable is hidden (another user's process): the kernel's short name, at most 15
    // characters, is the last resort.
    std::string comm;
    if (ReadSmallFile(dir + "/comm", comm)) {
      if (!comm.empty() && comm.back() == '\n') comm.pop_back();
      add(comm);
    }
  }
  return names;
}

platform::ProcessQueryAnswer PosixProcessList::ExecQuery(const std::string& query_text) {
  platform::ProcessQueryAnswer answer;
  answer.bound = true;
  const std::string head = "SELECT * FROM Win32_Process WHERE Name='";
  if (query_text.size() < head.size() + 1 || query_text.compare(0, head.size(), head) != 0 ||
      query_text.back() != '\'') {
    return answer;
  }
  const std::string name = query_text.substr(head.size(), query_text.size() - head.size() - 1);
  if (name.find('\'') != std::string::npos) return answer;  // the quoted value ends early
  answer.query_ok = true;
  const std::string wanted = LowerAscii(name);

  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) {
    answer.enumeration_failed = true;
    return answer;
  }
  while (dirent* entry = ::readdir(proc)) {
    const std::string id = entry->d_name;
    if (id.empty() ||
        !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    if (IsZombie("/proc/" + id)) continue;  // ended, waiting to be reaped: no longer listed
    for (const std::string& n : NamesOf(std::stoi(id))) {
      if (LowerAscii(n) == wanted) {
        ++answer.delivered;
        break;
      }
    }
  }
  ::closedir(proc);
  return answer;
}

}  // namespace kvt::posix
