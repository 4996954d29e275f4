#include "platform/win32/win32_adapters.h"

#include <winsock.h>

#include <memory>

#include "kvt/build_config.h"
#include "platform/win32/win32_text.h"
#include "platform/win32/win32_wait.h"

namespace kvt::win32 {
namespace {

// The lookup on the worker thread, between a start-up and a clean-up of its own: if the
// lookup is given up, the caller's clean-up must not pull the socket layer away from under it.
class LookupJob : public BlockingJob {
 public:
  explicit LookupJob(std::string ansi_name) : name_(std::move(ansi_name)) {}
  void Run() override {
    WSADATA data{};
    const bool started = ::WSAStartup(0x0101, &data) == 0;
    found = ::gethostbyname(name_.c_str()) != nullptr;
    if (started) ::WSACleanup();
  }
  bool found = false;

 private:
  std::string name_;
};

}  // namespace

int WinsockResolver::Startup(std::uint16_t version) {
  WSADATA data{};
  const int result = ::WSAStartup(version, &data);
  if (result == 0) ++startups_;
  return result;
}

bool WinsockResolver::GetHostByName(const std::string& name) {
  // Without a start-up of the caller's the socket layer is not there for it to use.
  if (startups_ == 0) return false;
  // A name server that never answers must not hold the installer: past the time-out the
  // lookup counts as failed.
  const auto job = std::make_shared<LookupJob>(ToAnsi(name));
  return RunWhilePumping(job, build::kResolveTimeoutMs) && job->found;
}

int WinsockResolver::Cleanup() {
  const int result = ::WSACleanup();
  if (result == 0 && startups_ > 0) --startups_;
  return result;
}

}  // namespace kvt::win32
