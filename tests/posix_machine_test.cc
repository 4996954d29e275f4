// The PosixMachine fixture wires the core to the real files and HTTP client: a download through
// the core lands on disk under the drive map.

#include "support/posix_machine.h"

#include <gtest/gtest.h>

#include <string>

#include "net/download.h"
#include "startup/pending_error.h"
#include "support/test_server.h"

namespace kvt::testing {
namespace {

TEST(PosixMachineTest, DownloadThroughTheCoreLandsUnderTheDriveMap) {
  TestServer server;
  const std::uint64_t size = 3 * 1024 * 1024 + 17;
  server.Route("/files/KVT_SETUP.rar", Response::Generated(size, 7));
  PosixMachine m(server.port());
  ASSERT_TRUE(m.files.CreateDirectory("D:\\KVT记账宝\\"));

  EXPECT_EQ(Mupdate::DownloadFile("http://127.0.0.1/files/KVT_SETUP.rar",
                                  "D:\\KVT记账宝\\\\KVT_SETUP.rar", "正在下载安装文件： "),
            -1);
  EXPECT_FALSE(PendingError::IsPending()) << PendingError::What();
  EXPECT_TRUE(FileHoldsPattern(m.d_drive + "/KVT记账宝/KVT_SETUP.rar", size, 7));
  EXPECT_FALSE(PathExists(m.d_drive + "/KVT记账宝/KVT_SETUP.rar.temp"));
  ASSERT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(server.Requests()[0].raw,
            "GET /files/KVT_SETUP.rar HTTP/1.1\r\nAccept: */*\r\nUser-Agent: Pelorix1.0\r\n"
            "Host: 127.0.0.1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(m.internet.OpenHandleCount(), 0u);  // every handle closed again
}

TEST(PosixMachineTest, DrivesAndProgramFolderAreSetUp) {
  PosixMachine with_d(1);
  bool ok;
  EXPECT_TRUE(with_d.files.DirectoryExists("D:", ok));
  EXPECT_TRUE(with_d.files.DirectoryExists("C:\\KVT", ok));
  EXPECT_EQ(with_d.files.ProgramFolder(), "C:\\KVT");
  EXPECT_EQ(with_d.Linux("D:\\KVT记账宝\\\\UnRAR.exe"), with_d.d_drive + "/KVT记账宝/UnRAR.exe");

  PosixMachineOptions options;
  options.map_d = false;
  options.program_folder = "C:\\";
  PosixMachine without_d(1, options);
  EXPECT_FALSE(without_d.files.DirectoryExists("D:", ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ(without_d.Linux("D:\\x"), "");
  EXPECT_EQ(platform::Sys().files, &without_d.files);  // the latest machine is installed
}

}  // namespace
}  // namespace kvt::testing
