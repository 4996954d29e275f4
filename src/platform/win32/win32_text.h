// Text conversions at the Windows boundary: UTF-8 inside the program, UTF-16 for the W
// functions, the ANSI code page for WinINet and Winsock.
#pragma once

#include <string>

namespace kvt::win32 {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
// UTF-8 to the system's ANSI code page (CP_ACP).
std::string ToAnsi(const std::string& utf8);
// The system's ANSI code page to UTF-8.
std::string FromAnsi(const std::string& ansi);

}  // namespace kvt::win32
