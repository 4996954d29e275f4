// DownloadFile through real WinINet and Win32 files, run through the network scenario table
// (tests/net_scenarios.h). The rows are answered by the Linux scenario server that run.sh starts
// on 127.0.0.1; its port comes in the environment variable KVT_SCENARIO_PORT and stands in for
// port 80. Window, user, resolver and clock are the headless ones.
#include "platform/win32/win32_adapters.h"
#undef MessageBox  // a member name of the headless user interface

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "net/download.h"
#include "platform/headless/headless.h"
#include "platform/win32/win32_text.h"
#include "startup/mupdate.h"
#include "startup/pending_error.h"
#include "startup/texts.h"
#include "tests/net_scenarios.h"
#include "tests/win32/loopback_server.h"
#include "tests/win32/test_support.h"

namespace kvt::win32::testing {
namespace {

using net_scenarios::After;
using net_scenarios::Before;
using net_scenarios::Client;
using net_scenarios::RecordingInternet;
using net_scenarios::Scenario;

std::uint16_t ScenarioPort() {
  const char* text = std::getenv("KVT_SCENARIO_PORT");
  if (text == nullptr) return 0;
  const long port = std::strtol(text, nullptr, 10);
  return port > 0 && port < 65536 ? static_cast<std::uint16_t>(port) : 0;
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(Widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

::testing::AssertionResult Holds(const std::string& path, After after, std::uint32_t bytes,
                                 const std::string& old_bytes, const Scenario& s) {
  const bool folder = IsDirectory(path);
  std::string got;
  const bool read = !folder && ReadBytes(path, got);
  const std::string wrong = net_scenarios::Mismatch(after, bytes, old_bytes, s, PathExists(path),
                                                    folder, read ? &got : nullptr);
  if (wrong.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << path << wrong;
}

// A reset drops what the socket received but the program has not read yet: the partial file
// holds at most the bytes sent, in order, and when even the response head was dropped the call
// ended before touching any file.
void CheckPrefixKept(const Scenario& s, const std::string& target, const std::string& partial) {
  std::string got;
  if (ReadBytes(partial, got)) {
    EXPECT_LE(got.size(), s.partial_bytes);
    EXPECT_EQ(got, net_scenarios::BodyPrefix(s, static_cast<std::uint32_t>(got.size())));
    EXPECT_EQ(Mupdate::ReceivedBytes, static_cast<std::int64_t>(got.size()));
    EXPECT_TRUE(Holds(target, After::kAbsent, 0, "", s));
  } else {
    EXPECT_TRUE(Holds(target, s.target_before == Before::kOldFile ? After::kOldFile : After::kAbsent,
                      0, net_scenarios::OldTargetBytes(), s));
  }
  EXPECT_FALSE(PendingError::IsPending()) << PendingError::What();
}

class NetScenarioTest : public ::testing::TestWithParam<Scenario> {
 protected:
  void TearDown() override {
    Mupdate::ResetForNewRun();
    PendingError::Clear();
    platform::Install(platform::Platform{});
  }
};

TEST_P(NetScenarioTest, LeavesResultFilesAndPendingErrorAsTheRowSays) {
  const Scenario& s = GetParam();
  std::uint16_t port = ScenarioPort();
  ASSERT_NE(port, 0) << "KVT_SCENARIO_PORT is not set: run the tests through tests/win32/run.sh";
  if (s.client == Client::kClosedPort) port = LoopbackServer::ClosedPort();

  WinInetInternet wininet(port, 1500);  // the stall rows meet their time-out quickly
  RecordingInternet internet(wininet);
  internet.connected = s.client != Client::kNotConnected;
  Win32FileSystem files;
  headless::Machine machine;
  if (s.client == Client::kProbeFails) machine.resolver.resolvable.clear();
  Mupdate::ResetForNewRun();
  platform::Install(machine.Platform(&internet, &files, nullptr));

  ScratchFolder scratch;
  const std::string folder =
      s.client == Client::kMissingFolder ? scratch.Join("没有") : scratch.path();
  const std::string target = folder + "\\" + s.name + ".bin";
  const std::string partial = target + ".temp";
  const std::string local_path = s.client == Client::kEmptyLocalPath ? "" : target;
  if (s.target_before == Before::kOldFile) {
    ASSERT_TRUE(WriteBytes(target, net_scenarios::OldTargetBytes()));
  }
  if (s.target_before == Before::kFolder) {
    ASSERT_TRUE(::CreateDirectoryW(Widen(target).c_str(), nullptr));
  }
  if (s.partial_before == Before::kOldFile) {
    ASSERT_TRUE(WriteBytes(partial, net_scenarios::OldPartialBytes()));
  }
  PendingError::Raise("left over");

  const int result =
      Mupdate::DownloadFile(net_scenarios::ClientUrl(s, "127.0.0.1"), local_path,
                            text::kDownloadPrefix, nullptr, Mupdate::BuildScheme(), s.max_bytes);

  EXPECT_EQ(result, s.result);
  // After a reset, how much of the body arrives is WinINet's business: the call fails either way.
  if (s.ending == net_scenarios::Ending::kReset) {
    CheckPrefixKept(s, target, partial);
    return;
  }
  EXPECT_TRUE(Holds(target, s.target, s.target_bytes, net_scenarios::OldTargetBytes(), s));
  EXPECT_TRUE(Holds(partial, s.partial, s.partial_bytes, net_scenarios::OldPartialBytes(), s));
  EXPECT_EQ(PendingError::IsPending(), s.error_pending) << PendingError::What();
  if (s.target == After::kBody) {
    EXPECT_EQ(Mupdate::ReceivedBytes, s.target_bytes);
  }
  if (s.partial == After::kBody) {
    EXPECT_EQ(Mupdate::ReceivedBytes, s.partial_bytes);
  }
  EXPECT_EQ(internet.opened, internet.closed);
  if (!s.opens_handles) {
    EXPECT_EQ(internet.opened, 0);
  }
  if (s.client == Client::kMissingFolder) {
    EXPECT_TRUE(internet.read_sizes.empty());
  }
  // WinINet is asked for at most 64 KiB at a time, and never for a cached copy.
  for (std::uint32_t size : internet.read_sizes) EXPECT_LE(size, 65536u);
  if (internet.opened > 2) {
    EXPECT_EQ(internet.flags, 0x84000000u);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, NetScenarioTest, ::testing::ValuesIn(net_scenarios::Table()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kvt::win32::testing
