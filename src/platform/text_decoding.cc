#include "platform/text_decoding.h"

namespace kvt::platform {

bool IsValidUtf8(const std::string& bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;   // no overlong forms
      if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;   // no overlong forms
      if (c == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
      return false;
    }
    if (i + length > n) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char d = static_cast<unsigned char>(bytes[i + k]);
      if (d < (k == 1 ? low : 0x80) || d > (k == 1 ? high : 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

std::string DecodeText(const std::string& bytes,
                       const std::function<std::string(const std::string&)>& from_ansi) {
  static const std::string kBom = "\xEF\xBB\xBF";
  if (bytes.compare(0, kBom.size(), kBom) == 0) return bytes.substr(kBom.size());
  bool ascii = true;
  for (char c : bytes) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (!ascii && IsValidUtf8(bytes)) return bytes;
  return from_ansi(bytes);
}

}  // namespace kvt::platform
