// The install procedure from the start button to the finish page, against the loopback server
// and with real files and processes: what the user sees, what is left on disk, and how each
// failure returns the path page to idle.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "net/download.h"
#include "net/manifest.h"
#include "net/mirrors.h"
#include "startup/mupdate.h"
#include "startup/pending_error.h"
#include "support/install_fixture.h"
#include "support/release_signer.h"
#include "support/test_certificates.h"
#include "window/fd.h"

namespace kvt {
namespace {

using testing::InstallRig;
using testing::PathExists;
using testing::ReadFileBytes;
using testing::Response;

constexpr char kCannotConnect[] = "无法连接到服务器！";
constexpr char kInstallFailed[] = "在线安装过程发生错误！\r\n请重试！";
constexpr char kTampered[] = "安装文件校验失败，文件可能已被篡改！\r\n请检查网络环境后重试。";
constexpr char kDiskFull[] = "磁盘空间不足！\r\n请清理磁盘或选择其他安装路径。";
// A length no disk of this machine can hold.
constexpr std::uint64_t kHugeLength = std::uint64_t{1} << 52;

class InstallFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::VendorIsLoopback())
      GTEST_SKIP() << "needs a build whose vendor host is 127.0.0.1";
  }
};

// The idle path page: page shown, progress hidden, all three buttons usable.
void ExpectIdle(Fd& fd) {
  EXPECT_TRUE(fd.Frame2.Visible());
  EXPECT_FALSE(fd.Frame3.Visible());
  EXPECT_FALSE(fd.Lb.Visible());
  EXPECT_FALSE(fd.Lw.Visible());
  for (ControlId id : {kCfolder, kCyes, kCno}) {
    EXPECT_TRUE(headless::Reachable(fd, id)) << "control " << id;
  }
}

TEST_F(InstallFlowTest, TypicalInstallShowsEveryStepAndLeavesTheProductAndShortcut) {
  // An archive of several pieces, so that the user can act between them.
  constexpr std::size_t kArchiveSize = 200000;
  InstallRig rig;
  rig.ServeRelease(0, kArchiveSize);
  // A temporary folder that takes no log changes nothing of what follows.
  rig.m.log.refuse = true;
  Fd& fd = rig.Start();
  const std::size_t after_start = rig.window().log.size();

  // Agreement page: only the acceptance box and the text can be used at first.
  EXPECT_TRUE(headless::Reachable(fd, kCk));
  EXPECT_FALSE(headless::Reachable(fd, kCcontinue));
  EXPECT_FALSE(rig.Press(kCk));
  EXPECT_FALSE(rig.Press(kCcontinue));
  ASSERT_TRUE(fd.Frame2.Visible());
  EXPECT_EQ(fd.Tpath.Text(), testing::kDefaultFolder);
  // The manifest went to a scratch file beside the program, which is gone again.
  EXPECT_FALSE(PathExists(rig.Linux("C:\\KVT\\KVT_SETUP_LOG.TEMP")));
  EXPECT_FALSE(PathExists(rig.Linux("C:\\KVT\\KVT_SETUP_LOG.TEMP.temp")));

  // What the user can reach while the archive downloads and while the extractor runs.
  std::vector<std::string> seen;
  rig.ui().script.push_back(
      {"during the archive download",
       [](Fd&) { return Mupdate::TotalBytes == kArchiveSize && Mupdate::ReceivedBytes > 0; },
       [&](Fd& f) {
         seen.push_back(std::string("downloading: Cyes ") +
                        (headless::Reachable(f, kCyes) ? "on" : "off") + ", Cfolder " +
                        (headless::Reachable(f, kCfolder) ? "on" : "off") + ", Cno " +
                        (headless::Reachable(f, kCno) ? "on" : "off"));
       }});
  rig.ui().script.push_back(
      {"while the extractor starts",
       [](Fd& f) { return f.Lb.Caption() == "正在安装(请不要关闭本窗口)..."; },
       [&](Fd& f) {
         // Both files are held while the extractor runs, and no longer writable.
         std::string held;
         for (const std::string& name : testing::OpenFilesIn(rig.Linux(testing::kDefaultFolder))) {
           struct stat st {};
           ::stat(rig.Linux(testing::kDefaultFolder + name).c_str(), &st);
           held += " " + name + ((st.st_mode & 0222) == 0 ? " read-only" : " writable");
         }
         seen.push_back(std::string("extracting: Cno ") +
                        (headless::Reachable(f, kCno) ? "on" : "off") + ", held" + held);
       }});
  const std::size_t requests_before = rig.server.RequestCount();
  EXPECT_FALSE(rig.Press(kCyes));
  EXPECT_TRUE(rig.ui().messages.empty());
  EXPECT_EQ(seen, (std::vector<std::string>{"downloading: Cyes off, Cfolder off, Cno on",
                                            "extracting: Cno off, held KVT_SETUP.rar read-only "
                                            "UnRAR.exe read-only"}));
  EXPECT_EQ(rig.TargetsSince(requests_before),
            (std::vector<std::string>{"/UnRAR.exe", "/KVT_SETUP.rar"}));

  const std::vector<std::string> expected = {
      "Ccontinue.Enabled=1",
      "FrameW.Visible=1",
      "Lt.Caption=本程序将为您在线安装\r\nKVT记账宝\r\n\r\n版本：2.1",
      "FrameW.Visible=0",
      "Frame1.Visible=0",
      "Frame2.Visible=1",
      "Lb.Caption=正在连接KVT服务器...",
      "Lb.Visible=1",
      "Lw.Width=0",
      "Lw.Visible=1",
      "Cfolder.Enabled=0",
      "Cyes.Enabled=0",
      "Lb.Caption=正在安装(请不要关闭本窗口)...",
      "Cno.Enabled=0",
      "Lb.Caption=安装完成！",
      "Lw.Width=6765",
      "Lfinish.Caption=KVT记账宝  已经成功的安装到您的计算机。",
      "Crun.Caption=运行  KVT记账宝",
      "Frame2.Visible=0",
      "Frame3.Visible=1",
  };
  EXPECT_EQ(rig.LogSince(after_start), expected);

  // Finish page: the bar is full, both texts name the product, Finish and Run are usable.
  EXPECT_EQ(fd.Lw.Width(), fd.Lb.Width());
  EXPECT_EQ(fd.Lfinish.Caption(), "KVT记账宝  已经成功的安装到您的计算机。");
  EXPECT_EQ(fd.Crun.Caption(), "运行  KVT记账宝");
  EXPECT_EQ(fd.Crun.Value(), 1);
  EXPECT_TRUE(headless::Reachable(fd, kCend));
  EXPECT_TRUE(headless::Reachable(fd, kCrun));
  EXPECT_FALSE(PendingError::IsPending());

  // Files left: the extractor and the archive as served, the product as extracted, no partial
  // files; the shortcut points at the product.
  const std::string folder = rig.Linux(testing::kDefaultFolder);
  EXPECT_EQ(ReadFileBytes(folder + "UnRAR.exe"), rig.ExtractorScript(0));
  EXPECT_EQ(ReadFileBytes(folder + "KVT_SETUP.rar"), rig.ProductArchive(kArchiveSize));
  EXPECT_EQ(ReadFileBytes(folder + "KVT.exe"), rig.ProductArchive(kArchiveSize));
  EXPECT_FALSE(PathExists(folder + "UnRAR.exe.temp"));
  EXPECT_FALSE(PathExists(folder + "KVT_SETUP.rar.temp"));
  EXPECT_EQ(testing::OpenFilesIn(folder), std::vector<std::string>{}) << "let go at the end";
  EXPECT_EQ(rig.shell().shortcuts,
            (std::map<std::string, std::string>{{testing::kShortcutPath, testing::kProductPath}}));

  // Finish starts the product with a normal window and ends the installer.
  EXPECT_TRUE(rig.Press(kCend));
  ASSERT_EQ(rig.processes.starts.size(), 2u);
  EXPECT_EQ(rig.processes.starts[1].command_line, "\"D:\\KVT记账宝\\KVT.exe\"");
  EXPECT_EQ(rig.processes.starts[1].window_style, 1);
  EXPECT_TRUE(rig.processes.starts[1].started);
  EXPECT_EQ(rig.WaitForProductMarker(), "\"D:\\KVT记账宝\\KVT.exe\"");
  EXPECT_TRUE(rig.ui().messages.empty());
}

TEST_F(InstallFlowTest, ExtractorCommandLineByteForByteWithTheDefaultFolder) {
  InstallRig rig;
  rig.ServeRelease();
  rig.OpenPathPage();
  EXPECT_FALSE(rig.Press(kCyes));

  ASSERT_EQ(rig.processes.starts.size(), 1u);
  const std::string command_line =
      "\"D:\\KVT记账宝\\\\UnRAR.exe\" x -o+ \"D:\\KVT记账宝\\\\KVT_SETUP.rar\" \"D:\\KVT记账宝\\\"";
  EXPECT_EQ(rig.processes.starts[0].command_line, command_line);
  EXPECT_EQ(rig.processes.starts[0].window_style, 0) << "the extractor runs hidden";
  EXPECT_TRUE(rig.processes.starts[0].owned) << "the extractor ends with the installer";
  EXPECT_EQ(rig.ExtractorCommandLine(), command_line);
  // Waited for through the handle of its start, without a time limit, and closed.
  EXPECT_EQ(rig.processes.waits, (std::vector<std::uint32_t>{0xFFFFFFFFu}));
  EXPECT_EQ(rig.processes.closes, 1);

  // As the extractor parsed it: the command, the switch, the archive and the destination; the
  // backslash before the last quote makes that quote part of the destination argument.
  const std::string folder = rig.Linux(testing::kDefaultFolder);
  const std::vector<std::string> argv = rig.ExtractorArgv();
  ASSERT_EQ(argv.size(), 5u);
  EXPECT_EQ(argv[0], folder + "UnRAR.exe");
  EXPECT_EQ(argv[1], "x");
  EXPECT_EQ(argv[2], "-o+");
  EXPECT_EQ(argv[3], folder + "KVT_SETUP.rar");
  EXPECT_EQ(argv[4], folder.substr(0, folder.size() - 1) + "\"");
}

TEST_F(InstallFlowTest, ProgressShowsPlainTextForTheExtractorAndFiguresForTheArchive) {
  InstallRig rig;
  rig.ServeRelease(0, 5000);
  Fd& fd = rig.OpenPathPage();
  // Every clock reading is 0.25 s later: each block read updates the display.
  rig.m.machine.clock.step = 0.25;
  const std::size_t from = rig.window().log.size();
  EXPECT_FALSE(rig.Press(kCyes));
  ASSERT_TRUE(fd.Frame3.Visible());

  const std::vector<std::string> log = rig.LogSince(from);
  const std::string prefix = "Lb.Caption=正在下载安装文件： ";
  std::vector<std::string> plain, figures;
  bool in_archive = false;
  for (const std::string& e : log) {
    if (e == "Cyes.Enabled=0" || e == "Cfolder.Enabled=0") continue;
    if (e.rfind("Lb.Caption=正在安装", 0) == 0) break;
    if (e.rfind(prefix, 0) == 0) in_archive = true;
    (in_archive ? figures : plain).push_back(e);
  }
  // Busy display, then the extractor download: plain text and an empty bar at every update.
  ASSERT_GE(plain.size(), 6u);
  for (std::size_t i = 4; i < plain.size(); i += 2) {
    EXPECT_EQ(plain[i], "Lb.Caption=正在下载安装文件...");
    ASSERT_LT(i + 1, plain.size());
    EXPECT_EQ(plain[i + 1], "Lw.Width=0");
  }
  // Archive download: figures and a growing bar, ending at the full width.
  ASSERT_GE(figures.size(), 2u);
  ASSERT_EQ(figures.size() % 2, 0u);
  double last_width = -1;
  for (std::size_t i = 0; i < figures.size(); i += 2) {
    EXPECT_EQ(figures[i].rfind(prefix, 0), 0u) << figures[i];
    ASSERT_EQ(figures[i + 1].rfind("Lw.Width=", 0), 0u) << figures[i + 1];
    const double width = std::stod(figures[i + 1].substr(9));
    EXPECT_GE(width, last_width);
    last_width = width;
  }
  EXPECT_EQ(figures[figures.size() - 2], prefix + "5KB/5KB    100%");
  EXPECT_EQ(figures.back(), "Lw.Width=6765");
}

// One failure of the install procedure: what the server (or the user) does, and what follows.
struct FailureRow {
  const char* name;
  std::string manifest;                      // served instead of the usual one when not empty
  std::function<void(InstallRig&)> arrange;  // before Cyes, on the path page
  const char* message;
  std::vector<std::string> targets;        // requested by the install
  std::function<void(InstallRig&)> check;  // what is left on disk
};

void PrintTo(const FailureRow& row, std::ostream* os) { *os << row.name; }

class InstallFailureTest : public InstallFlowTest,
                           public ::testing::WithParamInterface<FailureRow> {};

TEST_P(InstallFailureTest, EndsInOneMessageAndTheIdlePage) {
  const FailureRow& row = GetParam();
  InstallRig rig;
  rig.ServeRelease();
  if (!row.manifest.empty()) {
    rig.server.Route(testing::kManifestTarget, Response::Ok(row.manifest));
  }
  Fd& fd = rig.OpenPathPage();
  row.arrange(rig);
  const std::size_t requests_before = rig.server.RequestCount();
  const std::size_t log_before = rig.window().log.size();
  std::vector<bool> busy_during_message;
  rig.ui().on_message = [&](const headless::MessageRecord&) {
    busy_during_message.push_back(fd.Lb.Visible() && !fd.Cyes.Enabled());
  };

  EXPECT_FALSE(rig.Press(kCyes));

  ASSERT_EQ(rig.ui().messages.size(), 1u);
  EXPECT_EQ(busy_during_message, std::vector<bool>{true}) << "the page goes idle after the message";
  EXPECT_EQ(rig.ui().messages[0].text, row.message);
  EXPECT_EQ(rig.ui().messages[0].style, 16);
  EXPECT_EQ(rig.ui().messages[0].title, "错误");
  ExpectIdle(fd);
  EXPECT_EQ(rig.TargetsSince(requests_before), row.targets);
  // The page was busy, then went back to idle after the message.
  const std::vector<std::string> log = rig.LogSince(log_before);
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(log.end() - 5, log.end()),
            (std::vector<std::string>{"Lb.Visible=0", "Lw.Visible=0", "Cfolder.Enabled=1",
                                      "Cyes.Enabled=1", "Cno.Enabled=1"}));
  EXPECT_TRUE(rig.shell().shortcuts.empty());
  EXPECT_TRUE(fd.Frame2.Visible());
  EXPECT_FALSE(PendingError::IsPending()) << "the pending error is cleared when it is reported";
  EXPECT_EQ(testing::OpenFilesIn(rig.Linux(testing::kDefaultFolder)), std::vector<std::string>{})
      << "every held file is let go";
  row.check(rig);
  // The support log says why, before the message the user saw.
  const std::string support = rig.SupportLog();
  const std::string message = row.message;
  const std::size_t shown =
      support.find("Message box \"错误\": \"" + message.substr(0, message.find('\r')));
  const std::size_t why =
      std::min({support.find(" FAILED "), support.find(" Extractor exited with code "),
                support.find(" Extractor could NOT be started")});
  EXPECT_NE(shown, std::string::npos) << support;
  EXPECT_LT(why, shown) << support;
}

std::string Folder(InstallRig& rig) { return rig.Linux(testing::kDefaultFolder); }

const FailureRow kFailureRows[] = {
    {"ExtractorNotFound",
     "",
     [](InstallRig& rig) {
       rig.server.Route(testing::kExtractorTarget, Response::Status("HTTP/1.1 404 Not Found"));
     },
     kCannotConnect,
     {"/UnRAR.exe", "/KVT_SETUP.rar"},
     [](InstallRig& rig) {
       // The second download was still made, and completed.
       EXPECT_FALSE(PathExists(Folder(rig) + "UnRAR.exe"));
       EXPECT_EQ(ReadFileBytes(Folder(rig) + "KVT_SETUP.rar"), rig.ProductArchive());
       EXPECT_TRUE(rig.processes.starts.empty());
     }},
    {"ArchiveNotFound",
     "",
     [](InstallRig& rig) {
       rig.server.Route(testing::kArchiveTarget, Response::Status("HTTP/1.1 404 Not Found"));
     },
     kCannotConnect,
     {"/UnRAR.exe", "/KVT_SETUP.rar"},
     [](InstallRig& rig) {
       EXPECT_TRUE(PathExists(Folder(rig) + "UnRAR.exe"));
       EXPECT_FALSE(PathExists(Folder(rig) + "KVT_SETUP.rar"));
       EXPECT_FALSE(PathExists(Folder(rig) + "KVT_SETUP.rar.temp"));
       EXPECT_TRUE(rig.processes.starts.empty());
     }},
    {"ArchiveCutShort",
     "",
     [](InstallRig& rig) {
       rig.server.Route(testing::kArchiveTarget,
                        Response::Ok(rig.ProductArchive()).CloseAfter(3000));
     },
     kCannotConnect,
     {"/UnRAR.exe", "/KVT_SETUP.rar"},
     [](InstallRig& rig) {
       EXPECT_FALSE(PathExists(Folder(rig) + "KVT_SETUP.rar"));
       EXPECT_EQ(ReadFileBytes(Folder(rig) + "KVT_SETUP.rar.temp"),
                 rig.ProductArchive().substr(0, 3000));
       EXPECT_TRUE(rig.processes.starts.empty());
     }},
    {"NoRoomForTheArchive",
     "",
     [](InstallRig& rig) {
       rig.server.Route(testing::kArchiveTarget,
                        Response::Ok(rig.ProductArchive()).Length(kHugeLength));
     },
     kDiskFull,
     {"/UnRAR.exe", "/KVT_SETUP.rar"},
     [](InstallRig& rig) {
       EXPECT_TRUE(PathExists(Folder(rig) + "UnRAR.exe"));
       EXPECT_FALSE(PathExists(Folder(rig) + "KVT_SETUP.rar"));
       EXPECT_FALSE(PathExists(Folder(rig) + "KVT_SETUP.rar.temp"));
       EXPECT_TRUE(rig.processes.starts.empty());
     }},
    {"NoRoomForTheExtractor",
     "",
     [](InstallRig& rig) {
       rig.server.Route(testing::kExtractorTarget,
                        Response::Ok(rig.ExtractorScript(0)).Length(kHugeLength));
     },
     kDiskFull,
     // A disk that cannot hold the extractor is not asked for the archive.
     {"/UnRAR.exe"},
     [](InstallRig& rig) {
       EXPECT_FALSE(PathExists(Folder(rig) + "UnRAR.exe"));
       EXPECT_FALSE(PathExists(Folder(rig) + "UnRAR.exe.temp"));
       EXPECT_FALSE(PathExists(Folder(rig) + "KVT_SETUP.rar"));
       EXPECT_TRUE(rig.processes.starts.empty());
     }},
    {"ManifestWithoutExtractorUrl",
     // Two lines are a valid manifest with an empty extractor URL; only its download fails.
     "2.1\r\n" + InstallRig::VendorUrl(testing::kArchiveTarget),
     [](InstallRig& rig) { EXPECT_TRUE(Mupdate::UnrarUrl.empty()); },
     kCannotConnect,
     {"/KVT_SETUP.rar"},
     [](InstallRig& rig) {
       EXPECT_FALSE(PathExists(Folder(rig) + "UnRAR.exe"));
       EXPECT_TRUE(PathExists(Folder(rig) + "KVT_SETUP.rar"));
       EXPECT_TRUE(rig.processes.starts.empty());
     }},
    {"ExtractorNotStartable",
     "",
     [](InstallRig& rig) {
       rig.server.Route(testing::kExtractorTarget,
                        Response::Ok("MZ garbage that no system can run"));
     },
     kInstallFailed,
     {"/UnRAR.exe", "/KVT_SETUP.rar"},
     [](InstallRig& rig) {
       // Pending error after the extractor step: the install-failure message.
       ASSERT_EQ(rig.processes.starts.size(), 1u);
       EXPECT_FALSE(rig.processes.starts[0].started);
       EXPECT_TRUE(rig.processes.waits.empty());
       // The downloaded files stay.
       EXPECT_TRUE(PathExists(Folder(rig) + "UnRAR.exe"));
       EXPECT_TRUE(PathExists(Folder(rig) + "KVT_SETUP.rar"));
       EXPECT_FALSE(PathExists(Folder(rig) + "KVT.exe"));
     }},
    {"ExtractorExitsNonZero",
     "",
     [](InstallRig& rig) {
       rig.server.Route(testing::kExtractorTarget, Response::Ok(rig.ExtractorScript(3)));
     },
     kInstallFailed,
     {"/UnRAR.exe", "/KVT_SETUP.rar"},
     [](InstallRig& rig) {
       ASSERT_EQ(rig.processes.starts.size(), 1u);
       EXPECT_TRUE(rig.processes.starts[0].started);
       EXPECT_EQ(rig.processes.waits.size(), 1u) << "the extractor was waited for";
       EXPECT_EQ(rig.ExtractorArgv().size(), 5u);
     }},
    {"ExtractorReplacedWhileTheArchiveDownloads",
     "",
     [](InstallRig& rig) {
       // Another user's program puts its own file under the extractor's name.
       rig.ui().script.push_back(
           {"replace",
            [&rig](Fd&) { return PathExists(rig.Linux(testing::kExtractorPath)); },
            [&rig](Fd&) {
              const std::string extractor = rig.Linux(testing::kExtractorPath);
              ASSERT_TRUE(testing::WriteFileBytes(extractor + ".x", "#!/bin/sh\nexit 0\n"));
              ASSERT_EQ(::rename((extractor + ".x").c_str(), extractor.c_str()), 0);
            }});
     },
     kTampered,
     {"/UnRAR.exe", "/KVT_SETUP.rar"},
     [](InstallRig& rig) {
       EXPECT_TRUE(rig.processes.starts.empty()) << "nothing unverified runs";
       EXPECT_FALSE(PathExists(Folder(rig) + "KVT.exe"));
     }},
    {"InstallFolderCannotBeCreated",
     "",
     [](InstallRig& rig) {
       // D:\a\b\ has no parent folder: only the last level would be created.
       rig.shell().picks.push_back({platform::PickResult::kChosen, "D:\\a\\b", nullptr});
       EXPECT_FALSE(rig.Press(kCfolder));
       EXPECT_EQ(Mupdate::InstallPath, "D:\\a\\b\\");
     },
     kCannotConnect,
     {"/UnRAR.exe", "/KVT_SETUP.rar"},
     [](InstallRig& rig) {
       // Pending error after the downloads: the network-failure message, nothing created.
       EXPECT_FALSE(PathExists(rig.m.d_drive + "/a"));
       EXPECT_TRUE(rig.processes.starts.empty());
     }},
};

INSTANTIATE_TEST_SUITE_P(Rows, InstallFailureTest, ::testing::ValuesIn(kFailureRows),
                         [](const ::testing::TestParamInfo<FailureRow>& info) {
                           return std::string(info.param.name);
                         });

// The extractor has already ended (successfully) when the user confirms giving up: the install
// is still given up, never reported complete.
TEST_F(InstallFlowTest, GivingUpAsTheExtractorEndsStillFails) {
  InstallRig rig;
  rig.ServeRelease();
  Fd& fd = rig.OpenPathPage();
  rig.ui().script.push_back(
      {"close while extracting",
       [](Fd& f) { return f.Lb.Caption() == "正在安装(请不要关闭本窗口)..."; },
       [&](Fd& f) {
         rig.ui().answers.push_back(platform::kIdOk);
         rig.ui().on_message = [&](const headless::MessageRecord&) {
           rig.ui().on_message = nullptr;
           // Answered only once the extractor has exited (a zombie not yet waited for).
           const std::string stat =
               "/proc/" + std::to_string(rig.processes.starts.at(0).pid) + "/stat";
           for (int i = 0; i < 5000; ++i) {
             const std::string text = ReadFileBytes(stat).value_or("");
             if (text.find(") Z ") != std::string::npos) break;
             ::usleep(1000);
           }
         };
         headless::Close(f);
       }});
  EXPECT_FALSE(rig.Press(kCyes));
  ASSERT_EQ(rig.ui().messages.size(), 2u);
  EXPECT_EQ(rig.ui().messages[0].text, "确定要放弃安装吗？");
  EXPECT_EQ(rig.ui().messages[1].text, kInstallFailed);
  ExpectIdle(fd);
  EXPECT_TRUE(rig.shell().shortcuts.empty());
  EXPECT_EQ(testing::OpenFilesIn(rig.Linux(testing::kDefaultFolder)), std::vector<std::string>{});
}

// A missing archive, and one the disk had no room for until the user freed some.
TEST_F(InstallFlowTest, AfterAFailureTheUserCanTryAgainAndFinish) {
  for (const bool disk_full : {false, true}) {
    SCOPED_TRACE(disk_full ? "disk full" : "not found");
    InstallRig rig;
    rig.ServeRelease();
    Fd& fd = rig.OpenPathPage();
    rig.server.Route(testing::kArchiveTarget,
                     disk_full ? Response::Ok(rig.ProductArchive()).Length(kHugeLength)
                               : Response::Status("HTTP/1.1 404 Not Found"));
    EXPECT_FALSE(rig.Press(kCyes));
    ASSERT_EQ(rig.ui().messages.size(), 1u);
    EXPECT_EQ(rig.ui().messages[0].text, disk_full ? kDiskFull : kCannotConnect);
    ExpectIdle(fd);

    rig.ServeRelease();
    EXPECT_FALSE(rig.Press(kCyes));
    EXPECT_EQ(rig.ui().messages.size(), 1u);
    EXPECT_TRUE(fd.Frame3.Visible());
    EXPECT_EQ(ReadFileBytes(rig.Linux(testing::kProductPath)), rig.ProductArchive());
  }
}

struct CheckRow {
  const char* name;
  bool map_d;
  const char* excel_process;  // running besides the installer, or null
  const char* picked;         // folder chosen before the install, or null
  const char* message;
  int style;
  const char* title;
};

void PrintTo(const CheckRow& row, std::ostream* os) { *os << row.name; }

class InstallCheckTest : public InstallFlowTest, public ::testing::WithParamInterface<CheckRow> {};

// The spreadsheet and drive checks return before anything is created or requested.
TEST_P(InstallCheckTest, ReturnsBeforeAnythingIsCreated) {
  const CheckRow& row = GetParam();
  testing::PosixMachineOptions options;
  options.map_d = row.map_d;
  InstallRig rig(options);
  rig.ServeRelease();
  Fd& fd = rig.OpenPathPage();
  if (row.excel_process) rig.m.machine.process_list.names = {"KVT.exe", row.excel_process};
  if (row.picked) {
    rig.shell().picks.push_back({platform::PickResult::kChosen, row.picked, nullptr});
    EXPECT_FALSE(rig.Press(kCfolder));
  }
  const std::size_t requests_before = rig.server.RequestCount();
  const std::size_t log_before = rig.window().log.size();
  std::vector<bool> busy_during_message;
  rig.ui().on_message = [&](const headless::MessageRecord&) {
    busy_during_message.push_back(fd.Lb.Visible() && !fd.Cyes.Enabled());
  };

  EXPECT_FALSE(rig.Press(kCyes));

  ASSERT_EQ(rig.ui().messages.size(), 1u);
  EXPECT_EQ(busy_during_message, std::vector<bool>{false}) << "the page never went busy";
  EXPECT_EQ(rig.ui().messages[0].text, row.message);
  EXPECT_EQ(rig.ui().messages[0].style, row.style);
  EXPECT_EQ(rig.ui().messages[0].title, row.title);
  EXPECT_EQ(rig.m.machine.process_list.queries,
            (std::vector<std::string>{"SELECT * FROM Win32_Process WHERE Name='excel.exe'"}));
  EXPECT_TRUE(rig.LogSince(log_before).empty()) << "the page is left as it was";
  ExpectIdle(fd);
  EXPECT_TRUE(rig.TargetsSince(requests_before).empty());
  EXPECT_FALSE(PathExists(rig.Linux(Mupdate::InstallPath)));
  if (row.map_d) {
    EXPECT_FALSE(PathExists(rig.m.d_drive + "/KVT记账宝"));
  }
  EXPECT_TRUE(rig.processes.starts.empty());
}

const CheckRow kCheckRows[] = {
    {"ExcelRunning", true, "EXCEL.EXE", nullptr,
     "KVT在线安装程序检测到Excel正在运行！\r\n\r\n如果您已经打开Excel表格，请关闭后再尝试安装...",
     64, "提示"},
    {"DriveDMissing", false, nullptr, nullptr, "磁盘D:不存在！\r\n请重新选择安装路径。", 16,
     "错误"},
    {"PickedDriveMissing", true, nullptr, "E:\\Apps", "磁盘E:不存在！\r\n请重新选择安装路径。", 16,
     "错误"},
};

INSTANTIATE_TEST_SUITE_P(Rows, InstallCheckTest, ::testing::ValuesIn(kCheckRows),
                         [](const ::testing::TestParamInfo<CheckRow>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(InstallFlowTest, ShortcutThatCannotBeWrittenIsNotReported) {
  for (const bool no_desktop : {false, true}) {
    SCOPED_TRACE(no_desktop ? "no desktop folder" : "save fails");
    InstallRig rig;
    rig.ServeRelease();
    Fd& fd = rig.OpenPathPage();
    if (no_desktop) {
      rig.shell().desktop.reset();
    } else {
      rig.shell().save_fails = true;
    }
    EXPECT_FALSE(rig.Press(kCyes));
    EXPECT_TRUE(rig.ui().messages.empty());
    EXPECT_TRUE(fd.Frame3.Visible());
    EXPECT_FALSE(fd.Frame2.Visible());
    EXPECT_EQ(fd.Lfinish.Caption(), "KVT记账宝  已经成功的安装到您的计算机。");
    EXPECT_TRUE(rig.shell().shortcuts.empty());
    EXPECT_TRUE(PathExists(rig.Linux(testing::kProductPath)));
  }
}

// Cancel and the close box while the archive downloads.
struct LeaveRow {
  const char* name;
  bool close_box;  // else Cno
  int answer;
};

void PrintTo(const LeaveRow& row, std::ostream* os) { *os << row.name; }

class LeaveDuringDownloadTest : public InstallFlowTest,
                                public ::testing::WithParamInterface<LeaveRow> {};

TEST_P(LeaveDuringDownloadTest, OkEndsAtOnceCancelGoesOn) {
  const LeaveRow& row = GetParam();
  constexpr std::size_t kArchiveSize = 200000;
  InstallRig rig;
  rig.ServeRelease(0, kArchiveSize);
  Fd& fd = rig.OpenPathPage();
  const bool ok = row.answer == platform::kIdOk;
  if (ok) {
    // The server holds the rest back: only the user's answer can end this download.
    rig.server.Route(testing::kArchiveTarget,
                     Response::Ok(rig.ProductArchive(kArchiveSize)).StallAfter(2048));
  }
  rig.ui().answers.push_back(row.answer);
  bool asked = false;
  rig.ui().script.push_back({"leave in the middle of the archive",
                             [&](Fd&) {
                               return Mupdate::TotalBytes ==
                                          static_cast<std::int64_t>(kArchiveSize) &&
                                      Mupdate::ReceivedBytes >= 2048;
                             },
                             [&](Fd& f) {
                               asked = true;
                               if (row.close_box) {
                                 headless::Close(f);
                               } else {
                                 EXPECT_TRUE(headless::Click(f, kCno));
                               }
                             }});

  const bool ended = rig.Press(kCyes);

  EXPECT_TRUE(asked);
  ASSERT_EQ(rig.ui().messages.size(), 1u);
  EXPECT_EQ(rig.ui().messages[0].text, "确定要放弃安装吗？");
  EXPECT_EQ(rig.ui().messages[0].style, 1);
  EXPECT_EQ(rig.ui().messages[0].title, "提示");
  const std::string folder = rig.Linux(testing::kDefaultFolder);
  if (ok) {
    // Ended where it stood: nothing after the download ran, the partial file keeps its bytes.
    EXPECT_TRUE(ended);
    EXPECT_TRUE(fd.Frame2.Visible());
    EXPECT_EQ(fd.Lb.Caption(), "正在连接KVT服务器...");
    EXPECT_TRUE(rig.processes.starts.empty());
    EXPECT_FALSE(PathExists(folder + "KVT_SETUP.rar"));
    EXPECT_EQ(ReadFileBytes(folder + "KVT_SETUP.rar.temp"),
              rig.ProductArchive(kArchiveSize).substr(0, 2048));
  } else {
    EXPECT_FALSE(ended);
    EXPECT_TRUE(fd.Frame3.Visible());
    EXPECT_EQ(ReadFileBytes(folder + "KVT_SETUP.rar"), rig.ProductArchive(kArchiveSize));
    EXPECT_EQ(rig.shell().shortcuts.size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LeaveDuringDownloadTest,
    ::testing::Values(LeaveRow{"CancelButtonOk", false, platform::kIdOk},
                      LeaveRow{"CancelButtonCancel", false, platform::kIdCancel},
                      LeaveRow{"CloseBoxOk", true, platform::kIdOk},
                      LeaveRow{"CloseBoxCancel", true, platform::kIdCancel}),
    [](const ::testing::TestParamInfo<LeaveRow>& info) { return std::string(info.param.name); });

TEST_F(InstallFlowTest, DoubleClickOnThePathDuringTheInstallOpensNoPicker) {
  InstallRig rig;
  rig.ServeRelease();
  Fd& fd = rig.OpenPathPage();
  rig.shell().picks.push_back({platform::PickResult::kChosen, "E:\\Apps", nullptr});
  bool delivered = false, button = true;
  rig.ui().script.push_back({"double click during the download",
                             [](Fd& f) { return !f.Cyes.Enabled() && Mupdate::ReceivedBytes > 0; },
                             [&](Fd& f) {
                               delivered = headless::DoubleClick(f, kTpath);
                               button = headless::Click(f, kCfolder);
                             }});
  EXPECT_FALSE(rig.Press(kCyes));
  EXPECT_TRUE(delivered) << "the path box itself can be double-clicked";
  EXPECT_FALSE(button) << "the change button is disabled";
  EXPECT_TRUE(rig.shell().picker_calls.empty());
  EXPECT_EQ(Mupdate::InstallPath, testing::kDefaultFolder);
  EXPECT_TRUE(fd.Frame3.Visible());
  EXPECT_EQ(rig.shell().shortcuts.at(testing::kShortcutPath), testing::kProductPath);
}

// A secure build: the whole install over verified TLS; an expired certificate at Continue ends in
// the one message. The plain server that port 80 leads to serves the release too and is never
// asked.
TEST_F(InstallFlowTest, SecureBuildInstallsOnlyFromAVerifiedServer) {
  const testing::TestCertificates& certificates = testing::Certificates();
  {
    testing::TestServer tls(certificates.good);
    InstallRig rig({.https_port = tls.port()});
    rig.vendor.scheme = &Mupdate::kHttpsScheme;
    rig.m.internet.SetTrustedCaFile(certificates.ca);
    rig.ServeRelease();
    rig.ServeRelease(tls);
    Fd& fd = rig.OpenPathPage();
    EXPECT_FALSE(rig.Press(kCyes));
    EXPECT_TRUE(rig.ui().messages.empty());
    EXPECT_TRUE(fd.Frame3.Visible());
    EXPECT_EQ(ReadFileBytes(rig.Linux(testing::kProductPath)), rig.ProductArchive());
    EXPECT_EQ(tls.RequestCount(), 3u);
    EXPECT_EQ(rig.server.RequestCount(), 0u);
  }
  {
    testing::TestServer tls(certificates.expired);
    InstallRig rig({.https_port = tls.port()});
    rig.vendor.scheme = &Mupdate::kHttpsScheme;
    rig.m.internet.SetTrustedCaFile(certificates.ca);
    rig.ServeRelease();
    rig.ServeRelease(tls);
    Fd& fd = rig.Start();
    EXPECT_FALSE(rig.Press(kCk));
    EXPECT_FALSE(rig.Press(kCcontinue));
    ASSERT_EQ(rig.ui().messages.size(), 1u);
    EXPECT_EQ(rig.ui().messages[0].text, kCannotConnect);
    EXPECT_TRUE(fd.Frame1.Visible());
    EXPECT_EQ(tls.RequestCount(), 0u);
    EXPECT_EQ(rig.server.RequestCount(), 0u);
  }
}

// A build with release keys (put in force for the test) against a signed release: the vendor's
// key signs the manifest, the extractor and the archive; each row spoils one thing.
struct SignedRow {
  const char* name;
  bool keys;                                                        // false: a build without keys
  std::uint64_t not_before;                                         // of the trusted keys
  std::function<void(InstallRig&, testing::SignedRelease&)> serve;  // after the signed release
  const char* continue_message;      // nullptr: Continue reaches the path page
  const char* install_message;       // nullptr: the install reaches the finish page
  std::vector<std::string> targets;  // every request of the run
  std::function<void(InstallRig&)> check;
};

void PrintTo(const SignedRow& row, std::ostream* os) { *os << row.name; }

class SignedReleaseTest : public InstallFlowTest,
                          public ::testing::WithParamInterface<SignedRow> {};

const testing::SigningKey& Vendor() {
  static const testing::SigningKey key;
  return key;
}
const testing::SigningKey& Stranger() {
  static const testing::SigningKey key;
  return key;
}

constexpr char kSignatureTarget[] = "/KVT_TRNQP_SETUP_LOG.txt.sig";
void RouteSignature(InstallRig& rig, const testing::SignedRelease& release,
                    const testing::SigningKey& key) {
  rig.server.Route(kSignatureTarget, Response::Ok(release.Text({&key})));
}
std::string Flipped(std::string bytes, std::size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
  return bytes;
}

TEST_P(SignedReleaseTest, InstallsOnlyWhatTheVendorSigned) {
  const SignedRow& row = GetParam();
  InstallRig rig;
  if (row.keys) rig.keys = testing::TrustOnly({&Vendor()}, row.not_before);
  rig.vendor.keys = &rig.keys;
  rig.ServeRelease();
  testing::SignedRelease release{
      InstallRig::Manifest(),
      {{InstallRig::VendorUrl(testing::kExtractorTarget), rig.ExtractorScript(0)},
       {InstallRig::VendorUrl(testing::kArchiveTarget), rig.ProductArchive()}}};
  RouteSignature(rig, release, Vendor());
  row.serve(rig, release);

  Fd& fd = rig.Start();
  EXPECT_FALSE(rig.Press(kCk));
  EXPECT_FALSE(rig.Press(kCcontinue));
  if (row.continue_message != nullptr) {
    ASSERT_EQ(rig.ui().messages.size(), 1u);
    EXPECT_EQ(rig.ui().messages[0].text, row.continue_message);
    EXPECT_EQ(rig.ui().messages[0].style, 16);
    EXPECT_EQ(rig.ui().messages[0].title, "错误");
    EXPECT_TRUE(fd.Frame1.Visible());
    EXPECT_FALSE(fd.Frame2.Visible());
    EXPECT_FALSE(fd.FrameW.Visible());
    // Cleared as after a failed fetch: nothing unverified is kept for the install.
    EXPECT_EQ(Mupdate::ReleaseVersion + Mupdate::UnrarUrl + Mupdate::PackageUrl, "");
    EXPECT_EQ(rig.SupportLog().find("Signature file: valid"), std::string::npos);
  } else {
    ASSERT_TRUE(fd.Frame2.Visible());
    ASSERT_TRUE(rig.ui().messages.empty());
    EXPECT_FALSE(rig.Press(kCyes));
    if (row.install_message != nullptr) {
      ASSERT_EQ(rig.ui().messages.size(), 1u);
      EXPECT_EQ(rig.ui().messages[0].text, row.install_message);
      EXPECT_EQ(rig.ui().messages[0].style, 16);
      ExpectIdle(fd);
      // Nothing unverified runs, nothing is installed.
      EXPECT_TRUE(rig.processes.starts.empty());
      EXPECT_FALSE(PathExists(rig.Linux(testing::kProductPath)));
      EXPECT_TRUE(rig.shell().shortcuts.empty());
    } else {
      EXPECT_TRUE(rig.ui().messages.empty());
      EXPECT_TRUE(fd.Frame3.Visible());
      EXPECT_EQ(ReadFileBytes(rig.Linux(testing::kProductPath)), rig.ProductArchive());
    }
  }
  EXPECT_EQ(rig.TargetsSince(0), row.targets);
  // The scratch files of the manifest and the signature are gone, partial ones too.
  for (const char* scratch : {"C:\\KVT\\KVT_SETUP_LOG.TEMP", "C:\\KVT\\KVT_SETUP_SIG.TEMP"}) {
    EXPECT_FALSE(PathExists(rig.Linux(scratch)));
    EXPECT_FALSE(PathExists(rig.Linux(std::string(scratch) + ".temp")));
  }
  row.check(rig);
}

const std::vector<std::string> kAllFour = {testing::kManifestTarget, kSignatureTarget,
                                           testing::kExtractorTarget, testing::kArchiveTarget};
const std::vector<std::string> kContinueOnly = {testing::kManifestTarget, kSignatureTarget};
void Nothing(InstallRig&) {}
void Keep(InstallRig&, testing::SignedRelease&) {}

const SignedRow kSignedRows[] = {
    {"Valid", true, 0, Keep, nullptr, nullptr, kAllFour,
     [](InstallRig& rig) {
       EXPECT_EQ(ReadFileBytes(Folder(rig) + "UnRAR.exe"), rig.ExtractorScript(0));
       const std::string log = rig.SupportLog();
       EXPECT_NE(log.find("Signature file: valid\r\n"), std::string::npos) << log;
       EXPECT_NE(log.find("/KVT_SETUP.rar: 5000 bytes; hash: matches the signed"),
                 std::string::npos);
     }},
    {"NoKeysCompiledNeverAsksForTheSignature",
     false,
     0,
     [](InstallRig& rig, testing::SignedRelease&) {
       rig.server.Route(kSignatureTarget, Response::Status("HTTP/1.1 404 Not Found"));
     },
     nullptr,
     nullptr,
     {testing::kManifestTarget, testing::kExtractorTarget, testing::kArchiveTarget},
     Nothing},
    {"SignatureFileMissing", true, 0,
     [](InstallRig& rig, testing::SignedRelease&) {
       rig.server.Route(kSignatureTarget, Response::Status("HTTP/1.1 404 Not Found"));
     },
     kCannotConnect, nullptr, kContinueOnly, Nothing},
    {"SignatureFileMalformed", true, 0,
     [](InstallRig& rig, testing::SignedRelease& release) {
       rig.server.Route(kSignatureTarget, Response::Ok(release.Message()));  // no signature
     },
     kTampered, nullptr, kContinueOnly, Nothing},
    {"SignedByAnUnknownKey", true, 0,
     [](InstallRig& rig, testing::SignedRelease& release) {
       RouteSignature(rig, release, Stranger());
     },
     kTampered, nullptr, kContinueOnly, Nothing},
    {"IssuedBeforeTheNotBeforeTime", true, 1700000001, Keep, kTampered, nullptr, kContinueOnly,
     Nothing},
    {"ManifestChangedAfterSigning", true, 0,
     [](InstallRig& rig, testing::SignedRelease&) {
       rig.server.Route(testing::kManifestTarget, Response::Ok(InstallRig::Manifest("2.2")));
     },
     kTampered, nullptr, kContinueOnly, Nothing},
    {"UrlsSwappedInTheSignature", true, 0,
     [](InstallRig& rig, testing::SignedRelease& release) {
       std::swap(release.files[0], release.files[1]);
       RouteSignature(rig, release, Vendor());
     },
     kTampered, nullptr, kContinueOnly, Nothing},
    // Files small by nature, announced larger than 64 KiB: not read at all. The signature file
    // repeats the vendor's valid line; the manifest is signed.
    {"SignatureFileTooLarge", true, 0,
     [](InstallRig& rig, testing::SignedRelease& release) {
       std::string text = release.Text({&Vendor()});
       const std::string line = text.substr(text.rfind("signature: "));
       while (text.size() <= Mupdate::kMaxSignatureFileBytes) text += line;
       rig.server.Route(kSignatureTarget, Response::Ok(text));
     },
     kTampered, nullptr, kContinueOnly,
     [](InstallRig&) {
       EXPECT_GT(Mupdate::TotalBytes, 65536);
       EXPECT_EQ(Mupdate::ReceivedBytes, 0);
     }},
    {"ManifestTooLarge",
     true,
     0,
     [](InstallRig& rig, testing::SignedRelease& release) {
       release.manifest = InstallRig::Manifest(std::string(65536, 'v'));
       rig.server.Route(testing::kManifestTarget, Response::Ok(release.manifest));
       RouteSignature(rig, release, Vendor());
     },
     kCannotConnect,
     nullptr,
     {testing::kManifestTarget},
     [](InstallRig&) { EXPECT_EQ(Mupdate::ReceivedBytes, 0); }},
    {"SignatureFileCutShort", true, 0,
     [](InstallRig& rig, testing::SignedRelease& release) {
       rig.server.Route(kSignatureTarget, Response::Ok(release.Text({&Vendor()})).CloseAfter(50));
     },
     kCannotConnect, nullptr, kContinueOnly, Nothing},
    {"ExtractorWithOneBitFlipped",
     true,
     0,
     [](InstallRig& rig, testing::SignedRelease&) {
       rig.server.Route(testing::kExtractorTarget,
                        Response::Ok(Flipped(rig.ExtractorScript(0), 20)));
     },
     nullptr,
     kTampered,
     {testing::kManifestTarget, kSignatureTarget, testing::kExtractorTarget},
     [](InstallRig& rig) {
       // Left under no name; the archive was never asked for.
       EXPECT_FALSE(PathExists(Folder(rig) + "UnRAR.exe"));
       EXPECT_FALSE(PathExists(Folder(rig) + "UnRAR.exe.temp"));
       EXPECT_FALSE(PathExists(Folder(rig) + "KVT_SETUP.rar"));
     }},
    {"ArchiveWithOneBitFlipped", true, 0,
     [](InstallRig& rig, testing::SignedRelease&) {
       rig.server.Route(testing::kArchiveTarget, Response::Ok(Flipped(rig.ProductArchive(), 4000)));
     },
     nullptr, kTampered, kAllFour,
     [](InstallRig& rig) {
       EXPECT_EQ(ReadFileBytes(Folder(rig) + "UnRAR.exe"), rig.ExtractorScript(0));
       EXPECT_FALSE(PathExists(Folder(rig) + "KVT_SETUP.rar"));
       EXPECT_FALSE(PathExists(Folder(rig) + "KVT_SETUP.rar.temp"));
     }},
    {"ArchiveAnnouncedLongerThanSigned", true, 0,
     [](InstallRig& rig, testing::SignedRelease&) {
       rig.server.Route(testing::kArchiveTarget, Response::Ok(rig.ProductArchive() + "#"));
       // An archive of an earlier install: refused before any file is touched, it stays.
       ASSERT_EQ(::mkdir(Folder(rig).c_str(), 0755), 0);
       ASSERT_TRUE(testing::WriteFileBytes(Folder(rig) + "KVT_SETUP.rar", "earlier"));
     },
     nullptr, kTampered, kAllFour,
     [](InstallRig& rig) {
       EXPECT_EQ(ReadFileBytes(Folder(rig) + "KVT_SETUP.rar"), "earlier");
       EXPECT_FALSE(PathExists(Folder(rig) + "KVT_SETUP.rar.temp"));
     }},
};

INSTANTIATE_TEST_SUITE_P(Rows, SignedReleaseTest, ::testing::ValuesIn(kSignedRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Failover: the vendor host 127.0.0.1 and one mirror, 127.0.0.2 on the same port, both serving
// the same (signed) release; each row spoils something on one or both hosts.
using Spoil = std::function<void(InstallRig&, testing::TestServer& mirror)>;
struct MirrorRow {
  const char* name;
  Spoil spoil;
  std::vector<std::string> asked;          // "vendor <target>" / "mirror <target>", in order
  const char* install_message = nullptr;   // nullptr: the install reaches the finish page
  const char* continue_message = nullptr;  // nullptr: Continue reaches the path page
  bool keys = true;                        // false: a build without release keys
  // The mirror list: "127.0.0.2", "127.0.0.2:<port>" (its port dialled as given), or none.
  enum class List { kHost, kHostAndPort, kNone } list = List::kHost;
  bool ends_program = false;  // the user cancels during the install
  std::function<void(InstallRig&)> check = Nothing;
};

void PrintTo(const MirrorRow& row, std::ostream* os) { *os << row.name; }

class MirrorFailoverTest : public InstallFlowTest,
                           public ::testing::WithParamInterface<MirrorRow> {};

TEST_P(MirrorFailoverTest, AsksTheHostsInOrderAndKeepsOnlyVerifiedFiles) {
  const MirrorRow& row = GetParam();
  InstallRig rig;
  testing::TestServer mirror(rig.server.port(), "127.0.0.2");
  std::mutex asked_mutex;
  std::vector<std::string> asked;
  for (auto [server, name] : {std::pair{&rig.server, "vendor "}, std::pair{&mirror, "mirror "}}) {
    server->Gate([&asked, &asked_mutex, name = std::string(name)](
                     const testing::RecordedRequest& r) -> std::optional<Response> {
      std::lock_guard<std::mutex> lock(asked_mutex);
      asked.push_back(name + r.target);
      return std::nullopt;
    });
  }
  using enum MirrorRow::List;
  const std::vector<std::string> mirrors =
      row.list == kNone   ? std::vector<std::string>{}
      : row.list == kHost ? std::vector<std::string>{"127.0.0.2"}
                          : std::vector<std::string>{"127.0.0.2:" + std::to_string(mirror.port())};
  rig.vendor.mirrors = &mirrors;
  if (row.keys) rig.keys = testing::TrustOnly({&Vendor()});
  rig.vendor.keys = &rig.keys;
  testing::SignedRelease release{
      InstallRig::Manifest(),
      {{InstallRig::VendorUrl(testing::kExtractorTarget), rig.ExtractorScript(0)},
       {InstallRig::VendorUrl(testing::kArchiveTarget), rig.ProductArchive()}}};
  for (testing::TestServer* server : {&rig.server, &mirror}) {
    rig.ServeRelease(*server);
    server->Route(kSignatureTarget, Response::Ok(release.Text({&Vendor()})));
  }
  row.spoil(rig, mirror);

  Fd& fd = rig.Start();
  EXPECT_FALSE(rig.Press(kCk));
  EXPECT_FALSE(rig.Press(kCcontinue));
  if (row.continue_message != nullptr) {
    ASSERT_EQ(rig.ui().messages.size(), 1u);
    EXPECT_EQ(rig.ui().messages[0].text, row.continue_message);
    EXPECT_TRUE(fd.Frame1.Visible());
  } else {
    ASSERT_TRUE(fd.Frame2.Visible());
    ASSERT_TRUE(rig.ui().messages.empty());
    EXPECT_EQ(rig.Press(kCyes), row.ends_program);
    if (row.ends_program) {
      // Cancel and OK, asked once; nothing after it.
      EXPECT_EQ(rig.ui().messages.size(), 1u);
      EXPECT_TRUE(rig.processes.starts.empty());
    } else if (row.install_message != nullptr) {
      ASSERT_EQ(rig.ui().messages.size(), 1u);
      EXPECT_EQ(rig.ui().messages[0].text, row.install_message);
      ExpectIdle(fd);
      EXPECT_TRUE(rig.processes.starts.empty());
      EXPECT_FALSE(PathExists(rig.Linux(testing::kProductPath)));
    } else {
      EXPECT_TRUE(rig.ui().messages.empty());
      EXPECT_TRUE(fd.Frame3.Visible());
      // Whichever host served them, the files are the release's, and nothing partial is left.
      EXPECT_EQ(ReadFileBytes(Folder(rig) + "UnRAR.exe"), rig.ExtractorScript(0));
      EXPECT_EQ(ReadFileBytes(rig.Linux(testing::kProductPath)), rig.ProductArchive());
      EXPECT_FALSE(PathExists(Folder(rig) + "UnRAR.exe.temp"));
      EXPECT_FALSE(PathExists(Folder(rig) + "KVT_SETUP.rar.temp"));
    }
  }
  EXPECT_FALSE(PathExists(rig.Linux("C:\\KVT\\KVT_SETUP_LOG.TEMP.temp")));
  EXPECT_FALSE(PathExists(rig.Linux("C:\\KVT\\KVT_SETUP_SIG.TEMP.temp")));
  {
    std::lock_guard<std::mutex> lock(asked_mutex);
    EXPECT_EQ(asked, row.asked);
  }
  row.check(rig);
}

constexpr char kM[] = "/KVT_TRNQP_SETUP_LOG.txt";
constexpr char kS[] = "/KVT_TRNQP_SETUP_LOG.txt.sig";
constexpr char kX[] = "/UnRAR.exe";
constexpr char kA[] = "/KVT_SETUP.rar";
std::string V(const char* target) { return std::string("vendor ") + target; }
std::string Mi(const char* target) { return std::string("mirror ") + target; }
// What `on` (the vendor host when null) answers for `target` from now on.
Spoil Serve(const char* target, std::function<Response(InstallRig&)> response,
            bool on_mirror = false) {
  return [=](InstallRig& rig, testing::TestServer& mirror) {
    (on_mirror ? mirror : rig.server).Route(target, response(rig));
  };
}
Spoil Both(Spoil a, Spoil b) {
  return [=](InstallRig& rig, testing::TestServer& mirror) {
    a(rig, mirror);
    b(rig, mirror);
  };
}
Response NotFound(InstallRig&) { return Response::Status("HTTP/1.1 404 Not Found"); }
// The head is never sent (the server is silent until it stops).
Response Silent(InstallRig&) { return Response::Ok("").Delay(std::chrono::hours(1)); }
Response CutArchive(InstallRig& rig) { return Response::Ok(rig.ProductArchive()).CloseAfter(3000); }
Response ChangedExtractor(InstallRig& rig) {
  return Response::Ok(Flipped(rig.ExtractorScript(0), 20));
}
Response StrangersSignature(InstallRig& rig) {
  return Response::Ok(testing::SignedRelease{InstallRig::Manifest(),
                                             {{InstallRig::VendorUrl(kX), rig.ExtractorScript(0)},
                                              {InstallRig::VendorUrl(kA), rig.ProductArchive()}}}
                          .Text({&Stranger()}));
}

const MirrorRow kMirrorRows[] = {
    // Refused connections: everything from the mirror, dialled on the port its entry names.
    {.name = "VendorRefusesMirrorWithPort",
     .spoil = [](InstallRig& rig, testing::TestServer&) { rig.server.Stop(); },
     .asked = {Mi(kM), Mi(kX), Mi(kA)},
     .keys = false,
     .list = MirrorRow::List::kHostAndPort},
    // Silent until the time-out, on every request: each one is asked again on the mirror.
    {.name = "VendorSilentUntilTheTimeOut",
     .spoil =
         Both([](InstallRig& rig, testing::TestServer&) { rig.m.internet.SetTimeoutCapMs(300); },
              Both(Serve(kM, Silent), Both(Serve(kX, Silent), Serve(kA, Silent)))),
     .asked = {V(kM), Mi(kM), Mi(kS), V(kX), Mi(kX), V(kA), Mi(kA)}},
    // The signature file comes from the host that served the manifest.
    {.name = "ManifestNotFoundOnTheVendorHost",
     .spoil = Serve(kM, NotFound),
     .asked = {V(kM), Mi(kM), Mi(kS), V(kX), V(kA)}},
    {.name = "SignatureOfAStrangerOnTheVendorHost",
     .spoil = Serve(kS, StrangersSignature),
     .asked = {V(kM), V(kS), Mi(kM), Mi(kS), V(kX), V(kA)},
     .check =
         [](InstallRig& rig) {
           // The same hosts again, with how each one ended for the support log.
           std::vector<Mupdate::HostAttempt> attempts;
           std::string version, extractor, package;
           std::vector<Mupdate::SignedFile> verified;
           ASSERT_EQ(Mupdate::FetchReleaseManifestFromHosts(rig.vendor, version, extractor, package,
                                                            verified, nullptr, &attempts),
                     -1);
           ASSERT_EQ(attempts.size(), 2u);
           EXPECT_EQ(attempts[0].host + " " + attempts[0].reason,
                     "127.0.0.1 not what the vendor signed");
           EXPECT_FALSE(attempts[0].served);
           EXPECT_EQ(attempts[1].url, "http://127.0.0.2/KVT_TRNQP_SETUP_LOG.txt");
           EXPECT_TRUE(attempts[1].served);
         }},
    {.name = "ExtractorServerErrorOnTheVendorHost",
     .spoil = Serve(
         kX,
         [](InstallRig&) { return Response::Status("HTTP/1.1 503 Service Unavailable", "busy"); }),
     .asked = {V(kM), V(kS), V(kX), Mi(kX), V(kA)}},
    // Cut short on the vendor host: the mirror's copy starts again at byte 0.
    {.name = "ArchiveCutOnTheVendorHost",
     .spoil = Serve(kA, CutArchive),
     .asked = {V(kM), V(kS), V(kX), V(kA), Mi(kA)}},
    // Changed on the vendor host: deleted there; only the mirror's signed bytes run.
    {.name = "ExtractorChangedOnTheVendorHost",
     .spoil = Serve(kX, ChangedExtractor),
     .asked = {V(kM), V(kS), V(kX), Mi(kX), V(kA)},
     .check = [](InstallRig& rig) { EXPECT_EQ(rig.processes.starts.size(), 1u); }},
    // Every host bad: the message of the last failure. The cut's partial file stays: the
    // mirror's 404 touches no file.
    {.name = "ArchiveBadOnEveryHost",
     .spoil = Both(Serve(kA, CutArchive), Serve(kA, NotFound, true)),
     .asked = {V(kM), V(kS), V(kX), V(kA), Mi(kA)},
     .install_message = kCannotConnect,
     .check =
         [](InstallRig& rig) {
           EXPECT_EQ(ReadFileBytes(Folder(rig) + "KVT_SETUP.rar.temp"),
                     rig.ProductArchive().substr(0, 3000));
           EXPECT_FALSE(PathExists(Folder(rig) + "KVT_SETUP.rar"));
         }},
    {.name = "ExtractorChangedOnEveryHost",
     .spoil = Both(Serve(kX, ChangedExtractor), Serve(kX, ChangedExtractor, true)),
     .asked = {V(kM), V(kS), V(kX), Mi(kX)},
     .install_message = kTampered,
     .check =
         [](InstallRig& rig) {
           EXPECT_FALSE(PathExists(Folder(rig) + "UnRAR.exe"));
           EXPECT_FALSE(PathExists(Folder(rig) + "UnRAR.exe.temp"));
         }},
    {.name = "ManifestBadOnEveryHost",
     .spoil = Both(Serve(kM, NotFound), Serve(kS, StrangersSignature, true)),
     .asked = {V(kM), Mi(kM), Mi(kS)},
     .continue_message = kTampered},
    // A full disk is this machine's: no other host is asked.
    {.name = "DiskFullIsNotFailedOver",
     .spoil = Serve(
         kA,
         [](InstallRig& rig) { return Response::Ok(rig.ProductArchive()).Length(kHugeLength); }),
     .asked = {V(kM), V(kX), V(kA)},
     .install_message = kDiskFull,
     .keys = false},
    // Cancel and OK between the vendor host's 404 for the archive and the mirror: the program
    // ends there. (The first pump after the request reads the 404; the next one begins the
    // mirror's try.)
    {.name = "CancelBetweenHosts",
     .spoil = Both(Serve(kA, NotFound),
                   [](InstallRig& rig, testing::TestServer&) {
                     auto pumps = std::make_shared<int>(0);
                     rig.ui().script.push_back({"Cancel between the hosts",
                                                [&rig, pumps](Fd&) {
                                                  return rig.server.RequestCount() >= 4 &&
                                                         ++*pumps == 2;
                                                },
                                                [](Fd& fd) { fd.Cno_Click(); }});
                   }),
     .asked = {V(kM), V(kS), V(kX), V(kA)},
     .ends_program = true},
    // No mirrors (the build's default): one host, and the same request as a plain download.
    {.name = "NoMirrorsAsksTheVendorHostOnly",
     .spoil = Serve(kA, NotFound),
     .asked = {V(kM), V(kX), V(kA)},
     .install_message = kCannotConnect,
     .keys = false,
     .list = MirrorRow::List::kNone,
     .check =
         [](InstallRig& rig) {
           const std::vector<testing::RecordedRequest> before = rig.server.Requests();
           ASSERT_EQ(Mupdate::DownloadFile(InstallRig::VendorUrl(kA), Folder(rig) + "plain", ""),
                     0);
           const std::vector<testing::RecordedRequest> after = rig.server.Requests();
           ASSERT_EQ(after.size(), before.size() + 1);
           EXPECT_EQ(after.back().raw, before.back().raw);
         }},
};

INSTANTIATE_TEST_SUITE_P(Rows, MirrorFailoverTest, ::testing::ValuesIn(kMirrorRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvt
