// Start-up order, the window's initial state, its layout table and the agreement text.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "support/text_lines.h"
#include "platform/headless/headless.h"
#include "startup/mupdate.h"
#include "startup/pending_error.h"
#include "window/fd.h"
#include "window/layout.h"

namespace kvt {
namespace {

using headless::Machine;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Mupdate::ResetForNewRun();
    PendingError::Clear();
    platform::Install(machine_.Platform(nullptr, nullptr, nullptr));
  }
  void TearDown() override { Mupdate::ResetForNewRun(); }

  Machine machine_;
};

using testing::SplitCrLf;

TEST_F(StartupTest, SecondCopyShowsOneNoticeAndEndsWithoutWindow) {
  machine_.ui.another_instance = true;
  EXPECT_TRUE(headless::RunUntilEnd([] { Mupdate::Main(); }));
  ASSERT_EQ(machine_.ui.messages.size(), 1u);
  EXPECT_EQ(machine_.ui.messages[0].text, "KVT在线安装程序已经运行！");
  EXPECT_EQ(machine_.ui.messages[0].style, 64);
  EXPECT_EQ(machine_.ui.messages[0].title, "提示");
  EXPECT_FALSE(machine_.window.created);
  EXPECT_FALSE(Mupdate::FdExists());
  EXPECT_TRUE(Mupdate::InstallPath.empty());
}

TEST_F(StartupTest, WindowShowsDefaultFolderAndOnlyTheAgreementPage) {
  EXPECT_FALSE(headless::RunUntilEnd([] { Mupdate::Main(); }));
  EXPECT_TRUE(machine_.ui.messages.empty());
  EXPECT_TRUE(machine_.window.shown);
  EXPECT_EQ(Mupdate::InstallPath, "D:\\KVT记账宝\\");
  Fd& fd = Mupdate::FdInstance();
  EXPECT_EQ(fd.Tpath.Text(), "D:\\KVT记账宝\\");
  EXPECT_TRUE(fd.Frame1.Visible());
  EXPECT_FALSE(fd.FrameW.Visible());
  EXPECT_FALSE(fd.Frame2.Visible());
  EXPECT_FALSE(fd.Frame3.Visible());
  EXPECT_EQ(fd.Ck.Value(), 0);
  EXPECT_FALSE(fd.Ccontinue.Enabled());
  EXPECT_FALSE(fd.Lb.Visible());
  EXPECT_FALSE(fd.Lw.Visible());
  EXPECT_EQ(fd.Crun.Value(), 1);
  EXPECT_EQ(machine_.window.outer_width, 7590);
  EXPECT_EQ(machine_.window.outer_height, 6000);
  // Before the first manifest fetch the release values are empty.
  EXPECT_TRUE(Mupdate::ReleaseVersion.empty());
  EXPECT_TRUE(Mupdate::UnrarUrl.empty());
  EXPECT_TRUE(Mupdate::PackageUrl.empty());
}

TEST_F(StartupTest, InitialisationStacksPagesAndChangesNoStateOrCaption) {
  Mupdate::Main();
  const std::vector<std::string>& log = machine_.window.log;
  const std::vector<std::string> moves(log.begin(), log.begin() + 8);
  EXPECT_EQ(moves, (std::vector<std::string>{"Frame1.Move=0,0", "Frame1.Move=0,0",
                                             "Frame2.Move=0,0", "Frame2.Move=0,0",
                                             "Frame3.Move=0,0", "Frame3.Move=0,0",
                                             "FrameW.Move=0,0", "FrameW.Move=0,0"}))
      << "pages are moved to Left 0, then Top 0, in the order Frame1, Frame2, Frame3, FrameW";
  for (const std::string& entry : log) {
    EXPECT_EQ(entry.find(".Visible="), std::string::npos) << entry;
    EXPECT_EQ(entry.find(".Enabled="), std::string::npos) << entry;
    EXPECT_EQ(entry.find(".Value="), std::string::npos) << entry;
  }
  // Only the two text boxes receive text, the agreement in one assignment.
  const auto texts = std::count_if(log.begin(), log.end(), [](const std::string& e) {
    return e.find(".Caption=") != std::string::npos;
  });
  EXPECT_EQ(texts, 2);
}

TEST_F(StartupTest, CheckBoxEnablesAndDisablesContinue) {
  Mupdate::Main();
  Fd& fd = Mupdate::FdInstance();
  EXPECT_FALSE(headless::Reachable(fd, kCcontinue));
  ASSERT_TRUE(headless::Click(fd, kCk));
  EXPECT_EQ(fd.Ck.Value(), 1);
  EXPECT_TRUE(fd.Ccontinue.Enabled());
  ASSERT_TRUE(headless::Click(fd, kCk));
  EXPECT_EQ(fd.Ck.Value(), 0);
  EXPECT_FALSE(fd.Ccontinue.Enabled());
  // The other pages' controls are out of reach while the agreement page is shown.
  for (ControlId id : {kCyes, kCno, kCfolder, kCend, kCrun}) {
    EXPECT_FALSE(headless::Reachable(fd, id)) << id;
  }
}

TEST(AgreementText, SeventeenLinesWithExactlyTwoEmptyOnes) {
  const std::string text = AgreementText();
  EXPECT_NE(text.substr(text.size() - 2), "\r\n");
  const std::vector<std::string> lines = SplitCrLf(text);
  ASSERT_EQ(lines.size(), 17u);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].empty(), i == 1 || i == 14) << "line " << i + 1;
    EXPECT_EQ(lines[i].find_first_of("\r\n"), std::string::npos) << "line " << i + 1;
  }
  struct Opening {
    std::size_t line;
    const char* words;
  };
  const Opening openings[] = {
      {1, "KVTsoft软件产品许可协议"},
      {3, "一、软件使用协议"},
      {4, "本协议是用户 (自然人、法人或社会团体）与KVTsoft软件作者"},
      {5, "二、软件产品保护条款"},
      {6, "（1）KVTsoft软件产品之著作权及其它知识产权等相关权利或利益"},
      {7, "（2）用户不得："},
      {8, "（3）KVTsoft软件产品以现状方式提供"},
      {9, "（4）为了更好地服务于用户"},
      {10, "（5）使用KVTsoft软件产品由用户自己承担风险"},
      {11, "（6）作者定义的信息内容包括"},
      {12, "（7）如果您未遵守本协议的任何一项条款"},
      {13, "三、作者具有对以上各项条款内容的最终解释权和修改权"},
      {14, "四、因本协议所发生的纠纷"},
      {16, "KVTsoft软件作者："},
  };
  for (const Opening& o : openings) {
    EXPECT_EQ(lines[o.line - 1].rfind(o.words, 0), 0u) << "line " << o.line;
  }
  EXPECT_EQ(lines[0], "KVTsoft软件产品许可协议");
  EXPECT_EQ(lines[2], "一、软件使用协议");
  EXPECT_EQ(lines[4], "二、软件产品保护条款");
  EXPECT_NE(lines[16].find('@'), std::string::npos) << "the contact line holds an e-mail address";
}

TEST(Layout, EveryControlOnceOnAPageWithinTheVisibleWidth) {
  std::set<int> ids;
  for (const layout::Control& c : layout::kControls) {
    EXPECT_TRUE(ids.insert(c.id).second) << c.name;
    if (c.kind == layout::Kind::kFrame) {
      EXPECT_EQ(c.page, kNoControl);
      continue;
    }
    const layout::Control* page = layout::Find(c.page);
    ASSERT_NE(page, nullptr) << c.name;
    EXPECT_EQ(page->kind, layout::Kind::kFrame) << c.name;
    const int right = c.kind == layout::Kind::kLine ? c.width : c.left + c.width;
    if (c.id != kLine2) {
      EXPECT_LE(right, 7335) << c.name;
    }
  }
  EXPECT_EQ(ids.size(), 25u);
  // The fill spans exactly the track when full.
  const layout::Control& lw = *layout::Find(kLw);
  const layout::Control& line1 = *layout::Find(kLine1);
  EXPECT_EQ(lw.left, line1.left);
  EXPECT_EQ(lw.left + lw.width, line1.width);
  EXPECT_EQ(lw.top + lw.height, line1.top + 5);
}

TEST(Layout, TabOrderOfEachPage) {
  auto order = [](ControlId page) {
    std::vector<std::pair<int, std::string>> focusable;
    for (const layout::Control& c : layout::kControls) {
      const bool takes_focus = c.kind == layout::Kind::kTextBox ||
                               c.kind == layout::Kind::kCheckBox ||
                               c.kind == layout::Kind::kButton;
      if (c.page == page && takes_focus) focusable.emplace_back(c.tab_index, std::string(c.name));
    }
    std::sort(focusable.begin(), focusable.end());
    std::vector<std::string> names;
    for (auto& f : focusable) names.push_back(f.second);
    return names;
  };
  EXPECT_EQ(order(kFrame1), (std::vector<std::string>{"Txy", "Ck", "Ccontinue"}));
  EXPECT_EQ(order(kFrame2), (std::vector<std::string>{"Tpath", "Cfolder", "Cyes", "Cno"}));
  EXPECT_EQ(order(kFrame3), (std::vector<std::string>{"Cend", "Crun"}));
}

}  // namespace
}  // namespace kvt
