// Painting of the installer window: the brushes of the design's colours, the colours of the
// standard controls, the owner-drawn buttons, and repainting what lies under transparent labels.
#include <string>

#include "platform/win32/win32_window.h"

namespace kvt::win32 {
namespace {

COLORREF ToColorref(layout::Rgb c) { return RGB(c.r, c.g, c.b); }

constexpr layout::Rgb kFill{0, 192, 0};  // the green progress bar
constexpr COLORREF kButtonBorder = RGB(160, 160, 160);
constexpr COLORREF kButtonPressed = RGB(228, 228, 228);

}  // namespace

void Win32Window::CreateBrushes() {
  white_ = CreateSolidBrush(ToColorref(layout::kWhite));
  button_face_ = CreateSolidBrush(ToColorref(layout::kButtonFace));
  fill_ = CreateSolidBrush(ToColorref(kFill));
  silver_ = CreateSolidBrush(ToColorref(layout::kSilver));
}

void Win32Window::DeleteBrushes() {
  for (HBRUSH b : {white_, button_face_, fill_, silver_}) DeleteObject(b);
}

void Win32Window::RepaintUnder(const Item& item, bool now) {
  UINT flags = RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_ERASENOW;
  if (now) flags |= RDW_UPDATENOW;
  if (item.design->kind == layout::Kind::kFrame) {
    RedrawWindow(item.hwnd, nullptr, nullptr, flags);
    return;
  }
  HWND parent = GetParent(item.hwnd);
  if (item.design->kind == layout::Kind::kLabel && !item.design->opaque) {
    // A transparent label: the page paints the area under it first, then the label's text.
    RECT r;
    GetWindowRect(item.hwnd, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    RedrawWindow(parent, &r, nullptr, flags);
    return;
  }
  // An opaque control paints all of itself: no erasing of the page under it (the progress fill
  // would flicker at every block). What a narrower fill uncovered is already invalid in the page
  // and its other children, and is painted with it.
  RedrawWindow(item.hwnd, nullptr, nullptr, flags);
  if (now) RedrawWindow(parent, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void Win32Window::DrawButton(const DRAWITEMSTRUCT& d) {
  Item* item = FindByHwnd(d.hwndItem);
  if (item == nullptr) return;
  HDC dc = d.hDC;
  RECT r = d.rcItem;
  bool pressed = (d.itemState & ODS_SELECTED) != 0;
  bool disabled = (d.itemState & ODS_DISABLED) != 0;

  // Flat face with a thin border; a pressed button darkens and its text shifts by a pixel.
  HBRUSH pressed_brush = nullptr;
  if (pressed) pressed_brush = CreateSolidBrush(kButtonPressed);
  FillRect(dc, &r, pressed ? pressed_brush : button_face_);
  if (pressed_brush != nullptr) DeleteObject(pressed_brush);
  HPEN pen = CreatePen(PS_SOLID, 1, kButtonBorder);
  HGDIOBJ old_pen = SelectObject(dc, pen);
  HGDIOBJ old_brush = SelectObject(dc, GetStockObject(NULL_BRUSH));
  Rectangle(dc, r.left, r.top, r.right, r.bottom);
  SelectObject(dc, old_brush);
  SelectObject(dc, old_pen);
  DeleteObject(pen);

  int length = GetWindowTextLengthW(d.hwndItem);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  GetWindowTextW(d.hwndItem, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(length));
  HGDIOBJ old_font = SelectObject(dc, FontFor(*item->design));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, disabled ? GetSysColor(COLOR_GRAYTEXT) : ToColorref(item->design->fore));
  RECT text_rect = r;
  if (pressed) OffsetRect(&text_rect, 1, 1);
  // The access key stays underlined (no DT_HIDEPREFIX).
  DrawTextW(dc, text.c_str(), length, &text_rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  SelectObject(dc, old_font);

  if ((d.itemState & ODS_FOCUS) != 0) {
    RECT focus = r;
    InflateRect(&focus, -3, -3);
    DrawFocusRect(dc, &focus);
  }
}

// The colours of a static, edit or check box control (WM_CTLCOLOR*): false for a window that is
// not one of the design table's.
bool Win32Window::OnColourMessage(WPARAM wp, LPARAM lp, LRESULT& result) {
  HDC dc = reinterpret_cast<HDC>(wp);
  Item* item = FindByHwnd(reinterpret_cast<HWND>(lp));
  if (item == nullptr) return false;
  const layout::Control& d = *item->design;
  HBRUSH brush = white_;
  switch (d.kind) {
    case layout::Kind::kLabel:
      if (d.opaque) {
        SetBkColor(dc, ToColorref(kFill));
        brush = fill_;
      } else {
        SetTextColor(dc, ToColorref(d.fore));
        SetBkMode(dc, TRANSPARENT);
        brush = static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
      }
      break;
    case layout::Kind::kLine:
      SetBkColor(dc, ToColorref(layout::kSilver));
      brush = silver_;
      break;
    case layout::Kind::kTextBox:
      SetTextColor(dc, ToColorref(d.fore));
      if (d.id == kTpath) {
        // The path box has the system's window background (white unless the user changed
        // it), not the grey a read-only edit gets by default; its grey text marks it
        // read-only.
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        brush = GetSysColorBrush(COLOR_WINDOW);
      } else {
        SetBkColor(dc, ToColorref(d.back));
        brush = white_;
      }
      break;
    case layout::Kind::kCheckBox:
      SetTextColor(dc, ToColorref(d.fore));
      SetBkColor(dc, ToColorref(d.back));
      brush = white_;
      break;
    case layout::Kind::kButton:
      SetBkColor(dc, ToColorref(d.back));
      brush = button_face_;
      break;
    case layout::Kind::kFrame:
      break;
  }
  result = reinterpret_cast<LRESULT>(brush);
  return true;
}

}  // namespace kvt::win32
