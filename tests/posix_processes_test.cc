// Command-line parsing, starting and waiting for programs, and the /proc process list.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/posix.h"
#include "support/temp_dir.h"

namespace kvt::posix {
namespace {

using kvt::testing::PathExists;
using kvt::testing::ReadFileBytes;
using kvt::testing::TempDir;
using kvt::testing::WriteFileBytes;

TEST(SplitWindowsCommandLineTest, FollowsTheWindowsRules) {
  struct Case {
    std::string line;
    std::vector<std::string> args;
  };
  const std::vector<Case> cases = {
      // The extractor line: "\"" at the end is an escaped quote, so the last argument keeps a
      // quote and loses its backslash.
      {R"("D:\KVT记账宝\\UnRAR.exe" x -o+ "D:\KVT记账宝\\KVT_SETUP.rar" "D:\KVT记账宝\")",
       {R"(D:\KVT记账宝\\UnRAR.exe)", "x", "-o+", R"(D:\KVT记账宝\\KVT_SETUP.rar)",
        R"(D:\KVT记账宝")"}},
      {R"("D:\KVT记账宝\KVT.exe")", {R"(D:\KVT记账宝\KVT.exe)"}},
      {"prog a b", {"prog", "a", "b"}},
      {"prog \t a   b  ", {"prog", "a", "b"}},
      {R"(prog "a b" c)", {"prog", "a b", "c"}},
      {R"(prog a\\\\"b c" d)", {"prog", R"(a\\b c)", "d"}},
      {R"(prog a\\\"b)", {"prog", R"(a\"b)"}},
      {R"(prog a\b\\c\)", {"prog", R"(a\b\\c\)"}},
      {R"(prog "")", {"prog", ""}},
      {R"(prog """")", {"prog", "\""}},
      {R"(prog "a""b")", {"prog", "a\"b"}},
      {R"(prog "a"b)", {"prog", "ab"}},
      {R"("C:\Program Files\x.exe" -a)", {R"(C:\Program Files\x.exe)", "-a"}},
      {R"("C:\dir\"x y)", {R"(C:\dir\)", "x", "y"}},  // no escapes in the program name
      {R"("pro"g x)", {"pro", "g", "x"}},
      {"", {""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(SplitWindowsCommandLine(c.line), c.args);
  }
}

class PosixProcessesTest : public ::testing::Test {
 protected:
  PosixProcessesTest() : d_(Make("d")), files_({{'D', d_}}, "D:\\"), processes_(files_) {}

  std::string Make(const std::string& name) {
    ::mkdir(temp_.Sub(name).c_str(), 0755);
    return temp_.Sub(name);
  }
  // A shell script without the execute bit, as a download leaves it.
  void Script(const std::string& linux_path, const std::string& body) {
    ASSERT_TRUE(WriteFileBytes(linux_path, "#!/bin/sh\n" + body));
    ::chmod(linux_path.c_str(), 0644);
  }
  std::uint32_t RunToEnd(const std::string& line) {
    std::uint32_t pid = 0;
    const platform::ProcessHandle h = processes_.Start(line, platform::kSwHide, pid);
    EXPECT_NE(h, 0u);
    EXPECT_EQ(processes_.Wait(h, platform::kInfinite), platform::kWaitObject0);
    std::uint32_t code = 12345;
    EXPECT_TRUE(processes_.ExitCode(h, code));
    EXPECT_TRUE(processes_.Close(h));
    return code;
  }

  TempDir temp_;
  std::string d_;
  PosixFileSystem files_;
  PosixProcesses processes_;
};

TEST_F(PosixProcessesTest, RunsTheExtractorLineWithTranslatedPaths) {
  ::mkdir((d_ + "/KVT记账宝").c_str(), 0755);
  Script(d_ + "/KVT记账宝/UnRAR.exe",
         "printf '%s\\n' \"$0\" \"$@\" > \"$(dirname \"$0\")/args.txt\"\n"
         "printf '%s' \"$KVT_WINDOWS_COMMAND_LINE\" > \"$(dirname \"$0\")/line.txt\"\n"
         "exit 7\n");
  const std::string line =
      R"("D:\KVT记账宝\\UnRAR.exe" x -o+ "D:\KVT记账宝\\KVT_SETUP.rar" "D:\KVT记账宝\")";
  EXPECT_EQ(RunToEnd(line), 7u);
  EXPECT_EQ(ReadFileBytes(d_ + "/KVT记账宝/args.txt"), d_ + "/KVT记账宝/UnRAR.exe\nx\n-o+\n" + d_ +
                                                           "/KVT记账宝/KVT_SETUP.rar\n" + d_ +
                                                           "/KVT记账宝\"\n");
  EXPECT_EQ(ReadFileBytes(d_ + "/KVT记账宝/line.txt"), line);
  EXPECT_EQ(processes_.started(), std::vector<std::string>{line});
}

TEST_F(PosixProcessesTest, ReportsExitCodesAndTimeouts) {
  Script(d_ + "/ok.exe", "exit 0\n");
  Script(d_ + "/fails.exe", "exit 3\n");
  Script(d_ + "/slow.exe", "exec sleep 30\n");
  EXPECT_EQ(RunToEnd("D:\\ok.exe"), 0u);
  EXPECT_EQ(RunToEnd("D:\\fails"), 3u);  // ".exe" is added as CreateProcess does

  std::uint32_t pid = 0;
  const platform::ProcessHandle h = processes_.Start("\"D:\\slow.exe\"", platform::kSwHide, pid);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(processes_.Wait(h, 50), kWaitTimeout);
  std::uint32_t code = 0;
  EXPECT_TRUE(processes_.ExitCode(h, code));
  EXPECT_EQ(code, kStillActive);
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  EXPECT_EQ(processes_.Wait(h, 10000), platform::kWaitObject0);
  EXPECT_TRUE(processes_.ExitCode(h, code));
  EXPECT_EQ(code, 128u + SIGKILL);
  EXPECT_TRUE(processes_.Close(h));
  EXPECT_FALSE(processes_.Close(h));
  EXPECT_EQ(processes_.Wait(h, 0), kWaitFailed);
  EXPECT_FALSE(processes_.ExitCode(h, code));
}

// An owned process ends, with what it started, on Terminate and on Close while it runs; one
// started plainly cannot be terminated and runs on after Close.
TEST_F(PosixProcessesTest, OwnedProcessesEndWithTheirWholeGroup) {
  // The script leaves a grandchild that records its pid and sleeps.
  Script(d_ + "/hang.exe", "sleep 60 & echo $! > \"$(dirname \"$0\")/$1.pid\"\nwait\n");
  auto grandchild_alive = [&](const std::string& name) {
    std::optional<std::string> text;
    for (int i = 0; i < 500; ++i) {
      text = ReadFileBytes(d_ + "/" + name + ".pid");
      if (text && !text->empty() && text->back() == '\n') break;
      ::usleep(10000);
    }
    if (!text || text->empty() || text->back() != '\n') return false;
    text->pop_back();
    // A killed process whose parent is gone too may stay a zombie for a moment: not running.
    const std::optional<std::string> stat = ReadFileBytes("/proc/" + *text + "/stat");
    if (!stat) return false;
    const std::size_t state = stat->rfind(')');
    return state != std::string::npos && state + 2 < stat->size() && (*stat)[state + 2] != 'Z';
  };
  for (const bool by_terminate : {true, false}) {
    SCOPED_TRACE(by_terminate ? "Terminate" : "Close");
    const std::string name = by_terminate ? "t" : "c";
    std::uint32_t pid = 0;
    const platform::ProcessHandle h =
        processes_.StartOwned("D:\\hang.exe " + name, platform::kSwHide, pid);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(grandchild_alive(name));
    if (by_terminate) {
      EXPECT_TRUE(processes_.Terminate(h));
      EXPECT_EQ(processes_.Wait(h, 0), platform::kWaitObject0);
      std::uint32_t code = 0;
      EXPECT_TRUE(processes_.ExitCode(h, code));
      EXPECT_NE(code, 0u);
    }
    EXPECT_TRUE(processes_.Close(h));
    EXPECT_NE(::kill(static_cast<pid_t>(pid), 0), 0);
    ::usleep(50000);
    EXPECT_FALSE(grandchild_alive(name)) << "the group went with it";
  }
  std::uint32_t pid = 0;
  const platform::ProcessHandle plain = processes_.Start("D:\\hang.exe p", platform::kSwHide, pid);
  ASSERT_TRUE(grandchild_alive("p"));
  EXPECT_FALSE(processes_.Terminate(plain));
  EXPECT_TRUE(processes_.Close(plain));
  EXPECT_EQ(::kill(static_cast<pid_t>(pid), 0), 0) << "a plain process runs on";
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  const int grandchild = std::atoi(ReadFileBytes(d_ + "/p.pid").value_or("-1").c_str());
  if (grandchild > 0) ::kill(grandchild, SIGKILL);
}

TEST_F(PosixProcessesTest, StartFailsWhenTheProgramCannotRun) {
  WriteFileBytes(d_ + "/text.exe", "this is not a program\n");
  ::mkdir((d_ + "/folder.exe").c_str(), 0755);
  const std::vector<std::string> lines = {
      R"("D:\KVT记账宝\\UnRAR.exe" x -o+ "D:\KVT记账宝\\KVT_SETUP.rar" "D:\KVT记账宝\")",
      "D:\\text.exe",    // no format the system can start
      "D:\\folder.exe",  // a folder
      "E:\\UnRAR.exe",   // unmapped drive
      "UnRAR.exe",       // no drive
      "",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    std::uint32_t pid = 99;
    EXPECT_FALSE(processes_.Start(line, platform::kSwHide, pid));
    EXPECT_EQ(pid, 0u);
  }
}

// Process names: a copy of sleep named like the spreadsheet program.
TEST_F(PosixProcessesTest, ProcessListFindsProgramsByWholeNameIgnoringCase) {
  std::filesystem::copy_file("/bin/sleep", d_ + "/excel.exe");
  PosixProcessList list;
  auto count = [&](const std::string& name) {
    const platform::ProcessQueryAnswer a =
        list.ExecQuery("SELECT * FROM Win32_Process WHERE Name='" + name + "'");
    EXPECT_TRUE(a.bound);
    EXPECT_TRUE(a.query_ok);
    EXPECT_FALSE(a.enumeration_failed);
    return a.delivered;
  };
  const std::int64_t before = count("EXCEL.EXE");

  std::vector<std::uint32_t> pids(2);
  std::vector<platform::ProcessHandle> handles;
  for (std::uint32_t& pid : pids) {
    handles.push_back(processes_.Start("D:\\excel.exe 60", platform::kSwHide, pid));
    ASSERT_NE(handles.back(), 0u);
  }
  EXPECT_EQ(count("EXCEL.EXE"), before + 2);
  EXPECT_EQ(count("excel.exe"), before + 2);
  EXPECT_EQ(count("Excel.Exe"), before + 2);
  for (const char* other : {"xcel.exe", "excel.ex", "excel", "excel.exe.exe", "", " excel.exe"}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(count(other), 0);
  }

  for (std::size_t i = 0; i < pids.size(); ++i) {
    ::kill(static_cast<pid_t>(pids[i]), SIGKILL);
    EXPECT_EQ(processes_.Wait(handles[i], platform::kInfinite), platform::kWaitObject0);
    processes_.Close(handles[i]);
  }
  EXPECT_EQ(count("excel.exe"), before);
}

TEST(PosixProcessListTest, RefusesQueriesOfAnyOtherShape) {
  PosixProcessList list;
  const std::vector<std::string> refused = {
      "SELECT * FROM Win32_Process WHERE Name='it's.exe'",
      "SELECT * FROM Win32_Process WHERE Name='it''s.exe'",
      "SELECT * FROM Win32_Process WHERE Name='excel.exe",
      "SELECT * FROM Win32_Process WHERE Name=excel.exe",
      "SELECT * FROM Win32_Service WHERE Name='excel.exe'",
      "",
  };
  for (const std::string& query : refused) {
    SCOPED_TRACE(query);
    const platform::ProcessQueryAnswer a = list.ExecQuery(query);
    EXPECT_TRUE(a.bound);
    EXPECT_FALSE(a.query_ok);
    EXPECT_EQ(a.delivered, 0);
  }
  // The test program itself is found under its own name.
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  EXPECT_GE(list.ExecQuery("SELECT * FROM Win32_Process WHERE Name='" + self + "'").delivered, 1);
}

}  // namespace
}  // namespace kvt::posix
