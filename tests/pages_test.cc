// The agreement and path pages (Continue, the heading, the folder picker) and the ways out of
// the window on every page: Cancel, the close box and Finish.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/text_lines.h"
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

class PagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::VendorIsLoopback())
      GTEST_SKIP() << "needs a build whose vendor host is 127.0.0.1";
  }
};

using testing::SplitCrLf;

// --- Agreement page and Continue -------------------------------------------------------------

TEST_F(PagesTest, ContinueWithTheServerUnreachableShowsOneMessageAndCanBePressedAgain) {
  InstallRig rig;
  const std::uint16_t port = rig.server.port();
  rig.server.Stop();  // nothing listens on the vendor port any more
  Fd& fd = rig.Start();
  EXPECT_FALSE(rig.Press(kCk));
  std::vector<bool> overlay_during_message;
  rig.ui().on_message = [&](const headless::MessageRecord&) {
    overlay_during_message.push_back(fd.FrameW.Visible());
  };
  const std::size_t log_before = rig.window().log.size();

  EXPECT_FALSE(rig.Press(kCcontinue));

  ASSERT_EQ(rig.ui().messages.size(), 1u);
  EXPECT_EQ(rig.ui().messages[0].text, "无法连接到服务器！");
  EXPECT_EQ(rig.ui().messages[0].style, 16);
  EXPECT_EQ(rig.ui().messages[0].title, "错误");
  EXPECT_EQ(overlay_during_message, std::vector<bool>{true})
      << "the overlay stays until the box closes";
  EXPECT_EQ(rig.LogSince(log_before),
            (std::vector<std::string>{"FrameW.Visible=1", "FrameW.Visible=0"}));
  // The agreement page as it was: accepted, Continue usable.
  EXPECT_TRUE(fd.Frame1.Visible());
  EXPECT_FALSE(fd.Frame2.Visible());
  EXPECT_EQ(fd.Ck.Value(), 1);
  EXPECT_TRUE(headless::Reachable(fd, kCcontinue));
  EXPECT_TRUE(Mupdate::ReleaseVersion.empty());
  EXPECT_TRUE(Mupdate::UnrarUrl.empty());
  EXPECT_TRUE(Mupdate::PackageUrl.empty());

  // The server is back: the same button now reaches the path page.
  testing::TestServer again(port);
  rig.ServeRelease(again);
  EXPECT_FALSE(rig.Press(kCcontinue));
  EXPECT_EQ(rig.ui().messages.size(), 1u);
  EXPECT_TRUE(fd.Frame2.Visible());
  EXPECT_FALSE(fd.Frame1.Visible());
  EXPECT_FALSE(fd.FrameW.Visible());
  EXPECT_EQ(again.RequestCount(), 1u);
}

TEST_F(PagesTest, HeadingNamesProductAndVersionOnFourLines) {
  for (const std::string version : {"2.1", " 2.1 beta "}) {
    SCOPED_TRACE(version);
    InstallRig rig;
    rig.ServeRelease();
    rig.server.Route(testing::kManifestTarget, Response::Ok(InstallRig::Manifest(version)));
    Fd& fd = rig.OpenPathPage();
    EXPECT_EQ(
        SplitCrLf(fd.Lt.Caption()),
        (std::vector<std::string>{"本程序将为您在线安装", "KVT记账宝", "", "版本：" + version}));
    EXPECT_EQ(Mupdate::ReleaseVersion, version);
    EXPECT_EQ(Mupdate::UnrarUrl, InstallRig::VendorUrl(testing::kExtractorTarget));
    EXPECT_EQ(Mupdate::PackageUrl, InstallRig::VendorUrl(testing::kArchiveTarget));
  }
}

TEST_F(PagesTest, ClosingTheAgreementPageEndsAtOnce) {
  InstallRig rig;
  rig.ServeRelease();
  rig.Start();
  EXPECT_TRUE(rig.PressClose());
  EXPECT_TRUE(rig.ui().messages.empty());
  EXPECT_EQ(rig.server.RequestCount(), 0u);
}

TEST_F(PagesTest, ClosingDuringTheManifestFetchEndsWithoutAQuestion) {
  InstallRig rig;
  const std::string manifest = InstallRig::Manifest();
  // The server sends a few bytes and then holds the rest back.
  rig.server.Route(testing::kManifestTarget, Response::Ok(manifest).StallAfter(5));
  Fd& fd = rig.Start();
  EXPECT_FALSE(rig.Press(kCk));
  bool closed = false;
  rig.ui().script.push_back(
      {"close the window while the manifest arrives",
       [](Fd& f) { return f.FrameW.Visible() && Mupdate::ReceivedBytes >= 5; },
       [&](Fd& f) {
         closed = true;
         headless::Close(f);
       }});

  EXPECT_TRUE(rig.Press(kCcontinue));

  EXPECT_TRUE(closed);
  EXPECT_TRUE(rig.ui().messages.empty());
  // Ended where it stood: still behind the overlay, the partial manifest left beside the program.
  EXPECT_TRUE(fd.FrameW.Visible());
  EXPECT_TRUE(fd.Frame1.Visible());
  EXPECT_FALSE(fd.Frame2.Visible());
  EXPECT_EQ(ReadFileBytes(rig.Linux("C:\\KVT\\KVT_SETUP_LOG.TEMP.temp")), manifest.substr(0, 5));
}

// --- Cancel and close on the path page and the finish page --------------------------------------

struct IdleLeaveRow {
  const char* name;
  bool close_box;  // else Cno
  int answer;
};

void PrintTo(const IdleLeaveRow& row, std::ostream* os) { *os << row.name; }

class PathPageLeaveTest : public PagesTest, public ::testing::WithParamInterface<IdleLeaveRow> {};

TEST_P(PathPageLeaveTest, AsksAndEndsOnlyOnOk) {
  const IdleLeaveRow& row = GetParam();
  InstallRig rig;
  rig.ServeRelease();
  Fd& fd = rig.OpenPathPage();
  rig.ui().answers.push_back(row.answer);
  const std::size_t log_before = rig.window().log.size();
  const std::size_t requests_before = rig.server.RequestCount();

  const bool ended = row.close_box ? rig.PressClose() : rig.Press(kCno);

  ASSERT_EQ(rig.ui().messages.size(), 1u);
  EXPECT_EQ(rig.ui().messages[0].text, "确定要放弃安装吗？");
  EXPECT_EQ(rig.ui().messages[0].style, 1);
  EXPECT_EQ(rig.ui().messages[0].title, "提示");
  EXPECT_EQ(ended, row.answer == platform::kIdOk);
  EXPECT_TRUE(rig.LogSince(log_before).empty()) << "nothing on the page changes";
  EXPECT_EQ(rig.server.RequestCount(), requests_before);
  EXPECT_TRUE(rig.processes.starts.empty());
  if (!ended) {
    EXPECT_TRUE(fd.Frame2.Visible());
    for (ControlId id : {kCfolder, kCyes, kCno}) EXPECT_TRUE(headless::Reachable(fd, id));
    // The window is still in use: the install can be started afterwards.
    EXPECT_FALSE(rig.Press(kCyes));
    EXPECT_TRUE(fd.Frame3.Visible());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PathPageLeaveTest,
    ::testing::Values(IdleLeaveRow{"CancelButtonOk", false, platform::kIdOk},
                      IdleLeaveRow{"CancelButtonCancel", false, platform::kIdCancel},
                      IdleLeaveRow{"CloseBoxOk", true, platform::kIdOk},
                      IdleLeaveRow{"CloseBoxCancel", true, platform::kIdCancel}),
    [](const ::testing::TestParamInfo<IdleLeaveRow>& info) {
      return std::string(info.param.name);
    });

struct FinishRow {
  const char* name;
  bool close_box;  // else Cend
  bool run;        // Crun left ticked
};

void PrintTo(const FinishRow& row, std::ostream* os) { *os << row.name; }

class FinishPageTest : public PagesTest, public ::testing::WithParamInterface<FinishRow> {};

TEST_P(FinishPageTest, StartsTheProductOnlyWhenRunIsTickedAndEnds) {
  const FinishRow& row = GetParam();
  InstallRig rig;
  rig.ServeRelease();
  Fd& fd = rig.OpenPathPage();
  EXPECT_FALSE(rig.Press(kCyes));
  ASSERT_TRUE(fd.Frame3.Visible());
  ASSERT_EQ(rig.processes.starts.size(), 1u);  // the extractor
  if (!row.run) {
    EXPECT_FALSE(rig.Press(kCrun));
    EXPECT_EQ(fd.Crun.Value(), 0);
  }

  EXPECT_TRUE(row.close_box ? rig.PressClose() : rig.Press(kCend));

  EXPECT_TRUE(rig.ui().messages.empty()) << "no question on the finish page";
  if (row.run) {
    ASSERT_EQ(rig.processes.starts.size(), 2u);
    EXPECT_EQ(rig.processes.starts[1].command_line, "\"D:\\KVT记账宝\\KVT.exe\"");
    EXPECT_EQ(rig.processes.starts[1].window_style, 1);
    // The installed product really runs: it leaves its marker with the line it was given.
    EXPECT_EQ(rig.WaitForProductMarker(), "\"D:\\KVT记账宝\\KVT.exe\"");
    // Started, not waited for.
    EXPECT_EQ(rig.processes.waits.size(), 1u);
  } else {
    EXPECT_EQ(rig.processes.starts.size(), 1u);
    EXPECT_FALSE(PathExists(rig.ProductMarker()));
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, FinishPageTest,
                         ::testing::Values(FinishRow{"FinishWithRun", false, true},
                                           FinishRow{"FinishWithoutRun", false, false},
                                           FinishRow{"CloseBoxWithRun", true, true},
                                           FinishRow{"CloseBoxWithoutRun", true, false}),
                         [](const ::testing::TestParamInfo<FinishRow>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(PagesTest, FinishWhenTheProductCannotBeStartedSaysSoOnceAndEnds) {
  InstallRig rig;
  rig.ServeRelease();
  Fd& fd = rig.OpenPathPage();
  EXPECT_FALSE(rig.Press(kCyes));
  ASSERT_TRUE(fd.Frame3.Visible());
  // The archive held no KVT.exe after all.
  ASSERT_EQ(std::remove(rig.Linux(testing::kProductPath).c_str()), 0);

  EXPECT_TRUE(rig.Press(kCend));

  ASSERT_EQ(rig.ui().messages.size(), 1u);
  EXPECT_EQ(rig.ui().messages[0].text, "无法启动程序：D:\\KVT记账宝\\KVT.exe");
  EXPECT_EQ(rig.ui().messages[0].style, 16);
  EXPECT_EQ(rig.ui().messages[0].title, "错误");
  ASSERT_EQ(rig.processes.starts.size(), 2u);
  EXPECT_FALSE(rig.processes.starts[1].started);
}

// --- The folder picker
// ----------------------------------------------------------------------------

TEST_F(PagesTest, CancelledPickerChangesNothing) {
  InstallRig rig;
  rig.ServeRelease();
  Fd& fd = rig.OpenPathPage();
  rig.shell().picks.push_back({platform::PickResult::kCancelled, "E:\\Ignored", nullptr});
  const std::size_t log_before = rig.window().log.size();

  EXPECT_FALSE(rig.Press(kCfolder));

  ASSERT_EQ(rig.shell().picker_calls.size(), 1u);
  EXPECT_EQ(rig.shell().picker_calls[0].title, "请选择安装路径：");
  EXPECT_EQ(rig.shell().picker_calls[0].options, 16);
  EXPECT_EQ(rig.shell().picker_calls[0].root, 17);
  EXPECT_EQ(Mupdate::InstallPath, testing::kDefaultFolder);
  EXPECT_EQ(fd.Tpath.Text(), testing::kDefaultFolder);
  EXPECT_TRUE(rig.LogSince(log_before).empty());
  EXPECT_TRUE(rig.ui().messages.empty());
}

TEST_F(PagesTest, PickerThatCannotOpenSaysSoAndChangesNothing) {
  InstallRig rig;
  rig.ServeRelease();
  Fd& fd = rig.OpenPathPage();
  rig.shell().picks.push_back({platform::PickResult::kFailed, "E:\\Ignored", nullptr});
  const std::size_t log_before = rig.window().log.size();

  EXPECT_FALSE(rig.Press(kCfolder));

  ASSERT_EQ(rig.ui().messages.size(), 1u);
  EXPECT_EQ(rig.ui().messages[0].text, "无法打开文件夹选择窗口！");
  EXPECT_EQ(rig.ui().messages[0].style, 16);
  EXPECT_EQ(rig.ui().messages[0].title, "错误");
  EXPECT_EQ(Mupdate::InstallPath, testing::kDefaultFolder);
  EXPECT_EQ(fd.Tpath.Text(), testing::kDefaultFolder);
  EXPECT_TRUE(rig.LogSince(log_before).empty());
  EXPECT_TRUE(headless::Reachable(fd, kCfolder));
}

struct PickRow {
  const char* name;
  const char* chosen;    // the picker's path
  const char* expected;  // InstallPath and Tpath afterwards
  bool double_click;     // open it by double-clicking Tpath instead of the button
};

void PrintTo(const PickRow& row, std::ostream* os) { *os << row.name; }

class PickerChoiceTest : public PagesTest, public ::testing::WithParamInterface<PickRow> {};

TEST_P(PickerChoiceTest, AppendsOneBackslashAndShowsIt) {
  const PickRow& row = GetParam();
  InstallRig rig;
  rig.ServeRelease();
  Fd& fd = rig.OpenPathPage();
  rig.shell().picks.push_back({platform::PickResult::kChosen, row.chosen, nullptr});

  if (row.double_click) {
    EXPECT_TRUE(headless::RunUntilEnd([&] { EXPECT_TRUE(headless::DoubleClick(fd, kTpath)); }) ==
                false);
  } else {
    EXPECT_FALSE(rig.Press(kCfolder));
  }

  EXPECT_EQ(rig.shell().picker_calls.size(), 1u);
  EXPECT_EQ(Mupdate::InstallPath, row.expected);
  EXPECT_EQ(fd.Tpath.Text(), row.expected);
  EXPECT_EQ(rig.window().log.back(), std::string("Tpath.Caption=") + row.expected);
  EXPECT_TRUE(rig.ui().messages.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PickerChoiceTest,
    ::testing::Values(PickRow{"Folder", "E:\\Apps", "E:\\Apps\\", false},
                      PickRow{"DriveRoot", "E:\\", "E:\\\\", false},
                      PickRow{"ChineseFolder", "D:\\软件\\记账", "D:\\软件\\记账\\", false},
                      PickRow{"ByDoubleClick", "E:\\Apps", "E:\\Apps\\", true}),
    [](const ::testing::TestParamInfo<PickRow>& info) { return std::string(info.param.name); });

TEST_F(PagesTest, InstallGoesToThePickedFolderNotToTheTextOfThePathBox) {
  InstallRig rig;
  rig.ServeRelease();
  Fd& fd = rig.OpenPathPage();
  rig.shell().picks.push_back({platform::PickResult::kChosen, "D:\\软件", nullptr});
  EXPECT_FALSE(rig.Press(kCfolder));
  // Whatever the box shows, the folder is InstallPath.
  fd.Tpath.SetText("D:\\elsewhere\\");

  EXPECT_FALSE(rig.Press(kCyes));

  ASSERT_TRUE(fd.Frame3.Visible());
  EXPECT_EQ(ReadFileBytes(rig.m.d_drive + "/软件/KVT.exe"), rig.ProductArchive());
  EXPECT_TRUE(PathExists(rig.m.d_drive + "/软件/UnRAR.exe"));
  EXPECT_FALSE(PathExists(rig.m.d_drive + "/elsewhere"));
  EXPECT_FALSE(PathExists(rig.m.d_drive + "/KVT记账宝"));
  ASSERT_EQ(rig.processes.starts.size(), 1u);
  EXPECT_EQ(rig.processes.starts[0].command_line,
            "\"D:\\软件\\\\UnRAR.exe\" x -o+ \"D:\\软件\\\\KVT_SETUP.rar\" \"D:\\软件\\\"");
  EXPECT_EQ(rig.shell().shortcuts,
            (std::map<std::string, std::string>{{testing::kShortcutPath, "D:\\软件\\KVT.exe"}}));
}

TEST_F(PagesTest, StartDoesNothingWhileThePickerIsOpen) {
  InstallRig rig;
  rig.ServeRelease();
  Fd& fd = rig.OpenPathPage();
  const std::size_t requests = rig.server.RequestCount();
  // Start is pressed while the picker is open (the window takes no input), and arrives anyway
  // as a message from another program; then the user confirms E:\Apps in the picker.
  bool clicked = true;
  rig.shell().picks.push_back({platform::PickResult::kChosen, "E:\\Apps", [&] {
                                 clicked = headless::Click(fd, kCyes);
                                 fd.Cyes_Click();
                               }});

  EXPECT_FALSE(rig.Press(kCfolder));

  EXPECT_FALSE(clicked) << "input is blocked while the picker is open";
  EXPECT_EQ(rig.server.RequestCount(), requests) << "nothing was installed";
  EXPECT_TRUE(rig.processes.starts.empty());
  EXPECT_TRUE(fd.Frame2.Visible());
  EXPECT_FALSE(fd.Lb.Visible());
  // The page was idle when the choice came: it is taken, and input works again.
  EXPECT_EQ(Mupdate::InstallPath, "E:\\Apps\\");
  EXPECT_EQ(fd.Tpath.Text(), "E:\\Apps\\");
  EXPECT_TRUE(headless::Reachable(fd, kCyes));
  EXPECT_TRUE(rig.ui().messages.empty());
}

TEST_F(PagesTest, ClosingTheWindowWhileThePickerIsOpenAsksAndEndsOnOk) {
  InstallRig rig;
  rig.ServeRelease();
  Fd& fd = rig.OpenPathPage();
  rig.shell().picks.push_back(
      {platform::PickResult::kChosen, "E:\\Apps", [&] { headless::Close(fd); }});

  EXPECT_TRUE(rig.Press(kCfolder));

  ASSERT_EQ(rig.ui().messages.size(), 1u);
  EXPECT_EQ(rig.ui().messages[0].text, "确定要放弃安装吗？");
  EXPECT_EQ(Mupdate::InstallPath, testing::kDefaultFolder) << "the choice never arrived";
}

}  // namespace
}  // namespace kvt
