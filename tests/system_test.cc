// The running-process check and the desktop shortcut.
#include <gtest/gtest.h>
#include <signal.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/headless/headless.h"
#include "startup/mupdate.h"
#include "startup/pending_error.h"
#include "support/posix_machine.h"
#include "system/process_check.h"
#include "system/shortcut.h"

namespace kvt {
namespace {

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Mupdate::ResetForNewRun();
    PendingError::Clear();
    platform::Install(machine_.Platform(nullptr, nullptr, nullptr));
  }
  void TearDown() override {
    PendingError::Clear();
    platform::Install(platform::Platform{});
  }

  headless::Machine machine_;
};

struct ProcessRow {
  const char* name;
  std::vector<std::string> running;
  std::string asked;
  bool bind_fails;
  std::optional<std::int64_t> fail_after;
  std::int16_t expected;
};

void PrintTo(const ProcessRow& row, std::ostream* os) { *os << row.name; }

class IsProcessRunningTest : public SystemTest, public ::testing::WithParamInterface<ProcessRow> {};

TEST_P(IsProcessRunningTest, AnswersByTheWholeNameAndAbsorbsFailures) {
  const ProcessRow& row = GetParam();
  machine_.process_list.names = row.running;
  machine_.process_list.bind_fails = row.bind_fails;
  machine_.process_list.fail_after = row.fail_after;
  PendingError::Raise("left by an earlier step");

  EXPECT_EQ(Mupdate::IsProcessRunning(row.asked), row.expected);

  EXPECT_EQ(machine_.process_list.queries,
            std::vector<std::string>{"SELECT * FROM Win32_Process WHERE Name='" + row.asked + "'"})
      << "the name goes into the query unchanged";
  EXPECT_FALSE(PendingError::IsPending()) << "no failure reaches the caller";
  EXPECT_TRUE(machine_.ui.messages.empty());
}

const ProcessRow kProcessRows[] = {
    {"One", {"explorer.exe", "excel.exe"}, "excel.exe", false, std::nullopt, -1},
    {"Two", {"excel.exe", "explorer.exe", "excel.exe"}, "excel.exe", false, std::nullopt, -1},
    {"OtherLetterCase", {"EXCEL.EXE"}, "excel.exe", false, std::nullopt, -1},
    {"None", {"explorer.exe", "winword.exe"}, "excel.exe", false, std::nullopt, 0},
    {"LongerNamesOnly",
     {"myexcel.exe", "excel.exe.bak", "excel.exe2", "excel"},
     "excel.exe",
     false,
     std::nullopt,
     0},
    {"Apostrophe", {"excel'.exe", "excel.exe"}, "excel'.exe", false, std::nullopt, 0},
    {"BindFails", {"excel.exe"}, "excel.exe", true, std::nullopt, 0},
    {"EnumerationFailsFirst", {"excel.exe"}, "excel.exe", false, 0, 0},
    {"EnumerationFailsAfterOne", {"excel.exe", "excel.exe"}, "excel.exe", false, 1, -1},
};

INSTANTIATE_TEST_SUITE_P(Rows, IsProcessRunningTest, ::testing::ValuesIn(kProcessRows),
                         [](const ::testing::TestParamInfo<ProcessRow>& info) {
                           return std::string(info.param.name);
                         });

// The same rule on the real process list of this machine.
TEST(IsProcessRunningProcTest, FindsARunningProgramByItsFileNameInAnyCase) {
  testing::PosixMachineOptions options;
  options.real_process_list = true;
  testing::PosixMachine m(1, options);
  const std::optional<std::string> sleep = testing::ReadFileBytes("/bin/sleep");
  ASSERT_TRUE(sleep.has_value());
  ASSERT_TRUE(testing::WriteFileBytes(m.d_drive + "/KvtProbe.EXE", *sleep));

  EXPECT_EQ(Mupdate::IsProcessRunning("kvtprobe.exe"), 0);
  std::uint32_t pid = 0;
  const platform::ProcessHandle process =
      m.processes.Start("\"D:\\KvtProbe.EXE\" 30", platform::kSwHide, pid);
  ASSERT_NE(process, 0u);

  EXPECT_EQ(Mupdate::IsProcessRunning("kvtprobe.exe"), -1);
  EXPECT_EQ(Mupdate::IsProcessRunning("KVTPROBE.EXE"), -1);
  EXPECT_EQ(Mupdate::IsProcessRunning("probe.exe"), 0);
  EXPECT_EQ(Mupdate::IsProcessRunning("kvtprobe"), 0);

  ::kill(static_cast<pid_t>(pid), SIGKILL);
  EXPECT_EQ(m.processes.Wait(process, platform::kInfinite), platform::kWaitObject0);
  m.processes.Close(process);
  EXPECT_EQ(Mupdate::IsProcessRunning("kvtprobe.exe"), 0);
}

// --- Desktop shortcut -------------------------------------------------------------------------

using ShortcutTest = SystemTest;

TEST_F(ShortcutTest, WritesNameDotLnkOnTheDesktopWithTheTargetUnchanged) {
  const std::string target = "E:\\软件 目录\\KVT记账宝\\KVT.exe";
  Mupdate::CreateDesktopShortcut(target, "KVT记账宝");
  EXPECT_EQ(
      machine_.shell.shortcuts,
      (std::map<std::string, std::string>{{"C:\\Users\\kvt\\Desktop\\KVT记账宝.lnk", target}}));
  EXPECT_FALSE(PendingError::IsPending());
  EXPECT_TRUE(machine_.ui.messages.empty());
}

TEST_F(ShortcutTest, SecondInstallReplacesTheOneShortcut) {
  Mupdate::CreateDesktopShortcut("D:\\KVT记账宝\\KVT.exe", "KVT记账宝");
  Mupdate::CreateDesktopShortcut("E:\\Apps\\KVT.exe", "KVT记账宝");
  EXPECT_EQ(machine_.shell.shortcuts,
            (std::map<std::string, std::string>{
                {"C:\\Users\\kvt\\Desktop\\KVT记账宝.lnk", "E:\\Apps\\KVT.exe"}}));
}

TEST_F(ShortcutTest, FailuresAreLeftPendingForTheCallerAndShowNothing) {
  struct Row {
    const char* name;
    std::optional<std::string> desktop;
    bool save_fails;
  };
  const Row rows[] = {
      {"save fails", std::string("C:\\Users\\kvt\\Desktop"), true},
      {"no desktop folder", std::nullopt, false},
      {"empty desktop folder", std::string(), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    machine_.shell.desktop = row.desktop;
    machine_.shell.save_fails = row.save_fails;
    machine_.shell.shortcuts.clear();
    PendingError::Clear();
    Mupdate::CreateDesktopShortcut("D:\\KVT记账宝\\KVT.exe", "KVT记账宝");
    EXPECT_TRUE(PendingError::IsPending());
    EXPECT_TRUE(machine_.shell.shortcuts.empty());
    EXPECT_TRUE(machine_.ui.messages.empty());
  }
}

}  // namespace
}  // namespace kvt
