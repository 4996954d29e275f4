#include "platform/win32/win32_adapters.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/win32_text.h"
#include "tests/win32/test_support.h"

namespace kvt::win32 {
namespace {

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
    const platform::ProcessHandle process = processes_.Start(
        "\"" + exe_ + "\" --exit-with " + std::to_string(expected), platform::kSwHide, pid);
    ASSERT_NE(process, 0u);
    ASSERT_NE(pid, 0u);
    EXPECT_EQ(processes_.Wait(process, platform::kInfinite), platform::kWaitObject0);
    std::uint32_t code = 99999;
    EXPECT_TRUE(processes_.ExitCode(process, code));
    EXPECT_EQ(code, expected);
    EXPECT_TRUE(processes_.Close(process));
  }
}

TEST_F(ProcessesTest, StartDoesNotWaitForTheProgram) {
  std::uint32_t pid = 0;
  const platform::ProcessHandle process =
      processes_.Start("\"" + exe_ + "\" --sleep 30000", platform::kSwShowNormal, pid);
  ASSERT_NE(process, 0u);
  EXPECT_FALSE(processes_.Terminate(process)) << "only owned processes are terminated";
  EXPECT_EQ(processes_.Wait(process, 0), static_cast<std::uint32_t>(WAIT_TIMEOUT));
  std::uint32_t code = 0;
  EXPECT_TRUE(processes_.ExitCode(process, code));
  EXPECT_EQ(code, static_cast<std::uint32_t>(STILL_ACTIVE));
  ::TerminateProcess(reinterpret_cast<HANDLE>(process), 7);
  EXPECT_EQ(processes_.Wait(process, 10000), platform::kWaitObject0);
  EXPECT_TRUE(processes_.Close(process));
}

// An owned process runs in a job that ends it: on Terminate (the wait then ends with a non-zero
// exit code), and on Close while it still runs.
TEST_F(ProcessesTest, OwnedProcessEndsOnTerminateAndOnClose) {
  for (const bool by_terminate : {true, false}) {
    SCOPED_TRACE(by_terminate ? "Terminate" : "Close");
    std::uint32_t pid = 0;
    const platform::ProcessHandle process =
        processes_.StartOwned("\"" + exe_ + "\" --sleep 60000", platform::kSwHide, pid);
    ASSERT_NE(process, 0u);
    HANDLE watch = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
    ASSERT_NE(watch, nullptr);
    EXPECT_EQ(processes_.Wait(process, 100), static_cast<std::uint32_t>(WAIT_TIMEOUT));
    if (by_terminate) {
      EXPECT_TRUE(processes_.Terminate(process));
      EXPECT_EQ(processes_.Wait(process, 10000), platform::kWaitObject0);
      std::uint32_t code = 0;
      EXPECT_TRUE(processes_.ExitCode(process, code));
      EXPECT_NE(code, 0u);
      EXPECT_TRUE(processes_.Terminate(process)) << "an ended process counts as ended";
    }
    EXPECT_TRUE(processes_.Close(process));
    EXPECT_EQ(::WaitForSingleObject(watch, 10000), WAIT_OBJECT_0) << "the process is gone";
    ::CloseHandle(watch);
  }
}

// A WM_QUIT in the thread's queue ends a wait without a user interface instead of waking it
// again and again; the message stays for the event loop.
TEST_F(ProcessesTest, PendingQuitEndsTheWait) {
  std::uint32_t pid = 0;
  const platform::ProcessHandle process =
      processes_.StartOwned("\"" + exe_ + "\" --sleep 60000", platform::kSwHide, pid);
  ASSERT_NE(process, 0u);
  ::PostQuitMessage(3);
  EXPECT_EQ(processes_.Wait(process, platform::kInfinite),
            static_cast<std::uint32_t>(WAIT_TIMEOUT));
  MSG msg;
  EXPECT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_TRUE(processes_.Close(process));
}

TEST_F(ProcessesTest, FailuresGiveNoProcess) {
  std::uint32_t pid = 12345;
  // The extractor's command line when the download left no UnRAR.exe.
  const std::string missing = dir_.Join("缺少\\\\UnRAR.exe");
  EXPECT_FALSE(processes_.Start("\"" + missing + "\" x -o+ \"a.rar\" \"" + dir_.path() + "\\\"",
                                platform::kSwHide, pid));
  EXPECT_EQ(pid, 0u);
  EXPECT_FALSE(processes_.StartOwned("\"" + missing + "\"", platform::kSwHide, pid));
  EXPECT_EQ(pid, 0u);
  EXPECT_FALSE(processes_.Close(0));
}

}  // namespace
}  // namespace kvt::win32
