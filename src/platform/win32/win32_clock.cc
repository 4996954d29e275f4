#include "platform/win32/win32_adapters.h"
#include "platform/win32/win32_text.h"

namespace kvt::win32 {

double Win32Clock::MonotonicSeconds() {
  LARGE_INTEGER frequency{};
  LARGE_INTEGER now{};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&now);
  // Whole seconds and the remainder apart, so the division keeps its precision for long uptimes.
  const long long whole = now.QuadPart / frequency.QuadPart;
  const long long rest = now.QuadPart % frequency.QuadPart;
  return static_cast<double>(whole) +
         static_cast<double>(rest) / static_cast<double>(frequency.QuadPart);
}

double Win32Clock::SecondsSinceMidnight() {
  SYSTEMTIME t{};
  ::GetLocalTime(&t);
  return t.wHour * 3600.0 + t.wMinute * 60.0 + t.wSecond + t.wMilliseconds / 1000.0;
}

std::string Win32Clock::DecimalSeparator() {
  wchar_t buffer[8] = {};
  const int n = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 8);
  if (n <= 1) return ".";
  return Narrow(std::wstring(buffer, static_cast<std::size_t>(n - 1)));
}

}  // namespace kvt::win32
