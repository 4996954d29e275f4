// The few words of HTTP/1.1 that the download code, the Linux HTTP client and the release tool
// all read: header names without case, the Content-Length number, a response head's lines.
// One rule each, so that the installer and the tools that explain it never disagree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvt::http {

// ASCII letters compared without case; every other byte as it is.
bool EqualsNoCase(std::string_view a, std::string_view b);

// `text` without blanks (space, tab) at either end.
std::string_view TrimBlanks(std::string_view text);

// A Content-Length value: one run of decimal digits, blanks (space, tab) around it allowed.
// False for anything else (empty, a sign, a fraction, an exponent, a second number) and for
// numbers past the 64-bit range.
bool ParseContentLength(std::string_view text, std::int64_t& value);

// A response head's lines without their line ends (CR LF, or LF alone), the status line first,
// up to the empty line that ends the head (what follows it is not head).
std::vector<std::string> HeadLines(std::string_view head);

// "Name: value" -> the name and the value without blanks around it. False for a line without a
// name before its colon and for a continuation line (one that begins with a blank).
bool SplitHeaderLine(std::string_view line, std::string& name, std::string& value);

}  // namespace kvt::http
