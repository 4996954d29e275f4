// The release manifest fetched from the loopback server into the program folder of the POSIX
// machine: the CR LF split and the result rule, the temporary file's name and its deletion.
#include "net/manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "net_scenarios.h"
#include "platform/text_decoding.h"
#include "startup/pending_error.h"
#include "support/posix_machine.h"
#include "support/test_server.h"

namespace kvt {
namespace {

using net_scenarios::RecordingFiles;
using testing::PathExists;
using testing::PosixMachine;
using testing::PosixMachineOptions;
using testing::ReadFileBytes;
using testing::Response;
using testing::TestServer;
using testing::WriteFileBytes;

constexpr char kManifest[] = "/KVT_TRNQP_SETUP_LOG.txt";
constexpr char kTemp[] = "C:\\KVT\\KVT_SETUP_LOG.TEMP";

class ManifestTest : public ::testing::Test {
 protected:
  explicit ManifestTest(PosixMachineOptions options = {})
      : m_(server_.port(), options), files_(m_.files) {
    platform::Install(m_.machine.Platform(&m_.internet, &files_, &m_.processes));
  }

  std::int16_t Fetch() {
    return Mupdate::FetchReleaseManifest(Mupdate::VendorSettings(), version_, extractor_, package_,
                                         signed_files_);
  }
  std::vector<std::string> Calls(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& c : files_.calls) {
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    }
    return out;
  }

  TestServer server_;
  PosixMachine m_;
  RecordingFiles files_;
  // Values of an earlier call: every call overwrites them.
  std::string version_ = "old version";
  std::vector<Mupdate::SignedFile> signed_files_;
  std::string extractor_ = "http://old/UnRAR.exe";
  std::string package_ = "http://old/KVT_SETUP.rar";
};

TEST_F(ManifestTest, ManifestUrlNamesTheVendorHostAndTheFixedPath) {
  EXPECT_EQ(Mupdate::ManifestUrl(Mupdate::kHttpScheme), "http://127.0.0.1/KVT_TRNQP_SETUP_LOG.txt");
}

struct Case {
  const char* name;
  std::string text;
  int result;
  std::string version, extractor, package;
};

TEST_F(ManifestTest, SplitsAtCrLfAndDecidesByVersionAndPackage) {
  const std::string u = "http://127.0.0.1/UnRAR.exe";
  const std::string p = "http://127.0.0.1/KVT_SETUP.rar";
  const std::vector<Case> cases = {
      {"three lines", "2.1.0\r\n" + u + "\r\n" + p, -1, "2.1.0", u, p},
      {"line break after the last line", "2.1.0\r\n" + u + "\r\n" + p + "\r\n", 0, "2.1.0",
       u + "\r\n" + p, ""},
      {"two lines", "2.1.0\r\n" + p, -1, "2.1.0", "", p},
      {"five lines", "v5\r\na\r\nb\r\nc\r\n" + p, -1, "v5", "a\r\nb\r\nc", p},
      {"first line empty", "\r\n" + u + "\r\n" + p, 0, "", u, p},
      {"blanks kept", " 2.1 beta \r\n " + u + "\r\n" + p + " ", -1, " 2.1 beta ", " " + u,
       p + " "},
      {"empty middle line", "2.1.0\r\n\r\n" + p, -1, "2.1.0", "", p},
      {"lone CR and LF stay in their line", "2.1\r0\r\n" + u + "\n\r\n" + p, -1, "2.1\r0",
       u + "\n", p},
      {"Chinese version", "2.1 正式版\r\n" + u + "\r\n" + p, -1, "2.1 正式版", u, p},
      // Saved by Notepad: the byte-order mark is not part of the version.
      {"UTF-8 byte-order mark", "\xEF\xBB\xBF" "2.1 测试版\r\n" + u + "\r\n" + p, -1,
       "2.1 测试版", u, p},
      {"empty file", "", 0, "", "", ""},
      {"CR LF only", "\r\n", 0, "", "", ""},
      // Without any CR LF there is no separate archive line.
      {"one line", "2.1.0", 0, "2.1.0", "", ""},
      {"LF line ends", "2.1.0\n" + u + "\n" + p, 0, "2.1.0\n" + u + "\n" + p, "", ""},
      {"exactly 64 KiB",
       std::string(65536 - 4 - u.size() - p.size(), 'v') + "\r\n" + u + "\r\n" + p, -1,
       std::string(65536 - 4 - u.size() - p.size(), 'v'), u, p},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.Enqueue(Response::Ok(c.text));
    version_ = extractor_ = package_ = "old";
    files_.calls.clear();
    EXPECT_EQ(Fetch(), c.result);
    EXPECT_EQ(version_, c.version);
    EXPECT_EQ(extractor_, c.extractor);
    EXPECT_EQ(package_, c.package);
    // Downloaded through the partial file, let go before it is read, and deleted: nothing stays
    // behind.
    const std::vector<std::string> expected = {
        "CreateForWrite " + std::string(kTemp) + ".temp", "HoldAs " + std::string(kTemp), "Release",
        "ReadAllBytes " + std::string(kTemp), "DeleteFile " + std::string(kTemp)};
    EXPECT_EQ(files_.calls, expected);
    EXPECT_FALSE(PathExists(m_.Linux(kTemp)));
    EXPECT_FALSE(PathExists(m_.Linux(std::string(kTemp) + ".temp")));
  }
  ASSERT_EQ(server_.RequestCount(), cases.size());
  for (const testing::RecordedRequest& r : server_.Requests()) EXPECT_EQ(r.target, kManifest);
}

TEST_F(ManifestTest, AnExistingTemporaryFileIsLeftAndTheTimeOfDayNameIsUsed) {
  ASSERT_TRUE(WriteFileBytes(m_.Linux(kTemp), "somebody else's file"));
  server_.Route(kManifest, Response::Ok("1.0\r\nhttp://h/u\r\nhttp://h/p"));
  EXPECT_EQ(Fetch(), -1);
  EXPECT_EQ(version_, "1.0");
  const std::string used = "C:\\KVT\\45296.17KVT_SETUP_LOG.TEMP";
  EXPECT_EQ(Calls("CreateForWrite"), std::vector<std::string>{"CreateForWrite " + used + ".temp"});
  EXPECT_EQ(Calls("DeleteFile"), std::vector<std::string>{"DeleteFile " + used});
  EXPECT_FALSE(PathExists(m_.Linux(used)));
  EXPECT_EQ(ReadFileBytes(m_.Linux(kTemp)), "somebody else's file");
}

TEST_F(ManifestTest, TheTimeOfDayNameIsFormedAgainUntilOneIsFree) {
  ASSERT_TRUE(WriteFileBytes(m_.Linux(kTemp), "a"));
  ASSERT_TRUE(WriteFileBytes(m_.Linux("C:\\KVT\\45297,5KVT_SETUP_LOG.TEMP"), "b"));
  m_.machine.clock.time_of_day = 45296.5;
  m_.machine.clock.time_of_day_step = 1.0;  // each reading is one second later
  m_.machine.clock.decimal_separator = ",";
  server_.Route(kManifest, Response::Ok("1.0\r\nhttp://h/p"));
  EXPECT_EQ(Fetch(), -1);
  EXPECT_EQ(Calls("CreateForWrite"),
            std::vector<std::string>{"CreateForWrite C:\\KVT\\45298,5KVT_SETUP_LOG.TEMP.temp"});
  EXPECT_EQ(ReadFileBytes(m_.Linux(kTemp)), "a");
  EXPECT_EQ(ReadFileBytes(m_.Linux("C:\\KVT\\45297,5KVT_SETUP_LOG.TEMP")), "b");
}

// A download that fails leaves nothing beside the program: a manifest announced longer than
// 64 KiB is not even begun, and the partial file of one cut short or stalled is removed.
TEST_F(ManifestTest, AFailedDownloadEmptiesTheOutputsAndLeavesNoScratchFile) {
  m_.internet.SetTimeoutCapMs(300);  // the stall meets its time-out quickly
  const std::string manifest = "1.0\r\nhttp://h/u\r\nhttp://h/p";
  const struct {
    const char* name;
    Response response;
    bool begun;  // the partial file was created
  } rows[] = {
      {"404", Response::Status("HTTP/1.1 404 Not Found", "none"), false},
      {"cut short", Response::Ok(manifest).CloseAfter(6), true},
      {"stalled", Response::Ok(manifest).StallAfter(6), true},
      {"announced past 64 KiB", Response::Ok(manifest + std::string(65537 - manifest.size(), ' ')),
       false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    server_.Enqueue(r.response);
    version_ = extractor_ = package_ = "old";
    files_.calls.clear();
    EXPECT_EQ(Fetch(), 0);
    EXPECT_EQ(version_, "");
    EXPECT_EQ(extractor_, "");
    EXPECT_EQ(package_, "");
    EXPECT_EQ(Calls("CreateForWrite").size(), r.begun ? 1u : 0u);
    EXPECT_TRUE(Calls("ReadAllBytes").empty());
    EXPECT_EQ(Mupdate::ReceivedBytes, r.begun ? 6 : 0);
    EXPECT_FALSE(PathExists(m_.Linux(kTemp)));
    EXPECT_FALSE(PathExists(m_.Linux(std::string(kTemp) + ".temp")));
  }
}

TEST_F(ManifestTest, AnUnreadableManifestGivesZeroEmptyOutputsAndIsStillDeleted) {
  server_.Route(kManifest, Response::Ok("1.0\r\nhttp://h/u\r\nhttp://h/p"));
  files_.fail_read_all = true;
  EXPECT_EQ(Fetch(), 0);
  EXPECT_EQ(version_, "");
  EXPECT_EQ(extractor_, "");
  EXPECT_EQ(package_, "");
  EXPECT_EQ(Calls("DeleteFile"), std::vector<std::string>{"DeleteFile " + std::string(kTemp)});
  EXPECT_FALSE(PathExists(m_.Linux(kTemp)));
}

class ManifestAtDriveRootTest : public ManifestTest {
 protected:
  static PosixMachineOptions AtRoot() {
    PosixMachineOptions o;
    o.program_folder = "C:\\";
    return o;
  }
  ManifestAtDriveRootTest() : ManifestTest(AtRoot()) {}
};

TEST_F(ManifestAtDriveRootTest, TheDoubledBackslashAfterTheDriveStillNamesTheRoot) {
  server_.Route(kManifest, Response::Ok("1.0\r\nhttp://h/p"));
  EXPECT_EQ(Fetch(), -1);
  EXPECT_EQ(package_, "http://h/p");
  EXPECT_EQ(Calls("CreateForWrite"),
            std::vector<std::string>{"CreateForWrite C:\\\\KVT_SETUP_LOG.TEMP.temp"});
  EXPECT_FALSE(PathExists(m_.c_drive + "/KVT_SETUP_LOG.TEMP"));
}

// Which bytes are read as UTF-8 and which go through the ANSI code page (marked "A:" here).
TEST(TextDecodingTest, ByteOrderMarkOrValidUtf8BeyondAsciiIsUtf8EverythingElseAnsi) {
  const auto ansi = [](const std::string& bytes) { return "A:" + bytes; };
  const std::string gbk = "2.1 \xB2\xE2\xCA\xD4\xB0\xE6";  // "2.1 测试版" in code page 936
  const std::vector<std::pair<std::string, std::string>> table = {
      {"\xEF\xBB\xBF" "2.1 测试版", "2.1 测试版"},
      {"2.1 测试版", "2.1 测试版"},
      {"\xEF\xBB\xBF", ""},
      {"\xEF\xBB\xBF" "2.1", "2.1"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},  // four bytes, U+1F600
      {gbk, "A:" + gbk},
      {"2.1", "A:2.1"},                                   // ASCII alone: the code page
      {"", "A:"},
      {"\xEF\xBB", "A:\xEF\xBB"},                         // half a mark
      {"\xC0\xAF", "A:\xC0\xAF"},                         // overlong
      {"\xE0\x80\xAF", "A:\xE0\x80\xAF"},                 // overlong
      {"\xED\xA0\x80", "A:\xED\xA0\x80"},                 // surrogate
      {"\xF4\x90\x80\x80", "A:\xF4\x90\x80\x80"},         // past U+10FFFF
      {"\xE6\xB5", "A:\xE6\xB5"},                         // cut short
      {"\xE6\xB5\x8B\x80", "A:\xE6\xB5\x8B\x80"},         // stray continuation byte
  };
  for (const auto& [bytes, text] : table) {
    EXPECT_EQ(platform::DecodeText(bytes, ansi), text) << ::testing::PrintToString(bytes);
  }
}

}  // namespace
}  // namespace kvt
