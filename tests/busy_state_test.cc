// The window's one busy state: in each state of the installer, which handlers are refused, what
// closing the window does, and whether a log-off may go on. Handlers are called directly, as a
// message that another program sends (which no input block stops) would run them. A refused
// handler leaves no trace: no change in the window, no message, no picker, no request, no
// process.
#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "net/download.h"
#include "startup/mupdate.h"
#include "support/install_fixture.h"
#include "window/fd.h"

namespace kvt {
namespace {

using testing::InstallRig;
using testing::PathExists;
using testing::ReadFileBytes;
using testing::Response;

constexpr std::size_t kArchiveSize = 200000;
constexpr char kReason[] = "正在安装KVT记账宝，请稍候...";
constexpr char kConfirm[] = "确定要放弃安装吗？";

enum class Closing { kEnds, kAsks, kRefused };

struct BusyRow {
  const char* name;
  std::vector<ControlId> refused;  // Cfolder stands for the button, Tpath for its double click
  Closing closing;                 // the close box, answered Cancel where it asks
  bool session_may_end;
};

void PrintTo(const BusyRow& row, std::ostream* os) { *os << row.name; }

const std::vector<ControlId> kAllStarts = {kCcontinue, kCfolder, kTpath, kCyes, kCno, kCend};

const BusyRow kRows[] = {
    {"AgreementPage", {}, Closing::kEnds, true},
    {"Fetching", kAllStarts, Closing::kEnds, true},
    {"PathPageIdle", {}, Closing::kAsks, true},
    {"PickerOpen", kAllStarts, Closing::kAsks, true},
    {"Downloading", {kCcontinue, kCfolder, kTpath, kCyes, kCend}, Closing::kAsks, false},
    {"QuestionOpen", kAllStarts, Closing::kRefused, false},
    {"Extracting", kAllStarts, Closing::kAsks, false},
    {"FinishPage", {}, Closing::kEnds, true},
};

// What a handler could leave behind.
using Trace =
    std::tuple<std::size_t, std::size_t, std::size_t, std::size_t, std::size_t, std::size_t>;
Trace TraceOf(InstallRig& rig) {
  return {rig.window().log.size(),         rig.ui().messages.size(),
          rig.shell().picker_calls.size(), rig.server.RequestCount(),
          rig.processes.starts.size(),     rig.m.machine.process_list.queries.size()};
}

void Call(Fd& fd, ControlId id) {
  switch (id) {
    case kCcontinue:
      fd.Ccontinue_Click();
      break;
    case kCfolder:
      fd.Cfolder_Click();
      break;
    case kTpath:
      fd.Tpath_DblClick();
      break;
    case kCyes:
      fd.Cyes_Click();
      break;
    case kCno:
      fd.Cno_Click();
      break;
    case kCend:
      fd.Cend_Click();
      break;
    default:
      FAIL() << "no handler for " << id;
  }
}

class BusyStateTest : public ::testing::TestWithParam<BusyRow> {
 protected:
  void SetUp() override {
    if (!testing::VendorIsLoopback())
      GTEST_SKIP() << "needs a build whose vendor host is 127.0.0.1";
  }

  // Runs in the state of the row: the refusals, the log-off question, then the close box.
  void Probe(Fd& fd) {
    const BusyRow& row = GetParam();
    probed_ = true;
    for (ControlId id : row.refused) {
      const Trace before = TraceOf(rig_);
      Call(fd, id);
      EXPECT_EQ(TraceOf(rig_), before) << "handler of control " << id << " was not refused";
    }
    EXPECT_EQ(fd.Form_QueryEndSession(), row.session_may_end);
    EXPECT_EQ(rig_.window().shutdown_reason, row.session_may_end ? "" : kReason);
    fd.Form_EndSession(false);  // the session goes on after all: nothing happens
    const std::size_t messages = rig_.ui().messages.size();
    rig_.ui().answers.push_front(platform::kIdCancel);
    headless::Close(fd);  // ends the program (unwinding to the harness) where closing ends
    ASSERT_NE(row.closing, Closing::kEnds) << "closing did not end the program";
    if (row.closing == Closing::kAsks) {
      ASSERT_EQ(rig_.ui().messages.size(), messages + 1);
      EXPECT_EQ(rig_.ui().messages.back().text, kConfirm);
    } else {
      rig_.ui().answers.pop_front();
      EXPECT_EQ(rig_.ui().messages.size(), messages) << "a second question was asked";
    }
  }

  // Brings the installer into the row's state and probes it there; true when the program ended.
  bool Run() {
    const std::string state = GetParam().name;
    auto probe = [this](Fd& f) { Probe(f); };
    if (state == "AgreementPage") {
      Fd& fd = rig_.Start();
      return headless::RunUntilEnd([&] { Probe(fd); });
    }
    if (state == "Fetching") {
      rig_.server.Route(testing::kManifestTarget,
                        Response::Ok(InstallRig::Manifest()).StallAfter(5));
      rig_.Start();
      rig_.Press(kCk);
      rig_.ui().script.push_back(
          {"fetching", [](Fd& f) { return f.FrameW.Visible() && Mupdate::ReceivedBytes >= 5; },
           probe});
      return rig_.Press(kCcontinue);
    }
    Fd& fd = rig_.OpenPathPage();
    if (state == "PathPageIdle") return headless::RunUntilEnd([&] { Probe(fd); });
    if (state == "PickerOpen") {
      rig_.shell().picks.push_back({platform::PickResult::kChosen, "E:\\Apps", [&] {
                                      EXPECT_FALSE(headless::Reachable(fd, kCyes))
                                          << "input is blocked";
                                      Probe(fd);
                                    }});
      return rig_.Press(kCfolder);
    }
    if (state == "Downloading" || state == "QuestionOpen") {
      rig_.ui().script.push_back({"downloading",
                                  [](Fd&) {
                                    return Mupdate::TotalBytes ==
                                               static_cast<std::int64_t>(kArchiveSize) &&
                                           Mupdate::ReceivedBytes > 0;
                                  },
                                  [&](Fd& f) {
                                    if (state == "Downloading") return Probe(f);
                                    rig_.ui().answers.push_back(platform::kIdCancel);
                                    rig_.ui().on_message = [&](const headless::MessageRecord&) {
                                      rig_.ui().on_message = nullptr;
                                      Probe(f);
                                    };
                                    EXPECT_TRUE(headless::Click(f, kCno));
                                  }});
      return rig_.Press(kCyes);
    }
    if (state == "Extracting") {
      auto extracting = [](Fd& f) { return f.Lb.Caption() == "正在安装(请不要关闭本窗口)..."; };
      rig_.ui().script.push_back({"extracting", extracting, probe});
      rig_.ui().script.push_back({"close again, answer OK", extracting, [&](Fd& f) {
                                    rig_.ui().answers.push_back(platform::kIdOk);
                                    headless::Close(f);
                                  }});
      return rig_.Press(kCyes);
    }
    EXPECT_FALSE(rig_.Press(kCyes));
    EXPECT_TRUE(fd.Frame3.Visible());
    return headless::RunUntilEnd([&] { Probe(fd); });
  }

  InstallRig rig_;
  bool probed_ = false;
};

TEST_P(BusyStateTest, RefusesWhatWouldNestAndAnswersCloseAndLogOff) {
  const BusyRow& row = GetParam();
  rig_.ServeRelease(0, kArchiveSize);
  if (std::string(row.name) == "Extracting") {
    // An extractor that never ends, as one waiting for an answer in its hidden console.
    rig_.server.Route(testing::kExtractorTarget, Response::Ok("#!/bin/sh\nexec sleep 60\n"));
  }
  const bool ended = Run();
  EXPECT_TRUE(probed_);
  EXPECT_EQ(ended, row.closing == Closing::kEnds);
  if (ended) return;
  Fd& fd = Mupdate::FdInstance();
  const std::string state = row.name;
  if (state == "PickerOpen") {
    // Confirmed after the question: the page is idle again, so the choice is taken.
    EXPECT_EQ(Mupdate::InstallPath, "E:\\Apps\\");
    EXPECT_TRUE(rig_.processes.starts.empty());
  }
  if (state == "Downloading" || state == "QuestionOpen") {
    EXPECT_TRUE(fd.Frame3.Visible()) << "the install went on";
    EXPECT_EQ(rig_.window().shutdown_reason, "") << "withdrawn when the install ended";
  }
  if (state == "Extracting") {
    // Cancel let the extractor run on; closing again, answered OK, ended the extractor and not
    // the program: the install failed, the page is idle, and a retry completes.
    ASSERT_EQ(rig_.ui().messages.size(), 3u);
    EXPECT_EQ(rig_.ui().messages[1].text, kConfirm);
    EXPECT_EQ(rig_.ui().messages[2].text, "在线安装过程发生错误！\r\n请重试！");
    EXPECT_EQ(rig_.processes.terminates, 1);
    ASSERT_EQ(rig_.processes.starts.size(), 1u);
    EXPECT_NE(::kill(static_cast<pid_t>(rig_.processes.starts[0].pid), 0), 0)
        << "the extractor is gone";
    EXPECT_TRUE(fd.Frame2.Visible());
    for (ControlId id : {kCfolder, kCyes, kCno}) EXPECT_TRUE(headless::Reachable(fd, id));
    EXPECT_EQ(rig_.window().shutdown_reason, "");
    rig_.server.Route(testing::kExtractorTarget, Response::Ok(rig_.ExtractorScript(0)));
    EXPECT_FALSE(rig_.Press(kCyes));
    EXPECT_TRUE(fd.Frame3.Visible());
    EXPECT_EQ(ReadFileBytes(rig_.Linux(testing::kProductPath)), rig_.ProductArchive(kArchiveSize));
  }
}

// The session ends in the middle of the archive: the program ends where it stands, as after a
// confirmed close. The partial file keeps what came; nothing is renamed, nothing extracted.
TEST(LogOffTest, EndOfSessionDuringTheDownloadLeavesThePartialFile) {
  if (!testing::VendorIsLoopback()) GTEST_SKIP() << "needs a build whose vendor host is 127.0.0.1";
  InstallRig rig;
  rig.ServeRelease(0, kArchiveSize);
  rig.server.Route(testing::kArchiveTarget,
                   Response::Ok(rig.ProductArchive(kArchiveSize)).StallAfter(4096));
  rig.OpenPathPage();
  rig.ui().script.push_back({"log-off", [](Fd&) { return Mupdate::ReceivedBytes >= 4096; },
                             [&](Fd& f) {
                               EXPECT_FALSE(f.Form_QueryEndSession());
                               f.Form_EndSession(true);
                             }});
  EXPECT_TRUE(rig.Press(kCyes));
  const std::string folder = rig.Linux(testing::kDefaultFolder);
  EXPECT_EQ(ReadFileBytes(folder + "KVT_SETUP.rar.temp"),
            rig.ProductArchive(kArchiveSize).substr(0, 4096));
  EXPECT_FALSE(PathExists(folder + "KVT_SETUP.rar"));
  EXPECT_TRUE(rig.processes.starts.empty());
  EXPECT_TRUE(rig.ui().messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, BusyStateTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<BusyRow>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kvt
