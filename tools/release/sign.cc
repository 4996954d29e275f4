// kvt-release sign: Authenticode signature of the installer through osslsigncode.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "sha256.h"
#include "startup/texts.h"

namespace kvt::release {
namespace {

constexpr char kTool[] = "osslsigncode";

// Runs the program found on PATH with `args`; its output (standard output and error together)
// goes to `output`. The exit status, or -1 when it could not be started.
int Run(const std::vector<std::string>& args, std::string& output) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::dup2(pipe_fds[1], 1);
    ::dup2(pipe_fds[1], 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    _exit(127);
  }
  ::close(pipe_fds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) != 0) {
    if (n > 0)
      output.append(buffer, static_cast<std::size_t>(n));
    else if (errno != EINTR)
      break;
  }
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Fail(const std::string& why, const std::string& output, const std::string& temp) {
  if (!output.empty()) std::fprintf(stderr, "%s", output.c_str());
  std::fprintf(stderr, "kvt-release sign: %s\n", why.c_str());
  ::unlink(temp.c_str());
  return 1;
}

}  // namespace

int RunSign(const SignOptions& o) {
  const std::string out = o.out.empty() ? o.exe : o.out;
  // Signed into a file beside the target, which replaces it only once the signature verifies.
  const std::string temp = out + ".signing";
  std::vector<std::string> sign = {kTool, "sign", "-certs", o.cert, "-key",
                                   o.key, "-h",   "sha256", "-n",   text::kProductName};
  if (!o.pass_file.empty()) sign.insert(sign.end(), {"-readpass", o.pass_file});
  if (!o.timestamp_url.empty()) sign.insert(sign.end(), {"-t", o.timestamp_url});
  sign.insert(sign.end(), {"-in", o.exe, "-out", temp});
  std::string output;
  ::unlink(temp.c_str());
  const int signed_status = Run(sign, output);
  if (signed_status == 127 || signed_status < 0) {
    return Fail("cannot run osslsigncode (Debian: apt-get install osslsigncode)", output, temp);
  }
  if (signed_status != 0) return Fail("signing failed", output, temp);

  std::vector<std::string> verify = {kTool, "verify", "-in", temp};
  if (!o.ca_file.empty()) verify.insert(verify.end(), {"-CAfile", o.ca_file});
  output.clear();
  if (Run(verify, output) != 0) {
    return Fail("the signature does not verify; " + out + " is left as it was", output, temp);
  }
  if (::rename(temp.c_str(), out.c_str()) != 0) {
    return Fail("cannot replace " + out + ": " + std::strerror(errno), "", temp);
  }
  // The signer as osslsigncode names it.
  std::string signer;
  const std::size_t subject = output.find("Subject:");
  if (subject != std::string::npos) {
    signer = output.substr(subject + 8, output.find('\n', subject) - subject - 8);
    signer.erase(0, signer.find_first_not_of(" \t"));
  }
  std::string hex;
  std::uint64_t size = 0;
  if (!Sha256File(out, hex, size)) return Fail("cannot read " + out, "", temp);
  std::printf("signed and verified: %s (signer %s)\n%s  %s  (%llu bytes)\n", out.c_str(),
              signer.c_str(), hex.c_str(), out.c_str(), static_cast<unsigned long long>(size));
  return 0;
}

}  // namespace kvt::release
