// Layout of the installer window: twips to pixels at the window's DPI, the fonts at that DPI,
// placing every control, and laying out again when the window moves to a monitor of another DPI.
#include <algorithm>
#include <cmath>
#include <string>

#include "platform/win32/win32_text.h"
#include "platform/win32/win32_window.h"

namespace kvt::win32 {

int Win32Window::QueryDpi() const {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  // Looked up at run time: GetDpiForWindow exists from Windows 10 1607 on.
  static const auto get_dpi_for_window = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (main_ != nullptr && get_dpi_for_window != nullptr) {
    UINT dpi = get_dpi_for_window(main_);
    if (dpi != 0) return static_cast<int>(dpi);
  }
  HDC screen = GetDC(nullptr);
  int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

int Win32Window::Px(double twips) const {
  return static_cast<int>(std::lround(twips * dpi_ / 1440.0));
}

RECT Win32Window::PixelRect(const Item& item) const {
  RECT r;
  r.left = Px(item.left);
  r.top = Px(item.top);
  r.right = Px(item.left + item.width);
  if (item.design->kind == layout::Kind::kLine) {
    r.bottom = r.top + 1;  // lines are one pixel thick at any DPI
  } else if (item.design->opaque && item.design->kind == layout::Kind::kLabel) {
    // The progress fill reaches down over the track line that runs along its bottom edge.
    r.bottom = static_cast<int>(std::ceil((item.top + item.height) * dpi_ / 1440.0 - 1e-9));
  } else {
    r.bottom = Px(item.top + item.height);
  }
  if (r.right < r.left) r.right = r.left;
  return r;
}

HFONT Win32Window::FontFor(const layout::Control& design) {
  std::string_view face = design.font.empty() ? layout::kWindowFont : design.font;
  double pt = design.font_pt == 0 ? layout::kWindowFontPt : design.font_pt;
  auto key = std::make_pair(face, pt);
  auto it = fonts_.find(key);
  if (it != fonts_.end()) return it->second;
  LOGFONTW lf{};
  lf.lfHeight = -static_cast<LONG>(std::lround(pt * dpi_ / 72.0));
  lf.lfWeight = FW_NORMAL;
  // The Chinese character set makes the font mapper pick a CJK font when the face is missing.
  lf.lfCharSet = GB2312_CHARSET;
  lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
  lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
  lf.lfQuality = DEFAULT_QUALITY;
  lf.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
  std::wstring wface = Widen(std::string(face));
  wface.resize(std::min<std::size_t>(wface.size(), LF_FACESIZE - 1));
  std::copy(wface.begin(), wface.end(), lf.lfFaceName);
  HFONT font = CreateFontIndirectW(&lf);
  fonts_[key] = font;
  return font;
}

void Win32Window::ClearFonts() {
  for (auto& [key, font] : fonts_) DeleteObject(font);
  fonts_.clear();
}

void Win32Window::ApplyFonts() {
  for (Item& item : items_) {
    if (item.hwnd != nullptr) {
      SendMessageW(item.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(*item.design)), FALSE);
    }
  }
}

void Win32Window::Place(const Item& item) {
  RECT r = PixelRect(item);
  SetWindowPos(item.hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Window::LayoutAll() {
  SetWindowPos(main_, nullptr, 0, 0, Px(outer_width_), Px(outer_height_),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  for (const Item& item : items_) Place(item);
}

void Win32Window::OnDpiChanged(int dpi, const RECT* suggested) {
  dpi_ = dpi;
  ClearFonts();
  for (Item& item : items_) {
    SendMessageW(item.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(*item.design)), FALSE);
  }
  if (suggested != nullptr) {
    SetWindowPos(main_, nullptr, suggested->left, suggested->top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  LayoutAll();
  RedrawWindow(main_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

}  // namespace kvt::win32
