// The pieces of the Linux HTTP client (PosixInternet) that its source files share: the text of
// URLs and response heads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvt::posix::internet_text {

// Offset just past the empty line that ends a response head in data[0, size), or 0 when the head
// is not complete yet. Lines may end in CR LF or in LF alone. Scanning starts at `from`.
std::size_t FindHeadEnd(const char* data, std::size_t size, std::size_t from);
// "HTTP/<version> <3 digits>[ <reason>]" -> the digits; empty when malformed.
std::string StatusCodeOf(const std::string& line);
// The value of the first header of that name (compared without case).
std::string ValueOf(const std::vector<std::pair<std::string, std::string>>& headers,
                    const char* name, bool& found);
bool IsRedirect(const std::string& status);
// Splits an absolute "http://host[:port][/path]" (`secure`: "https://...") into its parts; false
// for any other scheme.
bool SplitUrl(const std::string& url, bool secure, std::string& host_text, std::string& host,
              std::uint16_t& port, std::string& object);

}  // namespace kvt::posix::internet_text
