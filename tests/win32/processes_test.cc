#include "platform/win32/win32_adapters.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/win32_text.h"
#include "tests/win32/test_support.h"

namespace kvt::win32 {
namespace {

constexpr std::uint32_t kWaitAccess =
    platform::kSynchronize | platform::kProcessQueryLimitedInformation;

class ProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(::CreateDirectoryW(Widen(dir_.Join("KVT记账宝")).c_str(), nullptr));
    exe_ = dir_.Join("KVT记账宝\\\\UnRAR.exe");  // doubled backslash, as the installer forms it
    ASSERT_TRUE(testing::CopySelf(exe_));
  }

  testing::ScratchFolder dir_;
  std::string exe_;
  Win32Processes processes_;
};

TEST_F(ProcessesTest, StartsAChineseQuotedPathAndReportsItsExitCode) {
  for (const std::uint32_t expected : {0u, 3u, 1234u}) {
    std::uint32_t pid = 0;
    ASSERT_TRUE(processes_.Start("\"" + exe_ + "\" --exit-with " + std::to_string(expected),
                                 platform::kSwHide, pid));
    ASSERT_NE(pid, 0u);
    const platform::ProcessHandle process = processes_.Open(kWaitAccess, false, pid);
    ASSERT_NE(process, 0u);
    EXPECT_EQ(processes_.Wait(process, platform::kInfinite), platform::kWaitObject0);
    std::uint32_t code = 99999;
    EXPECT_TRUE(processes_.ExitCode(process, code));
    EXPECT_EQ(code, expected);
    EXPECT_TRUE(processes_.Close(process));
  }
}

TEST_F(ProcessesTest, StartDoesNotWaitForTheProgram) {
  std::uint32_t pid = 0;
  ASSERT_TRUE(processes_.Start("\"" + exe_ + "\" --sleep 30000", platform::kSwShowNormal, pid));
  const platform::ProcessHandle process =
      processes_.Open(kWaitAccess | PROCESS_TERMINATE, false, pid);
  ASSERT_NE(process, 0u);
  EXPECT_EQ(processes_.Wait(process, 0), static_cast<std::uint32_t>(WAIT_TIMEOUT));
  std::uint32_t code = 0;
  EXPECT_TRUE(processes_.ExitCode(process, code));
  EXPECT_EQ(code, static_cast<std::uint32_t>(STILL_ACTIVE));
  ::TerminateProcess(reinterpret_cast<HANDLE>(process), 7);
  EXPECT_EQ(processes_.Wait(process, 10000), platform::kWaitObject0);
  EXPECT_TRUE(processes_.Close(process));
}

TEST_F(ProcessesTest, FailuresGiveNoProcess) {
  std::uint32_t pid = 12345;
  // The extractor's command line when the download left no UnRAR.exe.
  const std::string missing = dir_.Join("缺少\\\\UnRAR.exe");
  EXPECT_FALSE(processes_.Start("\"" + missing + "\" x -o+ \"a.rar\" \"" + dir_.path() + "\\\"",
                                platform::kSwHide, pid));
  EXPECT_EQ(pid, 0u);
  // With the id still 0 nothing can be opened, so the installer does not wait.
  EXPECT_EQ(processes_.Open(platform::kSynchronize, false, 0), 0u);
  EXPECT_FALSE(processes_.Close(0));
}

}  // namespace
}  // namespace kvt::win32
