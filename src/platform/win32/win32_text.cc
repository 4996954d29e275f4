#include "platform/win32/win32_text.h"

#include <windows.h>

namespace kvt::win32 {
namespace {

std::wstring ToWide(UINT code_page, const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(code_page, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string FromWide(UINT code_page, const std::wstring& s) {
  if (s.empty()) return {};
  int n = WideCharToMultiByte(code_page, 0, s.data(), static_cast<int>(s.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(code_page, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

}  // namespace

std::wstring Widen(const std::string& utf8) { return ToWide(CP_UTF8, utf8); }
std::string Narrow(const std::wstring& utf16) { return FromWide(CP_UTF8, utf16); }
std::string ToAnsi(const std::string& utf8) { return FromWide(CP_ACP, Widen(utf8)); }
std::string FromAnsi(const std::string& ansi) { return Narrow(ToWide(CP_ACP, ansi)); }

}  // namespace kvt::win32
