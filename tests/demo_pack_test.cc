// The demo release's archive format: what the packer writes is what the stand-in extractor
// reads back, and nothing damaged or dangerous gets past the check that runs before any file
// is written.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "../tools/demo/kvtpack_format.h"

namespace kvt::pack {
namespace {

std::string Le(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

// One hand-made entry, so tests can write what Writer refuses to write.
std::string RawEntry(const std::string& path, const std::string& data) {
  return Le(path.size(), 4) + path + Le(data.size(), 8) + Le(Crc32(data), 4) + data;
}

std::string RawArchive(std::uint32_t count, const std::string& entries) {
  return std::string(kMagic) + Le(count, 4) + entries;
}

const std::vector<std::pair<std::string, std::string>> kFiles = {
    {"KVT.exe", std::string("MZ\0\0\x90\xFF binary", 13)},
    {"说明.txt", "\xEF\xBB\xBF" "KVT记账宝\r\n"},
    {"文档/子目录/空文件", ""},
    {"a b/c.d", std::string(70000, 'x')},
};

std::string BuildSample() {
  Writer writer;
  for (const auto& [path, data] : kFiles) EXPECT_TRUE(writer.Add(path, data)) << path;
  return writer.bytes();
}

TEST(DemoPackTest, Crc32MatchesTheStandardCheckValue) {
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32(""), 0u);
  // Feeding in pieces gives the same value as feeding the whole.
  EXPECT_EQ(Crc32("6789", Crc32("12345")), 0xCBF43926u);
}

TEST(DemoPackTest, RoundTripKeepsPathsDataAndOrder) {
  const std::string archive = BuildSample();
  std::vector<Entry> entries;
  std::string error;
  ASSERT_TRUE(Parse(archive, entries, error)) << error;
  ASSERT_EQ(entries.size(), kFiles.size());
  for (std::size_t i = 0; i < kFiles.size(); ++i) {
    EXPECT_EQ(entries[i].path, kFiles[i].first);
    EXPECT_EQ(entries[i].data, kFiles[i].second) << kFiles[i].first;
  }
}

TEST(DemoPackTest, EmptyArchiveIsValidAndHoldsNothing) {
  std::vector<Entry> entries;
  std::string error;
  EXPECT_TRUE(Parse(Writer().bytes(), entries, error)) << error;
  EXPECT_TRUE(entries.empty());
}

TEST(DemoPackTest, EveryTruncationIsRejected) {
  const std::string archive = BuildSample();
  for (std::size_t size = 0; size < archive.size(); ++size) {
    std::vector<Entry> entries;
    std::string error;
    ASSERT_FALSE(Parse(std::string_view(archive).substr(0, size), entries, error))
        << "accepted an archive cut to " << size << " of " << archive.size() << " bytes";
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(error.empty());
  }
}

TEST(DemoPackTest, DamagedArchivesAreRejectedWithoutEntries) {
  const std::string good = BuildSample();
  const std::size_t first_data = kMagic.size() + 4 + 4 + kFiles[0].first.size() + 8 + 4;
  const std::size_t first_crc = first_data - 4;
  struct Case {
    const char* name;
    std::string bytes;
    const char* error_contains;
  };
  std::string flipped_data = good;
  flipped_data[first_data + 3] ^= 0x01;
  std::string flipped_last = good;
  flipped_last.back() ^= 0x40;
  std::string flipped_crc = good;
  flipped_crc[first_crc] ^= 0x80;
  std::string bad_magic = good;
  bad_magic[7] = '2';
  const std::vector<Case> cases = {
      {"data byte changed", flipped_data, "CRC mismatch"},
      {"last data byte changed", flipped_last, "CRC mismatch"},
      {"CRC field changed", flipped_crc, "CRC mismatch"},
      {"other magic", bad_magic, "not a KVTPACK1"},
      {"RAR signature", std::string("Rar!\x1A\x07\x00", 7) + std::string(40, '\0'), "not a KVTPACK1"},
      {"byte after last entry", good + "x", "after the last entry"},
      {"count larger than entries", RawArchive(2, RawEntry("a", "1")), "truncated"},
      {"count smaller than entries", RawArchive(1, RawEntry("a", "1") + RawEntry("b", "2")),
       "after the last entry"},
      {"zero path length", RawArchive(1, Le(0, 4) + Le(0, 8) + Le(0, 4)), "bad path length"},
      {"path length past the limit", RawArchive(1, Le(kMaxPathBytes + 1, 4)), "bad path length"},
      {"data size beyond the file", RawArchive(1, Le(1, 4) + "a" + Le(~0ull, 8) + Le(0, 4)),
       "truncated"},
  };
  for (const Case& c : cases) {
    std::vector<Entry> entries;
    std::string error;
    EXPECT_FALSE(Parse(c.bytes, entries, error)) << c.name;
    EXPECT_TRUE(entries.empty()) << c.name;
    EXPECT_NE(error.find(c.error_contains), std::string::npos) << c.name << ": " << error;
  }
}

TEST(DemoPackTest, PathRulesKeepEveryFileInsideTheDestination) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"KVT.exe", true},
      {"文档/版本说明.txt", true},
      {"a b/c d.txt", true},
      {"..a/b..", true},
      {"emoji\xF0\x9F\x98\x80.txt", true},
      {std::string(kMaxPathBytes, 'a'), true},
      {std::string(kMaxPathBytes + 1, 'a'), false},
      {"", false},
      {"/etc/passwd", false},
      {"..", false},
      {"../KVT.exe", false},
      {"a/../../b", false},
      {"a/..", false},
      {"./a", false},
      {"a//b", false},
      {"a/", false},
      {"a\\..\\b", false},
      {"C:/Windows/x.dll", false},
      {"a:stream", false},
      {"con?.txt", false},
      {"a\"b", false},
      {std::string("a\0b", 3), false},
      {"tab\there", false},
      {"\x80" "abc", false},          // continuation byte without a lead byte
      {"\xC0\xAF", false},            // overlong '/'
      {"\xED\xA0\x80", false},        // UTF-16 surrogate
      {"\xE6\x96", false},            // sequence cut short at the end
      {"\xF4\x90\x80\x80", false},    // beyond U+10FFFF
  };
  for (const auto& [path, safe] : cases) {
    EXPECT_EQ(IsSafeRelativePath(path), safe) << "path: " << path;
  }
}

TEST(DemoPackTest, UnsafePathsNeitherPackNorExtract) {
  for (const std::string path : {"../evil.exe", "a/../../evil.exe", "/evil.exe", "C:/evil.exe"}) {
    Writer writer;
    ASSERT_TRUE(writer.Add("ok.txt", "fine"));
    const std::string before = writer.bytes();
    EXPECT_FALSE(writer.Add(path, "bad")) << path;
    EXPECT_EQ(writer.bytes(), before) << "archive changed by a refused entry: " << path;

    // An archive made by hand with that path is refused as a whole, also the good entry.
    std::vector<Entry> entries;
    std::string error;
    EXPECT_FALSE(Parse(RawArchive(2, RawEntry("ok.txt", "fine") + RawEntry(path, "bad")),
                       entries, error))
        << path;
    EXPECT_TRUE(entries.empty());
    EXPECT_NE(error.find("unsafe path"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace kvt::pack
