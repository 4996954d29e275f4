// The real installer window: one top-level window, its four pages as child windows and every
// control of the design table as a child of its page, laid out from twips at the window's DPI.
// The window procedure only turns the user's actions into calls of Fd's handlers.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// <windows.h> maps MessageBox to MessageBoxW; platform::Ui's member keeps its own name in every
// file that includes the platform headers after this one.
#undef MessageBox

#include <array>
#include <map>
#include <string>
#include <utility>

#include "platform/window_backend.h"
#include "window/layout.h"

namespace kvt::win32 {

class Win32Window : public platform::WindowBackend {
 public:
  explicit Win32Window(HINSTANCE instance);
  ~Win32Window() override;
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  void Create(Fd& fd) override;
  void Show() override;
  void SetOuterSize(int width_twips, int height_twips) override;
  void Move(ControlId id, double left_twips, double top_twips) override;
  void SetWidth(ControlId id, double width_twips) override;
  void SetText(ControlId id, const std::string& text) override;
  void SetVisible(ControlId id, bool visible) override;
  void SetEnabled(ControlId id, bool enabled) override;
  void SetValue(ControlId id, int value) override;
  void Refresh(ControlId id) override;
  void SetInputEnabled(bool enabled) override;
  void SetShutdownReason(const std::string& reason) override;

  // The top-level window; null until Create.
  HWND hwnd() const { return main_; }
  // The page in front (the first visible one in stacking order): keyboard navigation and
  // access keys work within it only, so a covered or hidden page never takes a key.
  HWND FrontPage() const;

 private:
  // One control (or page) with its current geometry in twips.
  struct Item {
    const layout::Control* design = nullptr;
    HWND hwnd = nullptr;
    double left = 0, top = 0, width = 0, height = 0;
  };

  static LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK PageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK TpathProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  LRESULT OnMainMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  // Messages that the pages pass up from their controls (commands, colours, drawing).
  bool OnControlMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result);
  void OnCommand(int id, int code, HWND control);
  // Requests to close the window and the end of the session, however they arrive (posted, sent
  // by another program, during a wait): passed to Fd's handlers (win32_session.cc).
  bool OnLeaveMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result);

  // Painting (win32_paint.cc).
  void CreateBrushes();
  void DeleteBrushes();
  bool OnColourMessage(WPARAM wp, LPARAM lp, LRESULT& result);
  void DrawButton(const DRAWITEMSTRUCT& item);

  // Layout (win32_layout.cc).
  void OnDpiChanged(int dpi, const RECT* suggested);

  Item* Find(ControlId id);
  Item* FindByHwnd(HWND hwnd);
  int Px(double twips) const;
  RECT PixelRect(const Item& item) const;
  void Place(const Item& item);
  void LayoutAll();
  HFONT FontFor(const layout::Control& design);
  void ApplyFonts();
  void ClearFonts();
  // Repaints the area of a control in its parent (labels are transparent).
  void RepaintUnder(const Item& item, bool now);
  // Puts the focus on the first control of the front page when it is lost or hidden.
  void KeepFocusInPage();
  void RestoreFocus();
  int QueryDpi() const;

  HINSTANCE instance_;
  Fd* fd_ = nullptr;
  HWND main_ = nullptr;
  std::array<Item, layout::kControls.size()> items_{};
  int dpi_ = 96;
  int outer_width_ = layout::kOuterWidth;
  int outer_height_ = layout::kOuterHeight;
  std::map<std::pair<std::string_view, double>, HFONT> fonts_;
  HBRUSH white_ = nullptr;
  HBRUSH button_face_ = nullptr;
  HBRUSH fill_ = nullptr;    // the green progress bar
  HBRUSH silver_ = nullptr;  // the lines
  WNDPROC edit_proc_ = nullptr;
  // Focus to give back when the window is activated again.
  HWND saved_focus_ = nullptr;
  // Last focused control of each page that lost the focus to another page.
  std::map<HWND, HWND> page_focus_;
  // A reason for a refused log-off is registered with the window.
  bool shutdown_reason_ = false;
};

}  // namespace kvt::win32
