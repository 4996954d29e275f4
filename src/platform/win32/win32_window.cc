#include "platform/win32/win32_window.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/res/resource.h"
#include "platform/win32/win32_text.h"
#include "window/fd.h"

namespace kvt::win32 {
namespace {

constexpr wchar_t kMainClass[] = L"KVTsoftOnlineSetupWindow";
constexpr wchar_t kPageClass[] = L"KVTsoftOnlineSetupPage";

template <typename T>
T* Self(HWND hwnd) {
  return reinterpret_cast<T*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

bool IsUsable(HWND hwnd) {
  return hwnd != nullptr && IsWindow(hwnd) && IsWindowVisible(hwnd) && IsWindowEnabled(hwnd);
}

}  // namespace

Win32Window::Win32Window(HINSTANCE instance) : instance_(instance) { CreateBrushes(); }

Win32Window::~Win32Window() {
  if (main_ != nullptr) DestroyWindow(main_);
  ClearFonts();
  DeleteBrushes();
}

Win32Window::Item* Win32Window::Find(ControlId id) {
  for (Item& item : items_) {
    if (item.design != nullptr && item.design->id == id) return &item;
  }
  return nullptr;
}

Win32Window::Item* Win32Window::FindByHwnd(HWND hwnd) {
  for (Item& item : items_) {
    if (item.hwnd == hwnd && hwnd != nullptr) return &item;
  }
  return nullptr;
}

void Win32Window::Create(Fd& fd) {
  fd_ = &fd;

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = MainProc;
  wc.hInstance = instance_;
  wc.hIcon =
      static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_KVT_SETUP), IMAGE_ICON,
                                    GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  wc.hIconSm = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_KVT_SETUP), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), 0));
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = white_;
  wc.lpszClassName = kMainClass;
  RegisterClassExW(&wc);

  WNDCLASSEXW pc{};
  pc.cbSize = sizeof(pc);
  pc.lpfnWndProc = PageProc;
  pc.hInstance = instance_;
  pc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  pc.hbrBackground = white_;
  pc.lpszClassName = kPageClass;
  RegisterClassExW(&pc);

  dpi_ = QueryDpi();
  // Fixed single border with a close box; no minimise or maximise box, not resizable.
  main_ = CreateWindowExW(0, kMainClass, Widen(std::string(layout::kWindowTitle)).c_str(),
                          WS_CAPTION | WS_SYSMENU | WS_BORDER | WS_CLIPCHILDREN, CW_USEDEFAULT,
                          CW_USEDEFAULT, Px(outer_width_), Px(outer_height_), nullptr, nullptr,
                          instance_, this);
  dpi_ = QueryDpi();  // the DPI of the monitor the window landed on
  SendMessageW(main_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(wc.hIcon));
  SendMessageW(main_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(wc.hIconSm));

  for (std::size_t i = 0; i < layout::kControls.size(); ++i) {
    const layout::Control& d = layout::kControls[i];
    Item& item = items_[i];
    item.design = &d;
    item.left = d.left;
    item.top = d.top;
    if (d.kind == layout::Kind::kLine) {
      item.width = d.width - d.left;  // x2 - x1
      item.height = 0;
    } else {
      item.width = d.width;
      item.height = d.height;
    }
  }

  // Pages first, in the table's order, which is their stacking order front to back.
  std::vector<HWND> pages;
  for (Item& item : items_) {
    const layout::Control& d = *item.design;
    if (d.kind != layout::Kind::kFrame) continue;
    RECT r = PixelRect(item);
    item.hwnd =
        CreateWindowExW(WS_EX_CONTROLPARENT, kPageClass, L"",
                        WS_CHILD | WS_CLIPSIBLINGS | (d.visible ? WS_VISIBLE : 0), r.left, r.top,
                        r.right - r.left, r.bottom - r.top, main_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(d.id)), instance_, this);
    pages.push_back(item.hwnd);
  }
  for (std::size_t i = 1; i < pages.size(); ++i) {
    SetWindowPos(pages[i], pages[i - 1], 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);
  }

  // The controls of each page, in tab order (z-order is the order in which the dialog manager
  // walks them); controls without a tab index follow in the table's order, so the progress
  // fill stays in front of its track line.
  for (Item& page : items_) {
    if (page.design->kind != layout::Kind::kFrame) continue;
    std::vector<Item*> children;
    for (Item& item : items_) {
      if (item.design->page == page.design->id) children.push_back(&item);
    }
    std::stable_sort(children.begin(), children.end(), [](const Item* a, const Item* b) {
      auto rank = [](const Item* x) {
        return x->design->tab_index < 0 ? 1 << 20 : x->design->tab_index;
      };
      return rank(a) < rank(b);
    });
    HWND previous = nullptr;
    for (Item* item : children) {
      const layout::Control& d = *item->design;
      DWORD style = WS_CHILD | (d.visible ? WS_VISIBLE : 0) | (d.enabled ? 0 : WS_DISABLED);
      // Transparent labels overlap their neighbours (Label1's box reaches into Label2's) and
      // must not cut each other off; every other control clips what lies in front of it.
      if (d.kind != layout::Kind::kLabel || d.opaque) style |= WS_CLIPSIBLINGS;
      DWORD ex_style = 0;
      const wchar_t* cls = L"STATIC";
      switch (d.kind) {
        case layout::Kind::kLabel:
          style |= SS_NOPREFIX | (d.centred ? SS_CENTER : SS_LEFT);
          break;
        case layout::Kind::kLine:
          style |= SS_LEFT;
          break;
        case layout::Kind::kTextBox:
          cls = L"EDIT";
          ex_style = WS_EX_CLIENTEDGE;
          style |= WS_TABSTOP | ES_READONLY | ES_LEFT;
          if (d.id == kTxy) {
            style |= ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL;
          } else {
            style |= ES_AUTOHSCROLL;
          }
          break;
        case layout::Kind::kCheckBox:
          cls = L"BUTTON";
          style |= BS_AUTOCHECKBOX | WS_TABSTOP;
          break;
        case layout::Kind::kButton:
          cls = L"BUTTON";
          style |= BS_OWNERDRAW | WS_TABSTOP;
          break;
        case layout::Kind::kFrame:
          break;
      }
      RECT r = PixelRect(*item);
      item->hwnd =
          CreateWindowExW(ex_style, cls, Widen(std::string(d.text)).c_str(), style, r.left, r.top,
                          r.right - r.left, r.bottom - r.top, page.hwnd,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(d.id)), instance_, nullptr);
      if (previous != nullptr) {
        SetWindowPos(item->hwnd, previous, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);
      }
      previous = item->hwnd;
      if (d.kind == layout::Kind::kCheckBox) {
        SendMessageW(item->hwnd, BM_SETCHECK, d.value == 1 ? BST_CHECKED : BST_UNCHECKED, 0);
      }
      if (d.id == kTpath) {
        // Double clicks in the path box open the folder picker.
        SetWindowLongPtrW(item->hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        edit_proc_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
            item->hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Win32Window::TpathProc)));
      }
    }
  }
  ApplyFonts();
}

void Win32Window::Show() {
  RECT window;
  GetWindowRect(main_, &window);
  MONITORINFO mi{};
  mi.cbSize = sizeof(mi);
  GetMonitorInfoW(MonitorFromWindow(main_, MONITOR_DEFAULTTOPRIMARY), &mi);
  const RECT& screen = mi.rcMonitor;
  int w = window.right - window.left;
  int h = window.bottom - window.top;
  int x = screen.left + (screen.right - screen.left - w) / 2;
  int y = screen.top + (screen.bottom - screen.top - h) / 2;
  SetWindowPos(main_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(main_, SW_SHOW);
  UpdateWindow(main_);
  SetForegroundWindow(main_);
  if (Item* txy = Find(kTxy)) {
    saved_focus_ = txy->hwnd;
    SetFocus(txy->hwnd);
  }
}

void Win32Window::SetOuterSize(int width_twips, int height_twips) {
  outer_width_ = width_twips;
  outer_height_ = height_twips;
  SetWindowPos(main_, nullptr, 0, 0, Px(outer_width_), Px(outer_height_),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Window::Move(ControlId id, double left_twips, double top_twips) {
  Item* item = Find(id);
  if (item == nullptr) return;
  item->left = left_twips;
  item->top = top_twips;
  Place(*item);
}

void Win32Window::SetWidth(ControlId id, double width_twips) {
  Item* item = Find(id);
  if (item == nullptr) return;
  item->width = std::max(0.0, width_twips);
  Place(*item);
}

void Win32Window::SetText(ControlId id, const std::string& text) {
  Item* item = Find(id);
  if (item == nullptr) return;
  SetWindowTextW(item->hwnd, Widen(text).c_str());
  // A transparent label does not erase what it drew before: the page repaints under it.
  if (item->design->kind == layout::Kind::kLabel) RepaintUnder(*item, false);
}

void Win32Window::SetVisible(ControlId id, bool visible) {
  Item* item = Find(id);
  if (item == nullptr) return;
  ShowWindow(item->hwnd, visible ? SW_SHOWNA : SW_HIDE);
  KeepFocusInPage();
}

void Win32Window::SetEnabled(ControlId id, bool enabled) {
  Item* item = Find(id);
  if (item == nullptr) return;
  EnableWindow(item->hwnd, enabled ? TRUE : FALSE);
  if (!enabled) KeepFocusInPage();
}

void Win32Window::SetValue(ControlId id, int value) {
  Item* item = Find(id);
  if (item == nullptr) return;
  SendMessageW(item->hwnd, BM_SETCHECK, value == 1 ? BST_CHECKED : BST_UNCHECKED, 0);
}

void Win32Window::Refresh(ControlId id) {
  Item* item = Find(id);
  if (item == nullptr) return;
  RepaintUnder(*item, true);
}

HWND Win32Window::FrontPage() const {
  // Pages are stacked front to back in the table's order; the first visible one is in front.
  for (const Item& item : items_) {
    if (item.design != nullptr && item.design->kind == layout::Kind::kFrame &&
        IsWindowVisible(item.hwnd)) {
      return item.hwnd;
    }
  }
  return nullptr;
}

void Win32Window::KeepFocusInPage() {
  HWND page = FrontPage();
  if (page == nullptr) return;
  bool active = GetActiveWindow() == main_;
  HWND focus = active ? GetFocus() : saved_focus_;
  if (focus != nullptr && (focus == page || IsChild(page, focus)) && IsUsable(focus)) return;
  // Remember where the focus was on the page that went away, to come back to it.
  if (focus != nullptr && IsWindow(focus)) {
    for (const Item& item : items_) {
      if (item.design->kind == layout::Kind::kFrame && IsChild(item.hwnd, focus)) {
        page_focus_[item.hwnd] = focus;
      }
    }
  }
  HWND target = nullptr;
  auto remembered = page_focus_.find(page);
  if (remembered != page_focus_.end() && IsChild(page, remembered->second) &&
      IsUsable(remembered->second)) {
    target = remembered->second;
  }
  if (target == nullptr) target = GetNextDlgTabItem(page, nullptr, FALSE);
  if (target == nullptr || !IsUsable(target)) target = page;  // a page without focusable controls
  saved_focus_ = target;
  if (active) SetFocus(target);
}

void Win32Window::OnCommand(int id, int code, HWND control) {
  if (fd_ == nullptr) return;
  Item* item = FindByHwnd(control);
  if (item == nullptr) {
    // Enter in the dialog manager arrives as IDOK: it presses the focused button.
    if (id == IDOK) {
      Item* focused = FindByHwnd(GetFocus());
      if (focused != nullptr && focused->design->kind == layout::Kind::kButton) {
        OnCommand(focused->design->id, BN_CLICKED, focused->hwnd);
      }
    }
    return;
  }
  if (code != BN_CLICKED && code != BN_DOUBLECLICKED) return;
  // Only a control the user can see and reach acts: not one on a page that is hidden or
  // covered by the waiting overlay, and not a disabled one.
  HWND page = GetParent(control);
  if (!IsUsable(control) || page != FrontPage()) return;
  auto checked = [control] {
    return SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
  };
  switch (item->design->id) {
    case kCk:
      if (code != BN_CLICKED) return;
      fd_->Ck.ValueChangedByUser(checked());
      fd_->Ck_Click();
      break;
    case kCrun:
      if (code != BN_CLICKED) return;
      fd_->Crun.ValueChangedByUser(checked());
      break;
    case kCcontinue:
      fd_->Ccontinue_Click();
      break;
    case kCfolder:
      fd_->Cfolder_Click();
      break;
    case kCyes:
      fd_->Cyes_Click();
      break;
    case kCno:
      fd_->Cno_Click();
      break;
    case kCend:
      fd_->Cend_Click();
      break;
    default:
      break;
  }
}

LRESULT Win32Window::OnMainMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  LRESULT result = 0;
  if (OnControlMessage(msg, wp, lp, result) || OnLeaveMessage(msg, wp, lp, result)) return result;
  switch (msg) {
    case WM_NEXTDLGCTL: {
      // Tab from the multi-line agreement box: move within the page in front.
      HWND page = FrontPage();
      if (page == nullptr) return 0;
      HWND target;
      if (LOWORD(lp) != 0) {
        target = reinterpret_cast<HWND>(wp);
      } else {
        HWND focus = GetFocus();
        target = GetNextDlgTabItem(page, IsChild(page, focus) ? focus : nullptr, wp != 0);
      }
      if (target != nullptr) SetFocus(target);
      return 0;
    }
    case WM_ACTIVATE:
      if (LOWORD(wp) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(main_, focus)) saved_focus_ = focus;
      } else {
        RestoreFocus();
      }
      return 0;
    case WM_SETFOCUS:
      RestoreFocus();
      return 0;
    case WM_DPICHANGED:
      OnDpiChanged(LOWORD(wp), reinterpret_cast<const RECT*>(lp));
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

bool Win32Window::OnControlMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
  switch (msg) {
    case WM_COMMAND:
      OnCommand(LOWORD(wp), HIWORD(wp), reinterpret_cast<HWND>(lp));
      result = 0;
      return true;
    case WM_DRAWITEM: {
      const auto* d = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      if (d->CtlType != ODT_BUTTON) return false;
      DrawButton(*d);
      result = TRUE;
      return true;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
      return OnColourMessage(wp, lp, result);
    default:
      return false;
  }
}

void Win32Window::RestoreFocus() {
  HWND page = FrontPage();
  if (saved_focus_ != nullptr && page != nullptr &&
      (saved_focus_ == page || IsChild(page, saved_focus_)) && IsUsable(saved_focus_)) {
    SetFocus(saved_focus_);
  } else {
    KeepFocusInPage();
  }
}

LRESULT CALLBACK Win32Window::MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = Self<Win32Window>(hwnd);
  if (self == nullptr || self->main_ == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  return self->OnMainMessage(hwnd, msg, wp, lp);
}

LRESULT CALLBACK Win32Window::PageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = Self<Win32Window>(hwnd);
  if (self == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  LRESULT result = 0;
  if (self->OnControlMessage(msg, wp, lp, result)) return result;
  switch (msg) {
    case WM_NEXTDLGCTL:
      return SendMessageW(self->main_, msg, wp, lp);
    case WM_CLOSE:
      // A multi-line edit posts this to its parent on Esc; only the window itself closes.
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

LRESULT CALLBACK Win32Window::TpathProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = Self<Win32Window>(hwnd);
  LRESULT result = CallWindowProcW(self->edit_proc_, hwnd, msg, wp, lp);
  if (msg == WM_LBUTTONDBLCLK && self->fd_ != nullptr) self->fd_->Tpath_DblClick();
  return result;
}

}  // namespace kvt::win32
