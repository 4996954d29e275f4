// The demo release's archive format ("KVTPACK1"), shared by the host packer (kvtpack) and the
// stand-in extractor (UnRAR.exe). Header-only and free of any operating-system header so that
// the Linux tests exercise the very code the Windows stand-in runs.
//
// Layout (all integers little-endian):
//   8 bytes   magic "KVTPACK1"
//   u32       number of entries
//   per entry:
//     u32     length of the path in bytes (1 .. kMaxPathBytes)
//     bytes   relative path, UTF-8, components separated by '/'
//     u64     size of the data in bytes
//     u32     CRC-32 (IEEE 802.3, as in zip/PNG) of the data
//     bytes   the data
// Nothing may follow the last entry. Only regular files are stored; their folders are implied
// by the paths.
#ifndef KVT_TOOLS_DEMO_KVTPACK_FORMAT_H_
#define KVT_TOOLS_DEMO_KVTPACK_FORMAT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvt::pack {

inline constexpr std::string_view kMagic = "KVTPACK1";
inline constexpr std::uint32_t kMaxPathBytes = 1024;

struct Entry {
  std::string path;        // relative, '/'-separated, validated by IsSafeRelativePath
  std::string_view data;   // points into the archive bytes given to Parse
};

inline std::uint32_t Crc32(std::string_view bytes, std::uint32_t crc = 0) {
  static const std::array<std::uint32_t, 256> kTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    return table;
  }();
  crc = ~crc;
  for (unsigned char b : bytes) crc = kTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
inline bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (extra >= text.size() - i) return false;  // sequence runs past the end
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr std::uint32_t kMinForLength[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinForLength[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// A path is extracted below the destination folder only when it cannot leave it or name
// something other than a plain file there: relative, '/'-separated, no empty, "." or ".."
// component, no backslash, drive colon or other character Windows refuses in a file name.
inline bool IsSafeRelativePath(std::string_view path) {
  if (path.empty() || path.size() > kMaxPathBytes || !IsValidUtf8(path)) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    const std::string_view part =
        path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    for (unsigned char c : part) {
      if (c < 0x20 || c == 0x7F) return false;
      if (std::string_view("\\:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos) {
        return false;
      }
    }
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

namespace internal {

inline void PutLe(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

inline bool GetLe(std::string_view bytes, std::size_t& pos, int width, std::uint64_t& value) {
  if (bytes.size() - pos < static_cast<std::size_t>(width)) return false;
  value = 0;
  for (int i = 0; i < width; ++i) {
    value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[pos + i])) << (8 * i);
  }
  pos += width;
  return true;
}

}  // namespace internal

// Builds an archive in memory. Add rejects an unsafe path (returns false, archive unchanged).
class Writer {
 public:
  Writer() : bytes_(kMagic) { internal::PutLe(bytes_, 0, 4); }

  bool Add(std::string_view path, std::string_view data) {
    if (!IsSafeRelativePath(path)) return false;
    internal::PutLe(bytes_, path.size(), 4);
    bytes_.append(path);
    internal::PutLe(bytes_, data.size(), 8);
    internal::PutLe(bytes_, Crc32(data), 4);
    bytes_.append(data);
    ++count_;
    std::string count;
    internal::PutLe(count, count_, 4);
    bytes_.replace(kMagic.size(), 4, count);
    return true;
  }

  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
  std::uint32_t count_ = 0;
};

// Checks the whole archive before anything is extracted: magic, every length, every path and
// every CRC, and that nothing is missing or left over. On failure `entries` is left empty and
// `error` says what is wrong (in English, for a console or log).
inline bool Parse(std::string_view bytes, std::vector<Entry>& entries, std::string& error) {
  entries.clear();
  auto fail = [&](std::string message) {
    entries.clear();
    error = std::move(message);
    return false;
  };
  if (bytes.substr(0, kMagic.size()) != kMagic) return fail("not a KVTPACK1 archive");
  std::size_t pos = kMagic.size();
  std::uint64_t count = 0;
  if (!internal::GetLe(bytes, pos, 4, count)) return fail("archive truncated in its header");
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::string where = "entry " + std::to_string(i + 1) + ": ";
    std::uint64_t path_size = 0, data_size = 0, crc = 0;
    if (!internal::GetLe(bytes, pos, 4, path_size)) return fail(where + "truncated");
    if (path_size == 0 || path_size > kMaxPathBytes) return fail(where + "bad path length");
    if (bytes.size() - pos < path_size) return fail(where + "truncated");
    std::string path(bytes.substr(pos, path_size));
    pos += path_size;
    if (!IsSafeRelativePath(path)) return fail(where + "unsafe path");
    if (!internal::GetLe(bytes, pos, 8, data_size) || !internal::GetLe(bytes, pos, 4, crc)) {
      return fail(where + "truncated");
    }
    if (bytes.size() - pos < data_size) return fail(where + "truncated data");
    const std::string_view data = bytes.substr(pos, data_size);
    pos += data_size;
    if (Crc32(data) != crc) return fail(where + "CRC mismatch in " + path);
    entries.push_back(Entry{std::move(path), data});
  }
  if (pos != bytes.size()) return fail("unexpected bytes after the last entry");
  return true;
}

}  // namespace kvt::pack

#endif  // KVT_TOOLS_DEMO_KVTPACK_FORMAT_H_
