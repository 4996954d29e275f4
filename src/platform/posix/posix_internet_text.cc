// URLs and response heads as the Linux HTTP client reads them.
#include "platform/posix/posix_internet_text.h"

#include "net/http_text.h"
#include "platform/internet.h"

namespace kvt::posix::internet_text {

std::size_t FindHeadEnd(const char* data, std::size_t size, std::size_t from) {
  for (std::size_t i = from; i < size; ++i) {
    if (data[i] != '\n') continue;
    if (i + 1 < size && data[i + 1] == '\n') return i + 2;
    if (i + 2 < size && data[i + 1] == '\r' && data[i + 2] == '\n') return i + 3;
  }
  return 0;
}

std::string StatusCodeOf(const std::string& line) {
  if (line.rfind("HTTP/", 0) != 0) return "";
  const std::size_t space = line.find(' ');
  if (space == std::string::npos || space == 5) return "";
  std::size_t p = space;
  while (p < line.size() && line[p] == ' ') ++p;
  if (p + 3 > line.size()) return "";
  for (std::size_t i = p; i < p + 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return "";
  }
  if (p + 3 < line.size() && line[p + 3] != ' ') return "";
  return line.substr(p, 3);
}

std::string ValueOf(const std::vector<std::pair<std::string, std::string>>& headers,
                    const char* name, bool& found) {
  for (const auto& [n, v] : headers) {
    if (http::EqualsNoCase(n, name)) {
      found = true;
      return v;
    }
  }
  found = false;
  return "";
}

bool IsRedirect(const std::string& status) {
  return status == "301" || status == "302" || status == "303" || status == "307" ||
         status == "308";
}

bool SplitUrl(const std::string& url, bool secure, std::string& host_text, std::string& host,
              std::uint16_t& port, std::string& object) {
  const std::string scheme = secure ? "https://" : "http://";
  if (url.size() < scheme.size()) return false;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != scheme[i]) return false;
  }
  const std::size_t slash = url.find('/', scheme.size());
  host_text = url.substr(scheme.size(),
                         slash == std::string::npos ? std::string::npos : slash - scheme.size());
  object = slash == std::string::npos ? "/" : url.substr(slash);
  host = host_text;
  port = secure ? platform::kInternetDefaultHttpsPort : platform::kInternetDefaultHttpPort;
  const std::size_t colon = host_text.rfind(':');
  if (colon != std::string::npos && host_text.find(']', colon) == std::string::npos) {
    const std::string digits = host_text.substr(colon + 1);
    std::int64_t value = 0;
    if (digits.find_first_not_of("0123456789") != std::string::npos ||
        !http::ParseContentLength(digits, value) || value == 0 || value > 65535) {
      return false;
    }
    host = host_text.substr(0, colon);
    port = static_cast<std::uint16_t>(value);
  }
  return !host.empty();
}

}  // namespace kvt::posix::internet_text
