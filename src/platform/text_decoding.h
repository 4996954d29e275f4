// How a text file's bytes become text: the rule the file adapters share.
#pragma once

#include <functional>
#include <string>

namespace kvt::platform {

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF).
bool IsValidUtf8(const std::string& bytes);

// Text (UTF-8) from a file's bytes. A UTF-8 byte-order mark means UTF-8 (the mark is dropped);
// without one, bytes that are valid UTF-8 and hold anything beyond ASCII are taken as UTF-8;
// everything else goes through `from_ansi`, the system's ANSI code page. Notepad writes UTF-8
// today, vendors' older tools the ANSI code page: both read as they were meant.
std::string DecodeText(const std::string& bytes,
                       const std::function<std::string(const std::string&)>& from_ansi);

}  // namespace kvt::platform
