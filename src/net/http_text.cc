#include "net/http_text.h"

#include <limits>

namespace kvt::http {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") + 1 - begin);
}

bool ParseContentLength(std::string_view text, std::int64_t& value) {
  const std::string_view digits = TrimBlanks(text);
  if (digits.empty()) return false;
  std::int64_t n = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    const int digit = c - '0';
    if (n > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return false;
    n = n * 10 + digit;
  }
  value = n;
  return true;
}

std::vector<std::string> HeadLines(std::string_view head) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < head.size()) {
    std::size_t end = head.find('\n', start);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

bool SplitHeaderLine(std::string_view line, std::string& name, std::string& value) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0 || line[0] == ' ' || line[0] == '\t') {
    return false;
  }
  name.assign(line.substr(0, colon));
  value.assign(TrimBlanks(line.substr(colon + 1)));
  return true;
}

}  // namespace kvt::http
