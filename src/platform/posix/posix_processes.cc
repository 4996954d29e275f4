// Starting programs from Windows command lines, waiting for them and reading their exit codes.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/posix.h"

extern char** environ;

namespace kvt::posix {
namespace {

constexpr char kCommandLineVariable[] = "KVT_WINDOWS_COMMAND_LINE";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool StartsWithDrive(const std::string& s) {
  return s.size() >= 3 && ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z')) &&
         s[1] == ':' && s[2] == '\\';
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::uint32_t ExitCodeOf(int status) {
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
  return 1;
}

}  // namespace

std::vector<std::string> SplitWindowsCommandLine(const std::string& s) {
  std::vector<std::string> args;
  std::size_t i = 0;
  const std::size_t n = s.size();

  // The program name: up to the next quote when quoted, else up to the first blank; no escapes.
  std::string program;
  if (i < n && s[i] == '"') {
    ++i;
    while (i < n && s[i] != '"') program += s[i++];
    if (i < n) ++i;  // the closing quote
  } else {
    while (i < n && !IsBlank(s[i])) program += s[i++];
  }
  args.push_back(std::move(program));
  while (i < n && IsBlank(s[i])) ++i;
  if (i >= n) return args;

  std::string arg;
  int quotes = 0;  // 1 while inside a quoted part
  std::size_t backslashes = 0;
  while (i < n) {
    const char c = s[i];
    if (IsBlank(c) && quotes == 0) {
      args.push_back(std::move(arg));
      arg.clear();
      backslashes = 0;
      while (i < n && IsBlank(s[i])) ++i;
      if (i >= n) return args;
      continue;
    }
    if (c == '\\') {
      arg += c;
      ++backslashes;
      ++i;
      continue;
    }
    if (c == '"') {
      if (backslashes % 2 == 0) {
        // 2n backslashes: n of them stay, the quote opens or closes a quoted part.
        arg.resize(arg.size() - backslashes / 2);
        ++quotes;
      } else {
        // 2n+1 backslashes: n of them stay, followed by a literal quote.
        arg.resize(arg.size() - backslashes / 2 - 1);
        arg += '"';
      }
      ++i;
      backslashes = 0;
      // Quotes that follow at once: the third in a row (counting the opening one) is literal.
      while (i < n && s[i] == '"') {
        if (++quotes == 3) {
          arg += '"';
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    arg += c;
    backslashes = 0;
    ++i;
  }
  args.push_back(std::move(arg));
  return args;
}

PosixProcesses::PosixProcesses(const PosixFileSystem& files) : files_(files) {}

PosixProcesses::~PosixProcesses() {
  // Children that ended are reaped; owned ones end with us; the others are left to run, as on
  // Windows.
  for (auto& [pid, child] : children_) {
    if (child.owned) {
      Kill(pid);
    } else if (!child.ended) {
      Reap(pid, false);
    }
  }
}

platform::ProcessHandle PosixProcesses::Start(const std::string& command_line, int window_style,
                                              std::uint32_t& pid) {
  return Launch(command_line, false, pid);
}

platform::ProcessHandle PosixProcesses::StartOwned(const std::string& command_line,
                                                   int window_style, std::uint32_t& pid) {
  return Launch(command_line, true, pid);
}

platform::ProcessHandle PosixProcesses::Launch(const std::string& command_line, bool owned,
                                               std::uint32_t& pid) {
  pid = 0;
  started_.push_back(command_line);
  std::vector<std::string> args = SplitWindowsCommandLine(command_line);
  if (args.empty() || args[0].empty()) return 0;
  bool ok;
  std::string program = files_.ToLinuxPath(args[0], ok);
  if (!ok) return 0;
  // CreateProcess adds ".exe" to a name without an extension.
  const std::size_t last_slash = program.rfind('/');
  if (!IsRegularFile(program) &&
      program.find('.', last_slash == std::string::npos ? 0 : last_slash) == std::string::npos &&
      IsRegularFile(program + ".exe")) {
    program += ".exe";
  }
  if (!IsRegularFile(program)) return 0;
  // Windows starts any file it can read; give the owner the execute bit.
  struct stat st;
  if (::stat(program.c_str(), &st) == 0 && (st.st_mode & S_IXUSR) == 0) {
    ::chmod(program.c_str(), (st.st_mode & 07777) | S_IXUSR);
  }

  args[0] = program;
  for (std::size_t a = 1; a < args.size(); ++a) {
    if (!StartsWithDrive(args[a])) continue;
    bool translated;
    std::string linux_arg = files_.ToLinuxArgument(args[a], translated);
    if (translated) args[a] = std::move(linux_arg);
  }

  // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string variable_prefix = std::string(kCommandLineVariable) + "=";
  std::vector<std::string> own_env{variable_prefix + command_line};
  std::vector<char*> envp;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, variable_prefix.c_str(), variable_prefix.size()) != 0) envp.push_back(*e);
  }
  envp.push_back(own_env[0].data());
  envp.push_back(nullptr);

  // A close-on-exec pipe tells whether execve succeeded: it closes without data if it did.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return 0;
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return 0;
  }
  if (child == 0) {
    ::close(report[0]);
    if (owned) ::setpgid(0, 0);
    ::execve(program.c_str(), argv.data(), envp.data());
    const int error = errno;
    ssize_t ignored = ::write(report[1], &error, sizeof error);
    (void)ignored;
    ::_exit(127);
  }
  ::close(report[1]);
  if (owned) ::setpgid(child, child);  // also here, so that it holds before Start returns
  int error = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got > 0) {
    int status;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
  }
  children_[child] = Child{false, owned, 0};
  pid = static_cast<std::uint32_t>(child);
  const platform::ProcessHandle handle = next_handle_++;
  handles_[handle] = child;
  return handle;
}

bool PosixProcesses::Reap(int pid, bool block) {
  auto it = children_.find(pid);
  if (it == children_.end()) return false;
  Child& child = it->second;
  if (child.ended) return true;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  child.ended = true;
  child.exit_code = r == pid ? ExitCodeOf(status) : 1;  // reaped elsewhere: code unknown
  return true;
}

void PosixProcesses::Kill(int pid) {
  auto it = children_.find(pid);
  if (it == children_.end() || it->second.ended) return;
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  Reap(pid, true);
}

bool PosixProcesses::Terminate(platform::ProcessHandle process) {
  auto it = handles_.find(process);
  if (it == handles_.end()) return false;
  auto child = children_.find(it->second);
  if (child == children_.end() || !child->second.owned) return false;
  Kill(it->second);
  return child->second.ended;
}

std::uint32_t PosixProcesses::Wait(platform::ProcessHandle process, std::uint32_t milliseconds) {
  auto it = handles_.find(process);
  if (it == handles_.end()) return kWaitFailed;
  const int pid = it->second;
  const bool ours = children_.count(pid) != 0;
  auto ended = [&](bool block) {
    if (ours) return Reap(pid, block);
    return ::kill(pid, 0) != 0 && errno == ESRCH;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (true) {
    if (ended(false)) return platform::kWaitObject0;
    if (milliseconds != platform::kInfinite && std::chrono::steady_clock::now() >= deadline) {
      return kWaitTimeout;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (platform::Sys().ui != nullptr) platform::DoEvents();
  }
}

bool PosixProcesses::ExitCode(platform::ProcessHandle process, std::uint32_t& code) {
  auto it = handles_.find(process);
  if (it == handles_.end()) return false;
  const int pid = it->second;
  if (children_.count(pid) != 0) {
    code = Reap(pid, false) ? children_[pid].exit_code : kStillActive;
    return true;
  }
  if (::kill(pid, 0) == 0 || errno == EPERM) {
    code = kStillActive;
    return true;
  }
  return false;  // not our child: its exit code is not ours to read
}

bool PosixProcesses::Close(platform::ProcessHandle process) {
  auto it = handles_.find(process);
  if (it == handles_.end()) return false;
  auto child = children_.find(it->second);
  if (child != children_.end() && child->second.owned) Kill(it->second);
  handles_.erase(it);
  return true;
}

}  // namespace kvt::posix
