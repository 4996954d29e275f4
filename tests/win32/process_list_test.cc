#include "platform/win32/win32_adapters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/win32_text.h"
#include "tests/win32/test_support.h"

namespace kvt::win32 {
namespace {

std::string QueryFor(const std::string& name) {
  return "SELECT * FROM Win32_Process WHERE Name='" + name + "'";
}

class ProcessListTest : public ::testing::Test {
 protected:
  // Starts `count` copies of this program named `exe_name`, sleeping until the test ends.
  void StartCopies(const std::string& exe_name, int count) {
    const std::string exe = dir_.Join(exe_name);
    ASSERT_TRUE(testing::CopySelf(exe));
    for (int i = 0; i < count; ++i) {
      children_.emplace_back(exe, "--sleep 60000");
      ASSERT_TRUE(children_.back().Valid());
    }
  }

  testing::ScratchFolder dir_;
  std::vector<testing::ChildProcess> children_;
  WmiProcessList list_;
};

TEST_F(ProcessListTest, FindsRunningProcessesByWholeNameIgnoringCase) {
  StartCopies("excel.exe", 2);
  StartCopies("myexcel.exe", 1);
  struct Case {
    std::string name;
    std::int64_t delivered;
  } cases[] = {
      {"excel.exe", 2},    // both copies
      {"EXCEL.EXE", 2},    // letter case is ignored
      {"Excel.Exe", 2},    // in either direction
      {"myexcel.exe", 1},  // a longer name is a name of its own
      {"excel", 0},        // without the extension
      {"cel.exe", 0},      // part of a name
      {"excel.exe ", 0},   // trailing blank
      {"winword.exe", 0},
  };
  for (const Case& c : cases) {
    const platform::ProcessQueryAnswer answer = list_.ExecQuery(QueryFor(c.name));
    EXPECT_TRUE(answer.bound) << c.name;
    EXPECT_TRUE(answer.query_ok) << c.name;
    EXPECT_FALSE(answer.enumeration_failed) << c.name;
    EXPECT_EQ(answer.delivered, c.delivered) << c.name;
  }
}

TEST_F(ProcessListTest, QueriesTheLanguageRejectsAreRefused) {
  for (const std::string& query :
       {QueryFor("it's.exe"), QueryFor("it''s.exe"), std::string("SELECT * FROM"),
        std::string("SELECT * FROM Win32_Process WHERE Name='excel.exe")}) {
    const platform::ProcessQueryAnswer answer = list_.ExecQuery(query);
    EXPECT_TRUE(answer.bound) << query;
    EXPECT_FALSE(answer.query_ok) << query;
    EXPECT_EQ(answer.delivered, 0) << query;
  }
}

TEST_F(ProcessListTest, WorksInsideAnApartmentTheCallerAlreadyJoined) {
  StartCopies("excel.exe", 1);
  for (const DWORD model : {COINIT_APARTMENTTHREADED, COINIT_MULTITHREADED}) {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, model)));
    const platform::ProcessQueryAnswer answer = list_.ExecQuery(QueryFor("excel.exe"));
    EXPECT_EQ(answer.delivered, 1) << model;
    ::CoUninitialize();
  }
}

}  // namespace
}  // namespace kvt::win32
