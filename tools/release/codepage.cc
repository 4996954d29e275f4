#include "codepage.h"

#include <iconv.h>

#include <cerrno>

namespace kvt::release {
namespace {

constexpr char kCp936[] = "CP936";

// One conversion; on failure `stop` is the offset of the first byte that could not be converted.
bool Convert(const char* from, const char* to, const std::string& in, std::string& out,
             std::size_t& stop) {
  out.clear();
  stop = 0;
  const iconv_t cd = ::iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  char* src = const_cast<char*>(in.data());
  std::size_t src_left = in.size();
  char buffer[4096];
  bool ok = true;
  while (true) {
    char* dst = buffer;
    std::size_t dst_left = sizeof buffer;
    const std::size_t r = ::iconv(cd, &src, &src_left, &dst, &dst_left);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (r != static_cast<std::size_t>(-1)) {
      if (src_left == 0) break;
      continue;
    }
    if (errno == E2BIG) continue;
    ok = false;  // EILSEQ or EINVAL (a sequence cut off at the end)
    break;
  }
  stop = in.size() - src_left;
  ::iconv_close(cd);
  return ok;
}

std::size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  return 4;
}

}  // namespace

bool Utf8ToCp936(const std::string& utf8, std::string& cp936, std::string& bad) {
  std::size_t stop = 0;
  bad.clear();
  std::string ignored;
  if (!Convert("UTF-8", "UTF-16LE", utf8, ignored, stop)) {
    bad = "invalid UTF-8";
    return false;
  }
  if (Convert("UTF-8", kCp936, utf8, cp936, stop)) return true;
  bad = utf8.substr(stop, Utf8SequenceLength(static_cast<unsigned char>(utf8[stop])));
  return false;
}

std::string Cp936ToUtf8(const std::string& bytes) {
  std::string text;
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::string piece;
    std::size_t stop = 0;
    const bool ok = Convert(kCp936, "UTF-8", bytes.substr(at), piece, stop);
    text += piece;
    if (ok) break;
    at += stop;
    const unsigned char c = static_cast<unsigned char>(bytes[at]);
    text += '?';
    at += (c >= 0x81 && c <= 0xFE && at + 1 < bytes.size()) ? 2 : 1;
  }
  return text;
}

bool IsValidUtf8(const std::string& bytes) {
  std::string out;
  std::size_t stop = 0;
  return Convert("UTF-8", "UTF-16LE", bytes, out, stop);
}

bool IsValidCp936(const std::string& bytes) {
  std::string out;
  std::size_t stop = 0;
  return Convert(kCp936, "UTF-8", bytes, out, stop);
}

}  // namespace kvt::release
