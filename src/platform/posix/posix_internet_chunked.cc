// A "Transfer-Encoding: chunked" body, delivered decoded by PosixInternet.
#include <algorithm>
#include <cstring>

#include "net/http_text.h"
#include "platform/posix/posix.h"

namespace kvt::posix {

int PosixInternet::ReadChunkLine(Handle& h, std::string& line) {
  while (true) {
    const char* data = h.buffer.get() + h.buffered_begin;
    const std::size_t size = h.buffered_end - h.buffered_begin;
    const void* lf = std::memchr(data, '\n', size);
    if (lf != nullptr) {
      const std::size_t n = static_cast<const char*>(lf) - data;
      line.assign(data, n);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      h.buffered_begin += n + 1;
      return 1;
    }
    if (size >= 4096) return -1;  // no chunk line is that long
    const long got = Fill(h);
    if (got <= 0) return static_cast<int>(got);
  }
}

bool PosixInternet::ReadChunked(Handle& h, char* buffer, std::size_t limit, std::size_t& got) {
  got = 0;
  while (!h.body_ended) {
    std::string line;
    int r = 1;
    switch (h.chunk) {
      case Chunk::kSize: {
        r = ReadChunkLine(h, line);
        if (r <= 0) break;
        line = std::string(http::TrimBlanks(line.substr(0, line.find(';'))));  // no extensions
        std::uint64_t size = 0;
        if (line.empty() || line.size() > 15) return false;
        for (char c : line) {
          const int digit = c >= '0' && c <= '9'   ? c - '0'
                            : c >= 'a' && c <= 'f' ? c - 'a' + 10
                            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                   : -1;
          if (digit < 0) return false;
          size = size * 16 + static_cast<std::uint64_t>(digit);
        }
        h.chunk_left = size;
        h.chunk = size == 0 ? Chunk::kTrailer : Chunk::kData;
        continue;
      }
      case Chunk::kData: {
        if (h.buffered_begin == h.buffered_end) {
          const long n = Fill(h);
          if (n < 0) return false;
          r = static_cast<int>(n);
          if (r == 0) break;
        }
        got = static_cast<std::size_t>(
            std::min<std::uint64_t>({h.chunk_left, limit, h.buffered_end - h.buffered_begin}));
        std::memcpy(buffer, h.buffer.get() + h.buffered_begin, got);
        h.buffered_begin += got;
        h.chunk_left -= got;
        if (h.chunk_left == 0) h.chunk = Chunk::kDataEnd;
        return true;
      }
      case Chunk::kDataEnd:
        r = ReadChunkLine(h, line);
        if (r > 0 && !line.empty()) return false;
        h.chunk = Chunk::kSize;
        continue;
      case Chunk::kTrailer:
        r = ReadChunkLine(h, line);
        if (r > 0 && line.empty()) h.body_ended = true;
        if (r > 0) continue;
        break;
    }
    if (r < 0) return false;
    h.body_ended = true;  // the connection ended inside the framing: the end, as WinINet reads it
  }
  return true;
}

}  // namespace kvt::posix
