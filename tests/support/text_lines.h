// Splitting texts the way the installer joins them: at every CR LF, empty lines kept.
#pragma once

#include <string>
#include <vector>

namespace kvt::testing {

inline std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0, at;
  while ((at = text.find("\r\n", start)) != std::string::npos) {
    lines.push_back(text.substr(start, at - start));
    start = at + 2;
  }
  lines.push_back(text.substr(start));
  return lines;
}

}  // namespace kvt::testing
