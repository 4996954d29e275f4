// Files under the drive map: path translation and the operations the core relies on.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
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

class PosixFilesTest : public ::testing::Test {
 protected:
  PosixFilesTest()
      : c_(Make("c")), d_(Make("d")), files_({{'C', c_}, {'d', d_ + "/"}}, "C:\\KVT") {}

  std::string Make(const std::string& name) {
    ::mkdir(temp_.Sub(name).c_str(), 0755);
    return temp_.Sub(name);
  }

  TempDir temp_;
  std::string c_, d_;
  PosixFileSystem files_;
};

TEST_F(PosixFilesTest, TranslatesWindowsPathsThroughTheDriveMap) {
  struct Case {
    std::string windows;
    bool ok;
    std::string linux_relative;  // after the drive folder
    char drive = 'd';
  };
  const std::vector<Case> cases = {
      {"D:\\KVT记账宝\\\\UnRAR.exe", true, "/KVT记账宝/UnRAR.exe"},
      {"D:\\KVT记账宝\\", true, "/KVT记账宝/"},
      {"d:\\a\\b.txt", true, "/a/b.txt"},
      {"D:", true, ""},
      {"D:\\", true, "/"},
      {"D:/mixed\\\\//separators", true, "/mixed/separators"},
      {"C:\\KVT\\45296.17KVT_SETUP_LOG.TEMP", true, "/KVT/45296.17KVT_SETUP_LOG.TEMP", 'c'},
      {"C:\\KVT\\.\\sub\\..\\x", true, "/KVT/x", 'c'},
      {"D:\\..\\..\\etc\\passwd", true, "/etc/passwd"},  // never above the drive root
      {"E:\\KVT记账宝\\", false, ""},
      {"\\\\server\\share\\x", false, ""},
      {"KVT.exe", false, ""},
      {"", false, ""},
      {"1:\\x", false, ""},
      {"D:\\a\"", false, ""},
      {"D:\\a:b", false, ""},
      {"D:\\a?", false, ""},
      {"D:\\a*b", false, ""},
      {"D:\\a|b", false, ""},
      {"D:\\a<b>", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.windows);
    bool ok = !c.ok;
    const std::string got = files_.ToLinuxPath(c.windows, ok);
    EXPECT_EQ(ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(got, (c.drive == 'c' ? c_ : d_) + c.linux_relative);
    } else {
      EXPECT_EQ(got, "");
    }
  }
  // Arguments may carry a quote that Windows' parsing left in them.
  bool ok;
  EXPECT_EQ(files_.ToLinuxArgument("D:\\KVT记账宝\"", ok), d_ + "/KVT记账宝\"");
  EXPECT_TRUE(ok);
}

TEST_F(PosixFilesTest, DirectoryTestsSeeDrivesAndFolders) {
  ::mkdir((d_ + "/KVT记账宝").c_str(), 0755);
  WriteFileBytes(d_ + "/file.txt", "x");
  struct Case {
    std::string path;
    bool exists;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"D:", true, true},
      {"d:", true, true},
      {"E:", false, true},
      {"D:\\KVT记账宝\\", true, true},
      {"D:\\KVT记账宝", true, true},
      {"D:\\missing\\", false, true},
      {"D:\\file.txt", false, true},
      {"", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    bool ok = !c.ok;
    EXPECT_EQ(files_.DirectoryExists(c.path, ok), c.exists);
    EXPECT_EQ(ok, c.ok);
  }
}

TEST_F(PosixFilesTest, FileTestSeesOnlyOrdinaryFilesOfThatName) {
  ::mkdir((d_ + "/folder").c_str(), 0755);
  WriteFileBytes(d_ + "/KVT_SETUP_LOG.TEMP", "x");
  struct Case {
    std::string path;
    bool exists;
  };
  const std::vector<Case> cases = {
      {"D:\\KVT_SETUP_LOG.TEMP", true},       {"D:\\\\KVT_SETUP_LOG.TEMP", true},
      {"D:\\KVT_SETUP_LOG.TEMP.temp", false}, {"D:\\folder", false},
      {"E:\\KVT_SETUP_LOG.TEMP", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    bool ok = false;
    EXPECT_EQ(files_.FileExists(c.path, ok), c.exists);
    EXPECT_TRUE(ok);
  }
}

TEST_F(PosixFilesTest, CreatesOneDirectoryLevelOnly) {
  EXPECT_TRUE(files_.CreateDirectory("D:\\KVT记账宝\\"));
  EXPECT_TRUE(PathExists(d_ + "/KVT记账宝"));
  EXPECT_FALSE(files_.CreateDirectory("D:\\KVT记账宝\\"));  // exists already
  EXPECT_FALSE(files_.CreateDirectory("D:\\a\\b\\"));       // parent missing
  EXPECT_FALSE(PathExists(d_ + "/a"));
  EXPECT_FALSE(files_.CreateDirectory("E:\\x"));
}

TEST_F(PosixFilesTest, WritesAtOffsetsIntoAFreshFile) {
  WriteFileBytes(d_ + "/f.temp", "old content that must go");
  const platform::FileHandle f = files_.CreateForWrite("D:\\f.temp");
  ASSERT_NE(f, 0u);
  EXPECT_EQ(ReadFileBytes(d_ + "/f.temp"), "");  // truncated
  EXPECT_EQ(files_.WriteAt(f, 5, "world", 5), platform::FileResult::kOk);
  EXPECT_EQ(files_.WriteAt(f, 0, "hello", 5), platform::FileResult::kOk);
  EXPECT_EQ(files_.WriteAt(f, 12, "!", 1),
            platform::FileResult::kOk);  // past the end: the gap is zeros
  EXPECT_EQ(files_.WriteAt(f, 12, "", 0), platform::FileResult::kOk);
  EXPECT_TRUE(files_.Close(f));
  EXPECT_EQ(ReadFileBytes(d_ + "/f.temp"), std::string("helloworld\0\0!", 13));
  // A closed or unknown handle writes nothing.
  EXPECT_EQ(files_.WriteAt(f, 0, "x", 1), platform::FileResult::kFailed);
  EXPECT_FALSE(files_.Close(f));
  EXPECT_EQ(files_.WriteAt(0, 0, "x", 1), platform::FileResult::kFailed);
  EXPECT_FALSE(files_.Close(0));
  EXPECT_EQ(files_.CreateForWrite("D:\\missing\\f.temp"), 0u);
  EXPECT_EQ(files_.CreateForWrite("E:\\f.temp"), 0u);
}

TEST_F(PosixFilesTest, RenameRefusesToReplaceAnExistingFile) {
  WriteFileBytes(d_ + "/a.temp", "new");
  WriteFileBytes(d_ + "/a", "old");
  EXPECT_EQ(files_.RenameFile("D:\\a.temp", "D:\\a"), platform::FileResult::kFailed);
  EXPECT_EQ(ReadFileBytes(d_ + "/a"), "old");
  EXPECT_EQ(ReadFileBytes(d_ + "/a.temp"), "new");

  EXPECT_EQ(files_.DeleteFile("D:\\a"), platform::FileResult::kOk);
  EXPECT_FALSE(PathExists(d_ + "/a"));
  EXPECT_EQ(files_.RenameFile("D:\\a.temp", "D:\\\\a"), platform::FileResult::kOk);
  EXPECT_EQ(ReadFileBytes(d_ + "/a"), "new");
  EXPECT_FALSE(PathExists(d_ + "/a.temp"));

  EXPECT_EQ(files_.RenameFile("D:\\a.temp", "D:\\b"),
            platform::FileResult::kFailed);  // source gone
  EXPECT_EQ(files_.RenameFile("D:\\a", "E:\\a"), platform::FileResult::kFailed);
}

// A held file: named through its writer, no longer writable, and every change Linux cannot
// refuse (a rename, a deletion, a replacement, a growth) is seen before the file is relied on.
TEST_F(PosixFilesTest, AHeldFileIsReadOnlyAndEveryChangeToItIsSeen) {
  const std::string held_path = d_ + "/UnRAR.exe";
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"none", [] {}},
      {"renamed", [&] { ::rename(held_path.c_str(), (held_path + ".old").c_str()); }},
      {"deleted", [&] { ::unlink(held_path.c_str()); }},
      {"replaced",
       [&] {
         WriteFileBytes(held_path + ".x", "other");
         ::rename((held_path + ".x").c_str(), held_path.c_str());
       }},
      {"grown", [&] { std::ofstream(held_path, std::ios::app) << "!"; }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    ::unlink(held_path.c_str());
    platform::FileHandle file = files_.CreateForWrite("D:\\UnRAR.exe.temp");
    ASSERT_NE(file, 0u);
    ASSERT_EQ(files_.WriteAt(file, 0, "12345", 5), platform::FileResult::kOk);
    platform::HeldFile held = 0;
    // The wrong size is refused, the writer kept.
    EXPECT_EQ(files_.HoldAs(file, "D:\\UnRAR.exe", 4, held), platform::FileResult::kChanged);
    EXPECT_NE(file, 0u);
    ASSERT_EQ(files_.HoldAs(file, "D:\\UnRAR.exe", 5, held), platform::FileResult::kOk);
    EXPECT_EQ(file, 0u);
    EXPECT_FALSE(PathExists(held_path + ".temp"));
    struct stat st {};
    ASSERT_EQ(::stat(held_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "no write permission left";
    EXPECT_EQ(kvt::testing::OpenFilesIn(d_), std::vector<std::string>{"UnRAR.exe"});
    change();
    EXPECT_EQ(files_.StillHeld(held), std::string(name) == "none");
    EXPECT_TRUE(files_.Release(held));
    EXPECT_FALSE(files_.Release(held));
    EXPECT_EQ(kvt::testing::OpenFilesIn(d_), std::vector<std::string>{});
    ::unlink((held_path + ".old").c_str());
  }

  // Never over an existing file; deleted through its writer instead.
  WriteFileBytes(d_ + "/a", "old");
  platform::FileHandle file = files_.CreateForWrite("D:\\a.temp");
  platform::HeldFile held = 0;
  EXPECT_EQ(files_.HoldAs(file, "D:\\a", 0, held), platform::FileResult::kFailed);
  EXPECT_EQ(held, 0u);
  EXPECT_EQ(ReadFileBytes(d_ + "/a"), "old");
  EXPECT_EQ(files_.DeleteOpen(file), platform::FileResult::kOk);
  EXPECT_FALSE(PathExists(d_ + "/a.temp"));
  EXPECT_EQ(kvt::testing::OpenFilesIn(d_), std::vector<std::string>{});
}

TEST_F(PosixFilesTest, DeleteRemovesFilesOnly) {
  ::mkdir((d_ + "/folder").c_str(), 0755);
  WriteFileBytes(d_ + "/f", "x");
  EXPECT_EQ(files_.DeleteFile("D:\\f"), platform::FileResult::kOk);
  EXPECT_EQ(files_.DeleteFile("D:\\f"), platform::FileResult::kFailed);
  EXPECT_EQ(files_.DeleteFile("D:\\folder"), platform::FileResult::kFailed);
  EXPECT_TRUE(PathExists(d_ + "/folder"));
}

TEST_F(PosixFilesTest, ReadsWholeFilesByteForByteUpToTheLimitAndTellsTheirSize) {
  const std::string manifest =
      "1.0.3 正式版\r\nhttp://127.0.0.1/UnRAR.exe\r\nhttp://127.0.0.1/KVT.rar";
  WriteFileBytes(c_ + "/m.txt", manifest);
  WriteFileBytes(c_ + "/empty.txt", "");
  WriteFileBytes(c_ + "/big.bin", std::string(200000, 'b'));
  const struct {
    const char* path;
    std::size_t limit;
    bool read;
    std::uint64_t size;  // what FileSize tells; 0 with false when there is no file
  } rows[] = {
      {"C:\\m.txt", 1 << 16, true, manifest.size()},
      {"C:\\m.txt", manifest.size(), true, manifest.size()},  // exactly the limit
      {"C:\\m.txt", manifest.size() - 1, false, manifest.size()},
      {"C:\\empty.txt", 0, true, 0},
      {"C:\\big.bin", 199999, false, 200000},  // the last byte past several pieces
      {"C:\\big.bin", std::string().max_size(), true, 200000},
      {"C:\\missing.txt", 1 << 16, false, 0},
      {"C:\\", 1 << 16, false, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.path) + " limit " + std::to_string(r.limit));
    std::string bytes = "stale";
    EXPECT_EQ(files_.ReadAllBytes(r.path, r.limit, bytes), r.read);
    EXPECT_EQ(bytes.size(), r.read ? r.size : 0u);
    std::uint64_t size = 7;
    EXPECT_EQ(files_.FileSize(r.path, size), r.size != 0 || r.read);
    EXPECT_EQ(size, r.size);
  }
  std::string bytes;
  ASSERT_TRUE(files_.ReadAllBytes("C:\\m.txt", 1 << 16, bytes));
  EXPECT_EQ(bytes, manifest);
  EXPECT_EQ(files_.TextFromBytes("\xEF\xBB\xBF" + manifest), manifest);
  EXPECT_EQ(files_.ProgramFolder(), "C:\\KVT");
}

}  // namespace
}  // namespace kvt::posix
