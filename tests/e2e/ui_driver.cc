// End-to-end UI driver: operates the real kvt-setup.exe window from a second Win32 process
// (under Wine) through window messages only, and prints one line per check, "ok ..." or
// "FAIL ...". Exits 1 if any check failed, 2 on bad arguments.
//
//   kvt-e2e-driver SCENARIO --exe WINDOWS_PATH_OF_KVT_SETUP --dpi N
//
// Scenarios (each expects a freshly started installer; the harness tests/e2e/run.sh provides the
// server, the drive D: and the files, and checks what is left on disk):
//   agreement          the fresh window: pages, initial states, agreement text, read-only boxes,
//                      geometry of every control, tab order, ticking Ck, and a second copy.
//   layout             the fresh window's pages, initial states and geometry only (other DPIs).
//   no-server          nothing on 127.0.0.1:80: Alt+C presses Continue, the overlay stays up
//                      under "无法连接到服务器！", Continue works again, closing ends at once.
//   retry              Continue fails with no server; once the harness has started one (the
//                      driver waits for port 80), Continue reaches the path page; closing there
//                      asks, OK ends.
//   manifest-rejected  Continue against a manifest the installer rejects: one message (--expect
//                      connect|tampered; with --within MS no later than that, the window
//                      answering meanwhile and no proxy login dialog made), the agreement page
//                      stays, closing ends without a question.
//   close-fetch        closing during a slow manifest fetch ends without question or path page.
//   install            the whole install: path page with the manifest's version, --folder picked
//                      in the real folder picker, the path box's colours on screen, the
//                      progress caption and bar of the archive download, the finish page, the
//                      desktop shortcut (read back through IShellLinkW), and the way out
//                      chosen by --end (Finish or the close box start the product, whose window
//                      must appear); --interrupt answers Cno and the close box with Cancel
//                      during the download.
//   install-fails      Start ends in one message (--expect connect|install|tampered) and the
//                      idle page;
//                      Cno answered OK then ends.
//   excel              with a process excel.exe running: only the notice; closing asks, OK ends.
//   no-drive           no drive D: with the default folder: the drive message, idle page.
//   cno-ok             Cno answered OK during the archive download ends the installer.
//   path-page          Continue reaches the path page (heading with --version); Cno, OK end.
//   stall              the archive trickles, then stalls: the window answers, the caption
//                      moves, Cno asks at once; the receive time-out ends the download.
//   busy               log-off while idle (may go on) and during the archive download (refused,
//                      then the end of the session ends the installer); the folder picker
//                      (--folder) blocks input: Start, posted or clicked, does nothing.
//   hang               a hanging extractor: log-off refused; a sent WM_CLOSE asks, Cancel goes
//                      on; closing answered OK ends the extractor into the failure message.
//   wait               only waits for the installer window to appear (for demos).
//   start              the path page, --folder picked, Start pressed; then leaves the installer
//                      alone (bench/wine-download.sh times the download from outside).
//
// Lines starting with "step" tell what the driver is doing; "ok"/"FAIL" lines are checks.
// --shots DIR (Windows path) makes scenarios save screenshots there as NAME.bmp.
//
// Controls are found by their IDs (window/control_ids.h) and compared with the design table
// (window/layout.h). The running installer must be left as it was found.
#define NOMINMAX
#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "window/control_ids.h"
#include "window/fd.h"
#include "window/layout.h"

namespace {

using kvt::ControlId;
namespace layout = kvt::layout;

int g_failures = 0;

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok" : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

// Wine's own dialog for a proxy's login (InternetErrorDlg), answered whenever it turns up while
// the driver waits when --proxy-login is given.
constexpr wchar_t kProxyLoginTitle[] = L"输入网络密码";
std::wstring g_proxy_user, g_proxy_password;
int g_proxy_logins = 0;  // dialogs answered
void AnswerProxyLogin();

// Polls `condition` every 50 ms for up to `ms` milliseconds.
bool WaitUntil(const std::function<bool()>& condition, int ms) {
  for (int waited = 0;; waited += 50) {
    if (!g_proxy_user.empty()) AnswerProxyLogin();
    if (condition()) return true;
    if (waited >= ms) return false;
    Sleep(50);
  }
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[256] = {};
  GetClassNameW(hwnd, name, 256);
  return name;
}

// Text through WM_GETTEXT, with a time-out so that a hung installer fails the check instead of
// hanging the driver. The text may change between the length query and the copy (a progress
// caption does), so the buffer has room to spare and a filled buffer is read again.
std::wstring TextOf(HWND hwnd) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
      return L"<no answer>";
    }
    std::wstring text(length + 256, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    if (copied + 1 < text.size()) {
      text.resize(copied);
      return text;
    }
  }
  return L"<text keeps growing>";
}

struct TopWindows {
  DWORD pid = 0;  // 0: any process
  std::vector<HWND> found;
};

BOOL CALLBACK CollectVisible(HWND hwnd, LPARAM lp) {
  auto* out = reinterpret_cast<TopWindows*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (IsWindowVisible(hwnd) && (out->pid == 0 || out->pid == pid)) out->found.push_back(hwnd);
  return TRUE;
}

std::vector<HWND> VisibleTopWindows(DWORD pid) {
  TopWindows all;
  all.pid = pid;
  EnumWindows(CollectVisible, reinterpret_cast<LPARAM>(&all));
  return all.found;
}

// The installer window: visible, titled like the installer, and not a message box (which may
// carry the same title).
HWND FindInstallerWindow(DWORD pid) {
  std::wstring title = Wide(layout::kWindowTitle);
  for (HWND hwnd : VisibleTopWindows(pid)) {
    if (ClassOf(hwnd) != L"#32770" && TextOf(hwnd) == title) return hwnd;
  }
  return nullptr;
}

HWND FindMessageBox(DWORD pid) {
  for (HWND hwnd : VisibleTopWindows(pid)) {
    if (ClassOf(hwnd) == L"#32770" && TextOf(hwnd) != kProxyLoginTitle) return hwnd;
  }
  return nullptr;
}

BOOL CALLBACK FindProxyLogin(HWND hwnd, LPARAM lp) {
  auto* pid = reinterpret_cast<DWORD*>(lp);
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  if (owner != *pid || ClassOf(hwnd) != L"#32770") return TRUE;
  wchar_t title[64] = {};
  InternalGetWindowText(hwnd, title, 64);  // no message: the window's thread may be stuck
  if (std::wstring(title) != kProxyLoginTitle) return TRUE;
  *pid = 0;  // found
  return FALSE;
}

// True when the process has made a proxy login dialog, visible or not.
bool HasProxyLoginDialog(DWORD pid) {
  EnumWindows(FindProxyLogin, reinterpret_cast<LPARAM>(&pid));
  return pid == 0;
}

BOOL CALLBACK CollectEdits(HWND hwnd, LPARAM lp) {
  if (ClassOf(hwnd) == L"Edit") reinterpret_cast<std::vector<HWND>*>(lp)->push_back(hwnd);
  return TRUE;
}

// Fills the proxy login dialog (user name, then password) and presses OK.
void AnswerProxyLogin() {
  for (HWND hwnd : VisibleTopWindows(0)) {
    if (ClassOf(hwnd) != L"#32770" || TextOf(hwnd) != kProxyLoginTitle) continue;
    std::vector<HWND> edits;
    EnumChildWindows(hwnd, CollectEdits, reinterpret_cast<LPARAM>(&edits));
    if (edits.size() < 2) continue;
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(edits[0], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(g_proxy_user.c_str()),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
    SendMessageTimeoutW(edits[1], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(g_proxy_password.c_str()),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
    PostMessageW(GetDlgItem(hwnd, IDOK), BM_CLICK, 0, 0);
    for (int waited = 0; waited < 5000 && IsWindow(hwnd) && IsWindowVisible(hwnd); waited += 20) {
      Sleep(20);
    }
    ++g_proxy_logins;
    std::printf("step the proxy's login dialog is filled in and confirmed\n");
    std::fflush(stdout);
  }
}

UINT DpiOf(HWND hwnd) {
  using Fn = UINT(WINAPI*)(HWND);
  auto fn = reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  return fn != nullptr ? fn(hwnd) : 0;
}

void BecomeDpiAware() {
  using Fn = BOOL(WINAPI*)(HANDLE);
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")));
  // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2: coordinates are physical pixels.
  if (fn == nullptr || !fn(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4))))
    SetProcessDPIAware();
}

class Installer {
 public:
  Installer(HWND main, int dpi) : main_(main), dpi_(dpi) {}

  HWND main() const { return main_; }

  HWND Get(ControlId id) const {
    const layout::Control* d = layout::Find(id);
    if (d->page == kvt::kNoControl) return GetDlgItem(main_, id);
    HWND page = GetDlgItem(main_, d->page);
    return page != nullptr ? GetDlgItem(page, id) : nullptr;
  }

  bool Visible(ControlId id) const { return IsWindowVisible(Get(id)) != FALSE; }
  // Its own visibility flag, whatever its page shows.
  bool Shown(ControlId id) const { return (GetWindowLongW(Get(id), GWL_STYLE) & WS_VISIBLE) != 0; }
  bool Enabled(ControlId id) const { return IsWindowEnabled(Get(id)) != FALSE; }
  int Value(ControlId id) const {
    DWORD_PTR state = 0;
    SendMessageTimeoutW(Get(id), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
    return state == BST_CHECKED ? 1 : 0;
  }
  std::wstring Text(ControlId id) const { return TextOf(Get(id)); }

  double Px(double twips) const { return twips * dpi_ / 1440.0; }

 private:
  HWND main_;
  int dpi_;
};

std::string Name(ControlId id) { return std::string(layout::Find(id)->name); }

std::vector<std::wstring> SplitCrLf(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
}

std::wstring g_shot_dir;

// Saves the whole screen as g_shot_dir\NAME.bmp (24-bit), when a folder was given.
void SaveScreen(const std::wstring& name, int settle_ms = 300) {
  if (g_shot_dir.empty()) return;
  Sleep(settle_ms);  // let the last repaint land
  int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(mem, bitmap);
  BitBlt(mem, 0, 0, w, h, screen, 0, 0, SRCCOPY);
  SelectObject(mem, old);
  BITMAPINFOHEADER info{};
  info.biSize = sizeof(info);
  info.biWidth = w;
  info.biHeight = h;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
  std::vector<BYTE> pixels(stride * static_cast<DWORD>(h));
  GetDIBits(mem, bitmap, 0, static_cast<UINT>(h), pixels.data(),
            reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(file) + sizeof(info);
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  std::wstring path = g_shot_dir + L"\\" + name + L".bmp";
  HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  bool ok = out != INVALID_HANDLE_VALUE && WriteFile(out, &file, sizeof(file), &written, nullptr) &&
            WriteFile(out, &info, sizeof(info), &written, nullptr) &&
            WriteFile(out, pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  Check(ok, "screenshot " + Utf8(name));
}

// --- checks ----------------------------------------------------------------------------------

void CheckWindow(const Installer& ui, int dpi) {
  HWND main = ui.main();
  LONG style = GetWindowLongW(main, GWL_STYLE);
  Check((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU) != 0,
        "window has a title bar and a close box");
  Check((style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME)) == 0,
        "window has no minimise or maximise box and a fixed border");
  UINT actual_dpi = DpiOf(main);
  Check(actual_dpi == static_cast<UINT>(dpi),
        "window DPI is " + std::to_string(dpi) + " (got " + std::to_string(actual_dpi) + ")");
  RECT r;
  GetWindowRect(main, &r);
  double w = ui.Px(layout::kOuterWidth), h = ui.Px(layout::kOuterHeight);
  Check(std::fabs((r.right - r.left) - w) <= 1 && std::fabs((r.bottom - r.top) - h) <= 1,
        "outer size " + std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top) +
            " px is 7590x6000 twips");
  HMONITOR monitor = MonitorFromWindow(main, MONITOR_DEFAULTTOPRIMARY);
  MONITORINFO mi{};
  mi.cbSize = sizeof(mi);
  GetMonitorInfoW(monitor, &mi);
  int dx = (r.left - mi.rcMonitor.left) - (mi.rcMonitor.right - r.right);
  int dy = (r.top - mi.rcMonitor.top) - (mi.rcMonitor.bottom - r.bottom);
  Check(std::abs(dx) <= 1 && std::abs(dy) <= 1, "window is centred on the screen");
}

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colors, reserved;
  WORD planes, bit_count;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

// The program file's icon (one icon, 16/24/32/48 px, 24-bit) and its version information.
void CheckResources(const std::wstring& exe) {
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    Check(false, "the program file can be read for its resources");
    return;
  }
  std::string sizes;
  bool all_24_bit = false;
  if (HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON)) {
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
    WORD count = reinterpret_cast<const WORD*>(data)[2];
    const auto* entries = reinterpret_cast<const GroupIconEntry*>(data + 6);
    all_24_bit = count > 0;
    for (WORD i = 0; i < count; ++i) {
      if (!sizes.empty()) sizes += ',';
      sizes += std::to_string(entries[i].width);
      all_24_bit = all_24_bit && entries[i].bit_count == 24;
    }
  }
  Check(sizes == "16,24,32,48" && all_24_bit,
        "the window icon has 16, 24, 32 and 48 px images at 24 bits (" + sizes + ")");
  std::wstring product, company;
  if (HRSRC version = FindResourceW(module, MAKEINTRESOURCEW(1), RT_VERSION)) {
    // The string table of the version resource, read as UTF-16 key/value pairs.
    const auto* data = static_cast<const wchar_t*>(LockResource(LoadResource(module, version)));
    std::wstring_view all(data, SizeofResource(module, version) / sizeof(wchar_t));
    auto value_after = [&](std::wstring_view key) {
      std::size_t at = all.find(key);
      if (at == std::wstring_view::npos) return std::wstring();
      at += key.size();
      while (at < all.size() && all[at] == L'\0') ++at;
      std::size_t end = all.find(L'\0', at);
      return std::wstring(all.substr(at, end - at));
    };
    product = value_after(L"ProductName");
    company = value_after(L"CompanyName");
  }
  Check(product == Wide("KVT记账宝") && company == L"KVTsoft",
        "version information names KVT记账宝 by KVTsoft (" + Utf8(product) + ", " + Utf8(company) +
            ")");
  FreeLibrary(module);
}

void CheckInitialState(const Installer& ui) {
  Check(ui.Visible(kvt::kFrame1) && !ui.Shown(kvt::kFrameW) && !ui.Shown(kvt::kFrame2) &&
            !ui.Shown(kvt::kFrame3),
        "only the agreement page is visible");
  Check(ui.Value(kvt::kCk) == 0, "Ck is not ticked");
  Check(!ui.Enabled(kvt::kCcontinue), "Ccontinue is disabled");
  Check(!ui.Shown(kvt::kLb) && !ui.Shown(kvt::kLw), "Lb and Lw are hidden");
  Check(ui.Value(kvt::kCrun) == 1, "Crun is ticked");
  std::wstring path = ui.Text(kvt::kTpath);
  Check(path == L"D:\\KVT\u8BB0\u8D26\u5B9D\\",
        "Tpath shows D:\\KVT记账宝\\ (got " + Utf8(path) + ")");
  for (ControlId id : {kvt::kLabel1, kvt::kLabel2, kvt::kCk, kvt::kCcontinue, kvt::kLabel3,
                       kvt::kLpath, kvt::kCfolder, kvt::kCyes, kvt::kCno, kvt::kCend}) {
    std::wstring text = ui.Text(id);
    Check(text == Wide(layout::Find(id)->text), Name(id) + " reads \"" + Utf8(text) + "\"");
  }
}

void CheckAgreementText(const Installer& ui) {
  std::wstring text = ui.Text(kvt::kTxy);
  std::vector<std::wstring> lines = SplitCrLf(text);
  Check(lines.size() == 17, "Txy holds 17 lines (got " + std::to_string(lines.size()) + ")");
  std::string empty;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].empty()) continue;
    if (!empty.empty()) empty += ',';
    empty += std::to_string(i + 1);
  }
  Check(empty == "2,15", "only lines 2 and 15 of Txy are empty (empty: " + empty + ")");
  Check(text.size() < 2 || text.substr(text.size() - 2) != L"\r\n",
        "Txy ends without a line break");
  Check(text == Wide(kvt::AgreementText()), "Txy shows the agreement text exactly");
  Check(!lines.empty() && lines.front() == Wide("KVTsoft软件产品许可协议"),
        "Txy starts with the agreement title");
}

void CheckReadOnly(const Installer& ui) {
  for (ControlId id : {kvt::kTxy, kvt::kTpath}) {
    HWND box = ui.Get(id);
    LONG style = GetWindowLongW(box, GWL_STYLE);
    std::wstring before = TextOf(box);
    DWORD_PTR ignored = 0;
    for (WPARAM ch : {WPARAM{'x'}, WPARAM{0x8BB0}, WPARAM{VK_BACK}}) {
      SendMessageTimeoutW(box, WM_CHAR, ch, 1, SMTO_ABORTIFHUNG, 5000, &ignored);
    }
    SendMessageTimeoutW(box, WM_KEYDOWN, VK_DELETE, 1, SMTO_ABORTIFHUNG, 5000, &ignored);
    SendMessageTimeoutW(box, WM_CUT, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    Check((style & ES_READONLY) != 0 && TextOf(box) == before,
          "typing into " + Name(id) + " changes nothing");
  }
  LONG txy = GetWindowLongW(ui.Get(kvt::kTxy), GWL_STYLE);
  Check((txy & ES_MULTILINE) != 0 && (txy & WS_VSCROLL) != 0,
        "Txy is multi-line with a vertical scroll bar");
}

void CheckGeometry(const Installer& ui, int dpi) {
  int misplaced = 0;
  for (const layout::Control& d : layout::kControls) {
    HWND hwnd = ui.Get(d.id);
    HWND parent = d.page == kvt::kNoControl ? ui.main() : ui.Get(d.page);
    if (hwnd == nullptr || GetParent(hwnd) != parent) {
      Check(false, std::string(d.name) + " exists as a child of its page");
      ++misplaced;
      continue;
    }
    RECT r;
    GetWindowRect(hwnd, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    double l = ui.Px(d.left), t = ui.Px(d.top), right, bottom;
    if (d.kind == layout::Kind::kLine) {
      right = ui.Px(d.width);  // x2
      bottom = t + 1;          // one pixel thick
    } else {
      right = ui.Px(d.left + d.width);
      bottom = ui.Px(d.top + d.height);
    }
    bool ok = std::fabs(r.left - l) <= 1 && std::fabs(r.top - t) <= 1 &&
              std::fabs(r.right - right) <= 1 && std::fabs(r.bottom - bottom) <= 1;
    if (!ok) {
      ++misplaced;
      char buf[256];
      std::snprintf(buf, sizeof buf, "%s at %ld,%ld-%ld,%ld px, design %.1f,%.1f-%.1f,%.1f",
                    std::string(d.name).c_str(), r.left, r.top, r.right, r.bottom, l, t, right,
                    bottom);
      Check(false, buf);
    }
  }
  Check(misplaced == 0, "all " + std::to_string(layout::kControls.size()) +
                            " controls sit within 1 px of their twips rectangles at " +
                            std::to_string(dpi) + " DPI");
}

// Front-to-back order of a parent's children, by control ID.
std::vector<int> ChildOrder(HWND parent, bool tab_stops_only) {
  std::vector<int> ids;
  for (HWND c = GetWindow(parent, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    if (tab_stops_only && (GetWindowLongW(c, GWL_STYLE) & WS_TABSTOP) == 0) continue;
    ids.push_back(GetDlgCtrlID(c));
  }
  return ids;
}

void CheckStackingAndTabOrder(const Installer& ui) {
  Check(ChildOrder(ui.main(), false) ==
            std::vector<int>{kvt::kFrame3, kvt::kFrameW, kvt::kFrame1, kvt::kFrame2},
        "pages stack Frame3, FrameW, Frame1, Frame2 front to back");
  std::vector<int> path_page = ChildOrder(ui.Get(kvt::kFrame2), false);
  auto pos = [&](int id) {
    for (std::size_t i = 0; i < path_page.size(); ++i) {
      if (path_page[i] == id) return static_cast<int>(i);
    }
    return -1;
  };
  Check(pos(kvt::kLw) >= 0 && pos(kvt::kLw) < pos(kvt::kLine1), "Lw lies in front of Line1");
  Check(ChildOrder(ui.Get(kvt::kFrame1), true) ==
            std::vector<int>{kvt::kTxy, kvt::kCk, kvt::kCcontinue},
        "agreement page tab order Txy, Ck, Ccontinue");
  Check(ChildOrder(ui.Get(kvt::kFrame2), true) ==
            std::vector<int>{kvt::kTpath, kvt::kCfolder, kvt::kCyes, kvt::kCno},
        "path page tab order Tpath, Cfolder, Cyes, Cno");
  Check(ChildOrder(ui.Get(kvt::kFrame3), true) == std::vector<int>{kvt::kCend, kvt::kCrun},
        "finish page tab order Cend, Crun");
  Check(ChildOrder(ui.Get(kvt::kFrameW), true).empty(), "the overlay takes no focus");
  HWND frame1 = ui.Get(kvt::kFrame1);
  Check(GetNextDlgTabItem(frame1, ui.Get(kvt::kCk), FALSE) == ui.Get(kvt::kTxy),
        "Tab skips the disabled Ccontinue");
}

void CheckFocus(const Installer& ui) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  DWORD thread = GetWindowThreadProcessId(ui.main(), nullptr);
  GetGUIThreadInfo(thread, &info);
  Check(info.hwndFocus == ui.Get(kvt::kTxy), "the focus is in Txy when the window opens");
}

void CheckTickingCk(const Installer& ui) {
  HWND ck = ui.Get(kvt::kCk);
  PostMessageW(ck, BM_CLICK, 0, 0);
  bool enabled = WaitUntil([&] { return ui.Enabled(kvt::kCcontinue); }, 5000);
  Check(enabled && ui.Value(kvt::kCk) == 1, "ticking Ck enables Ccontinue");
  Check(GetNextDlgTabItem(ui.Get(kvt::kFrame1), ck, FALSE) == ui.Get(kvt::kCcontinue),
        "Tab from Ck reaches the enabled Ccontinue");
  PostMessageW(ck, BM_CLICK, 0, 0);
  bool disabled = WaitUntil([&] { return !ui.Enabled(kvt::kCcontinue); }, 5000);
  Check(disabled && ui.Value(kvt::kCk) == 0, "clearing Ck disables Ccontinue again");
}

void CheckSecondCopy(const Installer& ui, const std::wstring& exe) {
  DWORD first_pid = 0;
  GetWindowThreadProcessId(ui.main(), &first_pid);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  std::wstring command = L"\"" + exe + L"\"";
  if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi)) {
    Check(false, "second copy starts (error " + std::to_string(GetLastError()) + ")");
    return;
  }
  HWND box = nullptr;
  WaitUntil([&] { return (box = FindMessageBox(pi.dwProcessId)) != nullptr; }, 20000);
  Check(box != nullptr, "second copy shows a message box");
  if (box != nullptr) {
    std::wstring title = TextOf(box);
    std::wstring text = TextOf(GetDlgItem(box, 0xFFFF));
    Check(title == Wide("提示"), "its title is 提示 (got " + Utf8(title) + ")");
    Check(text == Wide("KVT在线安装程序已经运行！"),
          "its text is KVT在线安装程序已经运行！ (got " + Utf8(text) + ")");
    Check(GetDlgItem(box, IDCANCEL) == nullptr, "it offers only OK");
    std::vector<HWND> windows = VisibleTopWindows(pi.dwProcessId);
    Check(windows.size() == 1 && windows[0] == box, "second copy has no window of its own");
    PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  }
  DWORD waited = WaitForSingleObject(pi.hProcess, 15000);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  Check(waited == WAIT_OBJECT_0 && code == 0,
        "second copy exits after OK (exit code " + std::to_string(code) + ")");
  if (waited != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);

  HWND again = FindInstallerWindow(0);
  DWORD pid = 0;
  if (again != nullptr) GetWindowThreadProcessId(again, &pid);
  Check(again == ui.main() && pid == first_pid && IsWindowEnabled(ui.main()),
        "the first copy's window is still there");
  Check(ui.Visible(kvt::kFrame1) && !ui.Shown(kvt::kFrameW) && ui.Value(kvt::kCk) == 0 &&
            !ui.Enabled(kvt::kCcontinue) && ui.Text(kvt::kTpath) == L"D:\\KVT\u8BB0\u8D26\u5B9D\\",
        "the first copy is unchanged");
}

// A move to a monitor of another DPI: the window lays itself out again from the twips.
// (Posted without the suggested rectangle, which cannot cross processes.)
void CheckDpiChange(const Installer& ui, int dpi, int other_dpi) {
  for (int target : {other_dpi, dpi}) {
    PostMessageW(ui.main(), WM_DPICHANGED, MAKEWPARAM(target, target), 0);
    Installer scaled(ui.main(), target);
    // A sent message would overtake the posted one: wait for the window to change size.
    WaitUntil(
        [&] {
          RECT w;
          GetWindowRect(ui.main(), &w);
          return std::fabs((w.right - w.left) - scaled.Px(layout::kOuterWidth)) <= 1;
        },
        5000);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(ui.main(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    CheckGeometry(scaled, target);
    RECT r;
    GetWindowRect(ui.main(), &r);
    Check(std::fabs((r.right - r.left) - scaled.Px(layout::kOuterWidth)) <= 1 &&
              std::fabs((r.bottom - r.top) - scaled.Px(layout::kOuterHeight)) <= 1,
          "after a change to " + std::to_string(target) + " DPI the window is 7590x6000 twips");
  }
}

// Waits for a message box of the installer and checks its title and text.
HWND ExpectMessageBox(DWORD pid, const std::string& title, const std::string& text) {
  HWND box = nullptr;
  WaitUntil([&] { return (box = FindMessageBox(pid)) != nullptr; }, 20000);
  if (box == nullptr) {
    Check(false, "message box \"" + text + "\" appears");
    return nullptr;
  }
  std::wstring got_title = TextOf(box), got_text = TextOf(GetDlgItem(box, 0xFFFF));
  Check(got_title == Wide(title) && got_text == Wide(text),
        "message box \"" + text + "\" titled " + title + " (got \"" + Utf8(got_text) + "\", " +
            Utf8(got_title) + ")");
  Check(GetWindow(box, GW_OWNER) != nullptr && !IsWindowEnabled(GetWindow(box, GW_OWNER)),
        "the message box is modal to the installer window");
  return box;
}

void AnswerMessageBox(HWND box, int button) {
  PostMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
  bool gone = WaitUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 10000);
  Check(gone, "the message box closes");
}

void ScenarioNoServer(const Installer& ui) {
  DWORD pid = 0;
  GetWindowThreadProcessId(ui.main(), &pid);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  HWND ck = ui.Get(kvt::kCk);
  PostMessageW(ck, BM_CLICK, 0, 0);
  Check(WaitUntil([&] { return ui.Enabled(kvt::kCcontinue); }, 5000),
        "ticking Ck enables Ccontinue");

  // Alt+C where the focus is (Ck, after its click): the dialog manager's access key.
  PostMessageW(ck, WM_SYSCHAR, L'c', 1 << 29);
  HWND box = ExpectMessageBox(pid, "错误", "无法连接到服务器！");
  if (box == nullptr) return;
  Check(ui.Visible(kvt::kFrameW) && ui.Visible(kvt::kFrame1) && !ui.Shown(kvt::kFrame2),
        "Alt+C pressed Ccontinue only: the overlay covers the agreement page under the message");
  std::vector<HWND> boxes;
  for (HWND w : VisibleTopWindows(pid)) {
    if (ClassOf(w) == L"#32770") boxes.push_back(w);
  }
  Check(boxes.size() == 1, "one message box only (Cno on the hidden path page was not pressed)");
  SaveScreen(L"overlay-cannot-connect");
  AnswerMessageBox(box, IDOK);
  Check(WaitUntil([&] { return !ui.Shown(kvt::kFrameW); }, 5000) && ui.Visible(kvt::kFrame1) &&
            ui.Value(kvt::kCk) == 1 && ui.Enabled(kvt::kCcontinue),
        "after the message the overlay is gone; Ck ticked, Ccontinue enabled");
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  WaitUntil(
      [&] {
        GetGUIThreadInfo(GetWindowThreadProcessId(ui.main(), nullptr), &info);
        return IsChild(ui.Get(kvt::kFrame1), info.hwndFocus) != FALSE;
      },
      3000);
  Check(IsChild(ui.Get(kvt::kFrame1), info.hwndFocus) != FALSE,
        "the focus is back on the agreement page");

  PostMessageW(ui.Get(kvt::kCcontinue), BM_CLICK, 0, 0);
  box = ExpectMessageBox(pid, "错误", "无法连接到服务器！");
  if (box != nullptr) AnswerMessageBox(box, IDOK);
  Check(WaitUntil([&] { return !ui.Shown(kvt::kFrameW); }, 5000), "a second Continue tries again");

  PostMessageW(ui.main(), WM_CLOSE, 0, 0);
  DWORD waited = WaitForSingleObject(process, 10000);
  DWORD code = 1;
  GetExitCodeProcess(process, &code);
  Check(waited == WAIT_OBJECT_0 && code == 0,
        "closing the window on the agreement page ends the installer (exit code " +
            std::to_string(code) + ")");
  if (waited != WAIT_OBJECT_0) {
    HWND stray = FindMessageBox(pid);
    Check(stray == nullptr, "no question was asked on closing");
  }
  CloseHandle(process);
}

// --- install scenarios ---------------------------------------------------------------------

// Settings of the install scenarios, from the command line.
struct Options {
  std::wstring version;             // --version: the manifest's first line
  std::wstring folder;              // --folder: picked through the folder picker (no trailing \)
  std::wstring total;               // --total: size text of the whole archive, e.g. 17KB
  std::wstring end = L"finish";     // --end finish|close|close-unticked
  std::wstring expect;              // --expect connect|install (install-fails)
  bool interrupt = false;           // --interrupt: Cno and the close box, both answered Cancel
  bool expect_progress = false;     // --expect-progress (install-fails)
  bool fast_server = false;         // --fast-server: the archive comes too fast to watch
  bool slow_extractor = false;      // --slow-extractor: try to leave while it runs (install)
  int repeat = 1;                   // --repeat N: press Cyes N times (install-fails)
  int proxy_logins = 0;             // --proxy-login USER:PASSWORD: dialogs expected (install)
  std::wstring rounds;              // --rounds DIR: where the script flags each round (disk-full)
  int within = 0;                   // --within MS: the message's deadline (manifest-rejected)
};
Options g_options;

void Step(const std::string& what) {
  std::printf("step %s\n", what.c_str());
  std::fflush(stdout);
}

// The longest a ping's answer may take (--ping-bar MS): 200 ms, more under an emulated Wine.
DWORD g_ping_bar_ms = 200;
std::string PingBar() { return std::to_string(g_ping_bar_ms) + " ms"; }

// Wine's own pauses: one wineserver thread carries every message between threads, and while it
// is busy (saving a new prefix's registry, which it does 30 s after a change) no window of any
// program answers. A window of the driver's own, pinged from a thread of its own all the time,
// tells those pauses apart from the installer's: a ping of the installer is counted without the
// part of it during which the driver's window could not answer either.
class WinePauses {
 public:
  WinePauses() {
    InitializeCriticalSection(&lock_);
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE owner = CreateThread(nullptr, 0, Own, this, 0, nullptr);
    if (owner == nullptr || WaitForSingleObject(ready_, 5000) != WAIT_OBJECT_0 ||
        window_ == nullptr) {
      return;  // no control: installer pings count whole
    }
    CloseHandle(owner);
    if (HANDLE pinger = CreateThread(nullptr, 0, Watch, this, 0, nullptr)) {
      CloseHandle(pinger);
      watching_ = true;
    }
  }

  // Milliseconds of [from, to] during which the driver's own window did not answer. Waits until
  // the driver's window has been pinged again after `to`, so that a pause still being measured
  // when the installer answered is counted whole.
  DWORD Within(DWORD from, DWORD to) {
    const DWORD asked = GetTickCount();
    while (watching_ && GetTickCount() - asked < 6000) {
      EnterCriticalSection(&lock_);
      const bool settled = static_cast<LONG>(last_start_ - to) > 0;
      LeaveCriticalSection(&lock_);
      if (settled) break;
      Sleep(1);
    }
    EnterCriticalSection(&lock_);
    DWORD paused = 0;
    for (const auto& [start, end] : pauses_) {
      const DWORD a = std::max(start, from), b = std::min(end, to);
      if (b > a) paused += b - a;
    }
    LeaveCriticalSection(&lock_);
    return std::min(paused, to - from);
  }

 private:
  static DWORD WINAPI Own(void* self) {
    auto* me = static_cast<WinePauses*>(self);
    me->window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
    SetEvent(me->ready_);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
  }
  static DWORD WINAPI Watch(void* self) {
    auto* me = static_cast<WinePauses*>(self);
    while (true) {
      const DWORD start = GetTickCount();
      EnterCriticalSection(&me->lock_);
      me->last_start_ = start;
      LeaveCriticalSection(&me->lock_);
      DWORD_PTR ignored = 0;
      SendMessageTimeoutW(me->window_, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored);
      const DWORD end = GetTickCount();
      if (end - start > 20) {
        EnterCriticalSection(&me->lock_);
        me->pauses_.emplace_back(start, end);
        LeaveCriticalSection(&me->lock_);
      }
      Sleep(10);
    }
  }

  CRITICAL_SECTION lock_;
  HANDLE ready_ = nullptr;
  HWND window_ = nullptr;
  bool watching_ = false;
  DWORD last_start_ = 0;  // when the ping of the driver's window under way began
  std::vector<std::pair<DWORD, DWORD>> pauses_;
};

// Sends WM_NULL and returns how long the window took to answer (5000: no answer), without the
// time Wine itself paused every window.
DWORD Ping(HWND hwnd) {
  static WinePauses wine;
  const DWORD start = GetTickCount();
  DWORD_PTR ignored = 0;
  if (!SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored)) return 5000;
  const DWORD end = GetTickCount();
  if (end - start <= 20) return end - start;  // no pause worth telling apart
  const DWORD paused = wine.Within(start, end);
  if (paused > 20) {
    std::printf("ping %lu ms, %lu of them Wine paused every window (the driver's own too)\n",
                static_cast<unsigned long>(end - start), static_cast<unsigned long>(paused));
  }
  return end - start - paused;
}

DWORD PidOf(HWND hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  return pid;
}

int WidthOf(HWND hwnd) {
  RECT r{};
  GetWindowRect(hwnd, &r);
  return r.right - r.left;
}

std::wstring Heading(const std::wstring& version) {
  return Wide("本程序将为您在线安装\r\nKVT记账宝\r\n\r\n版本：") + version;
}

// Waits for the process to end; checks that it did, with exit code 0.
void ExpectExit(HANDLE process, int ms, const std::string& what) {
  DWORD waited = WaitForSingleObject(process, static_cast<DWORD>(ms));
  DWORD code = 1;
  GetExitCodeProcess(process, &code);
  Check(waited == WAIT_OBJECT_0 && code == 0,
        what + " (exit code " + (waited == WAIT_OBJECT_0 ? std::to_string(code) : "-") + ")");
}

// The installer is on the path page, idle: Lb and Lw hidden, its three buttons enabled.
// The page is looked at until it is idle (at most 5 s): the installer resets it after its
// message box returns, which on a loaded or emulated machine may come after the box is gone.
void CheckIdle(const Installer& ui, const std::string& when) {
  Check(WaitUntil(
            [&] {
              return ui.Visible(kvt::kFrame2) && !ui.Shown(kvt::kFrame1) &&
                     !ui.Shown(kvt::kFrame3) && !ui.Shown(kvt::kLb) && !ui.Shown(kvt::kLw) &&
                     ui.Enabled(kvt::kCfolder) && ui.Enabled(kvt::kCyes) && ui.Enabled(kvt::kCno);
            },
            5000),
        when + ": the path page is idle (Lb, Lw hidden; Cfolder, Cyes, Cno enabled)");
}

// The colours on screen inside `hwnd`'s client area, counted (COLORREF -> pixels).
std::map<COLORREF, int> ScreenColours(HWND hwnd) {
  RECT r;
  GetClientRect(hwnd, &r);
  POINT origin{0, 0};
  ClientToScreen(hwnd, &origin);
  int w = r.right, h = r.bottom;
  std::map<COLORREF, int> counts;
  if (w <= 0 || h <= 0) return counts;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(mem, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr) {
    HGDIOBJ old = SelectObject(mem, bitmap);
    BitBlt(mem, 0, 0, w, h, screen, origin.x, origin.y, SRCCOPY);
    GdiFlush();
    const auto* px = static_cast<const DWORD*>(bits);
    for (int i = 0; i < w * h; ++i) {
      DWORD p = px[i];  // 0x00RRGGBB
      ++counts[RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF)];
    }
    SelectObject(mem, old);
    DeleteObject(bitmap);
  }
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return counts;
}

std::string RgbText(COLORREF c) {
  return std::to_string(GetRValue(c)) + "," + std::to_string(GetGValue(c)) + "," +
         std::to_string(GetBValue(c));
}

// Tpath as the user sees it: the system's window background, and text no darker than its grey.
void CheckTpathColours(const Installer& ui) {
  const COLORREF background = GetSysColor(COLOR_WINDOW), grey = RGB(128, 128, 128);
  COLORREF most = CLR_INVALID, darkest = CLR_INVALID;
  WaitUntil(
      [&] {
        std::map<COLORREF, int> counts = ScreenColours(ui.Get(kvt::kTpath));
        int most_count = 0, darkest_sum = 3 * 255 + 1;
        for (const auto& [c, n] : counts) {
          if (n > most_count) {
            most_count = n;
            most = c;
          }
          int sum = GetRValue(c) + GetGValue(c) + GetBValue(c);
          if (sum < darkest_sum) {
            darkest_sum = sum;
            darkest = c;
          }
        }
        // A blinking caret may be drawn in the box for a moment: look again until it is off.
        return most == background && darkest == grey;
      },
      3000);
  Check(most == background, "Tpath has the window background " + RgbText(background) +
                                " (most of the box is " + RgbText(most) + ")");
  Check(darkest == grey,
        "Tpath's text is grey 128,128,128 (darkest pixel " + RgbText(darkest) + ")");
}

// Cno, answered OK, ends the installer; `process` is closed.
void LeaveWithCno(const Installer& ui, DWORD pid, HANDLE process) {
  Step("press Cno and answer OK");
  PostMessageW(ui.Get(kvt::kCno), BM_CLICK, 0, 0);
  if (HWND ask = ExpectMessageBox(pid, "提示", "确定要放弃安装吗？")) AnswerMessageBox(ask, IDOK);
  ExpectExit(process, 10000, "OK ends the installer");
  CloseHandle(process);
}

// No further message box turns up within `ms`.
void ExpectNoMessageBox(DWORD pid, int ms, const std::string& what) {
  bool appeared = WaitUntil([&] { return FindMessageBox(pid) != nullptr; }, ms);
  Check(!appeared, what);
}

// Ticks Ck and presses Continue; returns once the path page or a message box is up.
bool ToPathPage(const Installer& ui, DWORD pid) {
  Step("tick the acceptance box");
  PostMessageW(ui.Get(kvt::kCk), BM_CLICK, 0, 0);
  Check(WaitUntil([&] { return ui.Enabled(kvt::kCcontinue); }, 5000),
        "ticking Ck enables Ccontinue");
  SaveScreen(L"1-agreement");
  Step("press Continue: the manifest is fetched");
  PostMessageW(ui.Get(kvt::kCcontinue), BM_CLICK, 0, 0);
  // The waiting overlay lasts as long as the fetch; a fast server may not leave time to see it.
  if (WaitUntil([&] { return ui.Shown(kvt::kFrameW) || ui.Visible(kvt::kFrame2); }, 10000) &&
      ui.Shown(kvt::kFrameW) && FindMessageBox(pid) == nullptr) {
    Step("the waiting overlay is up");
    SaveScreen(L"2-waiting", 150);
  }
  bool arrived =
      WaitUntil([&] { return ui.Visible(kvt::kFrame2) || FindMessageBox(pid) != nullptr; }, 60000);
  if (HWND box = FindMessageBox(pid)) {
    Check(false, "Continue reaches the path page (message: " +
                     Utf8(TextOf(GetDlgItem(box, 0xFFFF))) + ")");
    return false;
  }
  Check(arrived && !ui.Shown(kvt::kFrame1) && !ui.Shown(kvt::kFrameW),
        "Continue shows the path page alone");
  if (!arrived) return false;
  std::wstring heading = ui.Text(kvt::kLt);
  Check(heading == Heading(g_options.version),
        "the heading names the product and the manifest's version (" + Utf8(heading) + ")");
  CheckIdle(ui, "on arrival");
  return true;
}

BOOL CALLBACK FindText(HWND hwnd, LPARAM lp) {
  auto* wanted = reinterpret_cast<std::pair<std::wstring, bool>*>(lp);
  if (TextOf(hwnd) == wanted->first) wanted->second = true;
  return TRUE;
}

// Chooses `folder` in the real folder picker: Cfolder opens it, the path is written into the
// installer's memory for BFFM_SETSELECTIONW (Wine's picker has no edit box), then OK.
// Cfolder opens the folder picker; null when it does not appear.
HWND OpenPicker(const Installer& ui, DWORD pid) {
  PostMessageW(ui.Get(kvt::kCfolder), BM_CLICK, 0, 0);
  HWND picker = nullptr;
  WaitUntil(
      [&] {
        picker = FindMessageBox(pid);
        return picker != nullptr && FindWindowExW(picker, nullptr, L"SysTreeView32", nullptr);
      },
      20000);
  Check(picker != nullptr, "Cfolder opens the folder picker");
  if (picker == nullptr) return nullptr;
  std::pair<std::wstring, bool> prompt{Wide("请选择安装路径："), false};
  EnumChildWindows(picker, FindText, reinterpret_cast<LPARAM>(&prompt));
  Check(prompt.second, "the picker asks 请选择安装路径：");
  return picker;
}

void ChooseInPicker(const Installer& ui, DWORD pid, HWND picker, const std::wstring& folder);

void PickFolder(const Installer& ui, DWORD pid, const std::wstring& folder) {
  Step("press Cfolder and choose " + Utf8(folder) + " in the folder picker");
  if (HWND picker = OpenPicker(ui, pid)) ChooseInPicker(ui, pid, picker, folder);
}

void ChooseInPicker(const Installer& ui, DWORD pid, HWND picker, const std::wstring& folder) {
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
  const SIZE_T bytes = (folder.size() + 1) * sizeof(wchar_t);
  void* remote = process != nullptr ? VirtualAllocEx(process, nullptr, bytes,
                                                     MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                                    : nullptr;
  bool written = remote != nullptr &&
                 WriteProcessMemory(process, remote, folder.c_str(), bytes, nullptr) != FALSE;
  Check(written, "the path is written into the installer's memory");
  // The picker fills its tree while it opens: select only once the tree has items and the
  // dialog answers, and see the selection move before pressing OK.
  HWND tree = FindWindowExW(picker, nullptr, L"SysTreeView32", nullptr);
  auto send = [&](UINT message, WPARAM wp, LPARAM lp) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(tree, message, wp, lp, SMTO_ABORTIFHUNG, 5000, &result);
    return result;
  };
  WaitUntil([&] { return send(TVM_GETCOUNT, 0, 0) > 0; }, 10000);
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(picker, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
  const DWORD_PTR initial = send(TVM_GETNEXTITEM, TVGN_CARET, 0);
  bool moved = false;
  for (int attempt = 0; written && !moved && attempt < 3; ++attempt) {
    SendMessageTimeoutW(picker, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(remote),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
    moved = WaitUntil([&] { return send(TVM_GETNEXTITEM, TVGN_CARET, 0) != initial; }, 1000);
  }
  Check(moved, "the picker's selection moves to the folder");
  PostMessageW(GetDlgItem(picker, IDOK), BM_CLICK, 0, 0);
  Check(WaitUntil([&] { return !IsWindow(picker); }, 10000), "OK closes the picker");
  std::wstring expected = folder + L"\\";
  Check(WaitUntil([&] { return ui.Text(kvt::kTpath) == expected; }, 5000),
        "Tpath shows the chosen folder with a backslash (" + Utf8(ui.Text(kvt::kTpath)) + ")");
  if (remote != nullptr) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  if (process != nullptr) CloseHandle(process);
}

// What the progress display showed during the archive download.
struct Progress {
  int captions = 0;          // samples with the download prefix
  int malformed = 0;
  std::wstring bad;          // the first malformed caption
  std::wstring total;        // total size text of the first caption
  bool same_total = true;
  int last_percent = -1;
  bool percent_rises = true;
  std::vector<int> widths;   // Lw widths in the order seen (changes only)
  int compared = 0;          // samples where Lw's width could be compared with the percentage
  int inconsistent = 0;      // samples where Lw's share of Lb differs from the percentage
  std::string inconsistency;
  bool downloading_state = true;  // Cno enabled, Cyes and Cfolder disabled while downloading
};

const std::wstring& DownloadPrefix() {
  static const std::wstring prefix = Wide("正在下载安装文件： ");
  return prefix;
}

// One look at Lb and Lw. Lw's width needs no answer from the installer, so every reading of it
// counts for the growth. A caption can only be read while the installer processes messages, when
// its display update is complete, so equal widths before and after it belong to that caption.
void Sample(const Installer& ui, Progress& p) {
  // Lw keeps its design width while hidden; the installer sets its width before showing it.
  HWND lw = ui.Get(kvt::kLw);
  bool shown_before = ui.Shown(kvt::kLw);
  int before = WidthOf(lw);
  std::wstring caption = ui.Text(kvt::kLb);
  int after = WidthOf(lw);
  bool shown_after = ui.Shown(kvt::kLw);
  for (auto [shown, w] : {std::pair{shown_before, before}, std::pair{shown_after, after}}) {
    if (shown && w > 0 && (p.widths.empty() || p.widths.back() != w)) p.widths.push_back(w);
  }
  if (caption.rfind(DownloadPrefix(), 0) != 0) return;
  ++p.captions;
  // The controls' state counts only while the caption still shows the download afterwards.
  if ((!ui.Enabled(kvt::kCno) || ui.Enabled(kvt::kCyes) || ui.Enabled(kvt::kCfolder)) &&
      ui.Text(kvt::kLb).rfind(DownloadPrefix(), 0) == 0) {
    p.downloading_state = false;
  }
  static const std::wregex figures(
      L"^(\\d+B|\\d+KB|\\d+\\.\\d\\dM)/(\\d+B|\\d+KB|\\d+\\.\\d\\dM) {4}(\\d{1,3})%$");
  std::wsmatch m;
  std::wstring rest = caption.substr(DownloadPrefix().size());
  if (!std::regex_match(rest, m, figures)) {
    if (p.malformed++ == 0) p.bad = caption;
    return;
  }
  if (p.total.empty()) p.total = m[2].str();
  if (m[2].str() != p.total) p.same_total = false;
  int percent = std::stoi(m[3].str());
  if (percent < p.last_percent || percent > 100) p.percent_rises = false;
  p.last_percent = percent;
  if (before != after || !shown_before || !shown_after) return;
  ++p.compared;
  double full = WidthOf(ui.Get(kvt::kLb));
  double expected = full * percent / 100.0;
  if (std::fabs(before - expected) > full * 0.005 + 2) {
    if (p.inconsistent++ == 0) {
      p.inconsistency = "Lw " + std::to_string(before) + " px of Lb " +
                        std::to_string(static_cast<int>(full)) + " px at " + Utf8(caption);
    }
  }
}

// `min_widths`: how many different Lw widths must have been seen. The data that piles up while
// a question is open arrives at once afterwards, so an interrupted download (min_widths < 3)
// shows fewer, and may show no caption whose width could be compared with its percentage.
void CheckProgress(const Progress& p, std::size_t min_widths) {
  Check(p.captions >= 3, "the archive download showed its progress caption (" +
                             std::to_string(p.captions) + " samples)");
  Check(p.malformed == 0,
        "every caption reads 正在下载安装文件： x/y    p% (first odd one: " + Utf8(p.bad) + ")");
  Check(p.same_total && (g_options.total.empty() || p.total == g_options.total),
        "the caption's total is the archive size " + Utf8(g_options.total) + " (got " +
            Utf8(p.total) + ")");
  Check(p.percent_rises, "the percentage never goes back");
  bool grows = p.widths.size() >= min_widths;
  for (std::size_t i = 1; i < p.widths.size(); ++i) grows = grows && p.widths[i] > p.widths[i - 1];
  std::string seen;
  for (int w : p.widths) seen += (seen.empty() ? "" : ",") + std::to_string(w);
  Check(grows, "Lw grows during the download (" + seen + " px)");
  Check((p.compared > 0 || min_widths < 3) && p.inconsistent == 0,
        "Lw's share of Lb matches the percentage (" + std::to_string(p.compared) + " samples" +
            (p.inconsistency.empty() ? std::string() : ", first off: " + p.inconsistency) + ")");
  Check(p.downloading_state, "while downloading Cno is enabled, Cyes and Cfolder are disabled");
}

// Presses Cno (or the close box) during the download and answers the question with Cancel.
void InterruptAndGoOn(const Installer& ui, DWORD pid, bool close_box) {
  std::string how = close_box ? "the close box" : "Cno";
  Step("press " + how + " during the download, answer Cancel");
  if (close_box) {
    PostMessageW(ui.main(), WM_CLOSE, 0, 0);
  } else {
    PostMessageW(ui.Get(kvt::kCno), BM_CLICK, 0, 0);
  }
  HWND box = ExpectMessageBox(pid, "提示", "确定要放弃安装吗？");
  if (box == nullptr) return;
  Check(GetDlgItem(box, IDCANCEL) != nullptr, "the question offers OK and Cancel");
  std::wstring held = ui.Text(kvt::kLb);
  Sleep(700);
  Check(ui.Text(kvt::kLb) == held, "the download stands still while the question is open");
  AnswerMessageBox(box, IDCANCEL);
  Check(ui.Visible(kvt::kFrame2), "after Cancel (" + how + ") the install goes on");
}

// Sends WM_CLOSE as another program would (SendMessageTimeout: the sender does not wait for the
// question to be answered).
void SendClose(const Installer& ui) {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(ui.main(), WM_CLOSE, 0, 0, SMTO_NORMAL, 300, &ignored);
}

// While the (slow) extractor runs: the window answers within 200 ms throughout; Cno (disabled)
// does nothing; closing the window, by the system menu's Close and by a WM_CLOSE that another
// program sends, asks the question, and Cancel lets the extractor run on.
void TryToLeaveWhileExtracting(const Installer& ui, DWORD pid) {
  Step("the extractor runs: press Cno, close the window (answer Cancel), ping it");
  const std::wstring installing = Wide("正在安装(请不要关闭本窗口)...");
  const DWORD start = GetTickCount();
  DWORD worst = 0;
  PostMessageW(ui.Get(kvt::kCno), BM_CLICK, 0, 0);
  ExpectNoMessageBox(pid, 300, "Cno does nothing while the extractor runs");
  for (const bool sent : {false, true}) {
    if (sent) {
      SendClose(ui);
    } else {
      PostMessageW(ui.main(), WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    HWND ask = ExpectMessageBox(pid, "提示", "确定要放弃安装吗？");
    worst = std::max(worst, Ping(ui.main()));
    if (ask != nullptr) AnswerMessageBox(ask, IDCANCEL);
    Check(ui.Text(kvt::kLb) == installing,
          std::string(sent ? "a sent WM_CLOSE" : "Close") + " answered Cancel: still installing");
  }
  while (ui.Text(kvt::kLb) == installing && GetTickCount() - start < 30000) {
    worst = std::max(worst, Ping(ui.main()));
    Sleep(100);
  }
  const DWORD lasted = GetTickCount() - start;
  Check(lasted >= 1500, "the extractor ran a while (" + std::to_string(lasted) + " ms)");
  Check(worst <= g_ping_bar_ms, "the window answered within " + PingBar() +
                                    " while it ran (worst " + std::to_string(worst) + " ms)");
  Check(IsWindow(ui.main()) && FindMessageBox(pid) == nullptr, "the install went on");
}

// The shortcut on the desktop and the path it points to.
void CheckShortcut(const std::wstring& target) {
  wchar_t desktop[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, 0, desktop);
  std::wstring link = std::wstring(desktop) + L"\\" + Wide("KVT记账宝") + L".lnk";
  CoInitialize(nullptr);
  IShellLinkW* shell_link = nullptr;
  IPersistFile* file = nullptr;
  wchar_t path[MAX_PATH] = {};
  bool loaded = false;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&shell_link))) &&
      SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(link.c_str(), STGM_READ))) {
    loaded = SUCCEEDED(shell_link->GetPath(path, MAX_PATH, nullptr, 0));
  }
  if (file != nullptr) file->Release();
  if (shell_link != nullptr) shell_link->Release();
  CoUninitialize();
  Check(loaded, "the desktop has " + Utf8(link));
  Check(loaded && target == path,
        "the shortcut points to " + Utf8(target) + " (got " + Utf8(path) + ")");
}

// A visible top-level window titled like the product, of a process other than `not_pid`.
HWND FindProductWindow(DWORD not_pid) {
  for (HWND hwnd : VisibleTopWindows(0)) {
    if (PidOf(hwnd) != not_pid && ClassOf(hwnd) != L"#32770" && TextOf(hwnd) == Wide("KVT记账宝")) {
      return hwnd;
    }
  }
  return nullptr;
}

std::wstring ImageOf(HWND hwnd) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, PidOf(hwnd));
  wchar_t name[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  if (process != nullptr) {
    QueryFullProcessImageNameW(process, 0, name, &size);
    CloseHandle(process);
  }
  return name;
}

// The install folder as the installer names it, with its trailing backslash.
std::wstring InstallDir() {
  return g_options.folder.empty() ? Wide("D:\\KVT记账宝\\") : g_options.folder + L"\\";
}

// The whole install: path page, optional folder picker, start, progress, finish page, and the
// way out chosen by --end.
void ScenarioInstall(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!ToPathPage(ui, pid)) return;
  if (!g_options.folder.empty()) PickFolder(ui, pid, g_options.folder);
  SaveScreen(L"3-path");
  CheckTpathColours(ui);

  Step("press Cyes: download the extractor and the archive");
  PostMessageW(ui.Get(kvt::kCyes), BM_CLICK, 0, 0);
  Progress progress;
  bool shot = false, asked_cno = false, asked_close = false, extracting = false;
  int last_captions = 0;
  bool done = WaitUntil(
      [&] {
        if (g_options.slow_extractor && !extracting &&
            ui.Text(kvt::kLb) == Wide("正在安装(请不要关闭本窗口)...")) {
          extracting = true;
          TryToLeaveWhileExtracting(ui, pid);
        }
        Sample(ui, progress);
        if (progress.captions > last_captions) {
          if (last_captions == 0) Step("the archive download shows its progress");
          last_captions = progress.captions;
        }
        if (!shot && progress.last_percent >= 30) {
          shot = true;
          SaveScreen(L"4-download");
        }
        if (g_options.interrupt && !asked_cno && progress.captions >= 2) {
          asked_cno = true;
          InterruptAndGoOn(ui, pid, false);
        } else if (g_options.interrupt && asked_cno && !asked_close && progress.last_percent >= 50) {
          asked_close = true;
          InterruptAndGoOn(ui, pid, true);
        }
        return ui.Visible(kvt::kFrame3) || FindMessageBox(pid) != nullptr;
      },
      120000);
  if (HWND box = FindMessageBox(pid)) {
    Check(false, "the install reaches the finish page (message: " +
                     Utf8(TextOf(GetDlgItem(box, 0xFFFF))) + ")");
    SaveScreen(L"error");
    return;
  }
  Check(done && ui.Visible(kvt::kFrame3) && !ui.Shown(kvt::kFrame2),
        "the install reaches the finish page alone");
  if (g_options.interrupt) {
    Check(asked_cno && asked_close, "Cno and the close box were both tried during the download");
  }
  if (g_options.slow_extractor) Check(extracting, "the extractor's run was seen");
  if (!g_proxy_user.empty()) {
    Check(g_proxy_logins == g_options.proxy_logins,
          "the proxy's login was asked for " + std::to_string(g_proxy_logins) + " time(s), " +
              std::to_string(g_options.proxy_logins) + " expected");
  }
  Step("the finish page is up");
  if (!g_options.fast_server) CheckProgress(progress, g_options.interrupt ? 1 : 3);
  Check(ui.Text(kvt::kLb) == Wide("安装完成！"), "Lb reads 安装完成！ (" + Utf8(ui.Text(kvt::kLb)) + ")");
  Check(std::abs(WidthOf(ui.Get(kvt::kLw)) - WidthOf(ui.Get(kvt::kLb))) <= 1,
        "the bar shows full: Lw as wide as Lb");
  Check(ui.Text(kvt::kLfinish) == Wide("KVT记账宝  已经成功的安装到您的计算机。"),
        "Lfinish reads " + Utf8(ui.Text(kvt::kLfinish)));
  Check(ui.Text(kvt::kCrun) == Wide("运行  KVT记账宝") && ui.Value(kvt::kCrun) == 1,
        "Crun reads " + Utf8(ui.Text(kvt::kCrun)) + " and is ticked");
  SaveScreen(L"5-finish");
  CheckShortcut(InstallDir() + L"KVT.exe");

  if (g_options.end == L"close-unticked") {
    Step("clear Crun and close the window");
    PostMessageW(ui.Get(kvt::kCrun), BM_CLICK, 0, 0);
    Check(WaitUntil([&] { return ui.Value(kvt::kCrun) == 0; }, 5000), "Crun is cleared");
    PostMessageW(ui.main(), WM_CLOSE, 0, 0);
  } else if (g_options.end == L"close") {
    Step("close the window on the finish page");
    PostMessageW(ui.main(), WM_CLOSE, 0, 0);
  } else {
    Step("press Finish");
    PostMessageW(ui.Get(kvt::kCend), BM_CLICK, 0, 0);
  }
  ExpectExit(process, 10000, "the installer ends");
  CloseHandle(process);
  if (g_options.end == L"close-unticked") {
    Check(!WaitUntil([&] { return FindProductWindow(pid) != nullptr; }, 3000),
          "with Crun cleared the product is not started");
    return;
  }
  HWND product = nullptr;
  WaitUntil([&] { return (product = FindProductWindow(pid)) != nullptr; }, 20000);
  Check(product != nullptr, "the product's window KVT记账宝 appears");
  if (product == nullptr) return;
  std::wstring image = ImageOf(product);
  Check(CompareStringOrdinal(image.c_str(), -1, (InstallDir() + L"KVT.exe").c_str(), -1, TRUE) ==
            CSTR_EQUAL,
        "the product runs from " + Utf8(InstallDir()) + "KVT.exe (" + Utf8(image) + ")");
  Step("the product KVT记账宝 is running");
  SaveScreen(L"6-product");
}

// The error message --expect names: connect (the default) "无法连接到服务器！", install
// "在线安装过程发生错误！" CR LF "请重试！", tampered "安装文件校验失败，文件可能已被篡改！" CR LF "请检查网络环境后重试。".
std::string ExpectedError() {
  if (g_options.expect == L"install") return "在线安装过程发生错误！\r\n请重试！";
  if (g_options.expect == L"tampered") {
    return "安装文件校验失败，文件可能已被篡改！\r\n请检查网络环境后重试。";
  }
  return "无法连接到服务器！";
}

// Start pressed on the path page ends in one message and the idle page (--expect, see
// ExpectedError); then Cno and OK end.
void ScenarioInstallFails(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!ToPathPage(ui, pid)) return;
  if (!g_options.folder.empty()) PickFolder(ui, pid, g_options.folder);
  for (int round = 1; round <= g_options.repeat; ++round) {
    Step("press Cyes (" + std::to_string(round) + " of " + std::to_string(g_options.repeat) + ")");
    PostMessageW(ui.Get(kvt::kCyes), BM_CLICK, 0, 0);
    Progress progress;
    WaitUntil(
        [&] {
          Sample(ui, progress);
          return FindMessageBox(pid) != nullptr || ui.Visible(kvt::kFrame3);
        },
        120000);
    if (g_options.expect_progress) {
      Check(progress.captions >= 1 && progress.malformed == 0,
            "the archive was still downloading with its progress caption (" +
                std::to_string(progress.captions) + " samples) before the message");
    }
    HWND box = ExpectMessageBox(pid, "错误", ExpectedError());
    if (box == nullptr) return;
    Step("the message is up");
    if (round == 1) SaveScreen(L"message");
    AnswerMessageBox(box, IDOK);
    ExpectNoMessageBox(pid, 1500, "one message only");
    CheckIdle(ui, "after the message");
  }
  LeaveWithCno(ui, pid, process);
}

// The disk fills up: Start is pressed once for each round the script has set the disk up for
// (it creates the file round-N in the --rounds folder). Rounds 1 and 2 end in the disk-full
// message and the idle page; in round 3 there is room again and the install finishes.
void ScenarioDiskFull(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!ToPathPage(ui, pid)) return;
  for (int round = 1; round <= 3; ++round) {
    const std::wstring flag = g_options.rounds + L"\\round-" + std::to_wstring(round);
    Step("waiting for round " + std::to_string(round));
    Check(WaitUntil([&] { return GetFileAttributesW(flag.c_str()) != INVALID_FILE_ATTRIBUTES; },
                    120000),
          "round " + std::to_string(round) + " is set up");
    PostMessageW(ui.Get(kvt::kCyes), BM_CLICK, 0, 0);
    WaitUntil([&] { return FindMessageBox(pid) != nullptr || ui.Visible(kvt::kFrame3); }, 120000);
    if (round < 3) {
      HWND box = ExpectMessageBox(pid, "错误", "磁盘空间不足！\r\n请清理磁盘或选择其他安装路径。");
      if (box == nullptr) return;
      if (round == 1) SaveScreen(L"disk-full");
      AnswerMessageBox(box, IDOK);
      ExpectNoMessageBox(pid, 1500, "one message only");
      CheckIdle(ui, "after the disk-full message");
      Step("round " + std::to_string(round) + " done");
    } else {
      Check(ui.Visible(kvt::kFrame3), "with room again the install reaches the finish page");
    }
  }
  PostMessageW(ui.Get(kvt::kCrun), BM_CLICK, 0, 0);
  WaitUntil([&] { return ui.Value(kvt::kCrun) == 0; }, 5000);
  PostMessageW(ui.main(), WM_CLOSE, 0, 0);
  ExpectExit(process, 10000, "the installer ends");
  CloseHandle(process);
}

// Start with a process named excel.exe running: only the notice, nothing else; then the close
// box asks and OK ends.
void ScenarioExcel(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  Check(WaitUntil([&] { return FindProductWindow(pid) != nullptr; }, 20000),
        "the stand-in excel.exe runs");
  if (!ToPathPage(ui, pid)) return;
  Step("press Cyes with excel.exe running");
  PostMessageW(ui.Get(kvt::kCyes), BM_CLICK, 0, 0);
  HWND box = ExpectMessageBox(
      pid, "提示", "KVT在线安装程序检测到Excel正在运行！\r\n\r\n如果您已经打开Excel表格，请关闭后再尝试安装...");
  if (box == nullptr) return;
  Check(GetDlgItem(box, IDCANCEL) == nullptr, "the notice offers only OK");
  AnswerMessageBox(box, IDOK);
  ExpectNoMessageBox(pid, 1000, "one message only");
  CheckIdle(ui, "after the notice");
  Step("close the window and answer OK");
  PostMessageW(ui.main(), WM_CLOSE, 0, 0);
  if (HWND ask = ExpectMessageBox(pid, "提示", "确定要放弃安装吗？")) AnswerMessageBox(ask, IDOK);
  ExpectExit(process, 10000, "closing on the path page and answering OK ends the installer");
  CloseHandle(process);
}

// Start with the default folder and no drive D:; then the close box answered Cancel keeps the
// window, and Cno answered OK ends.
void ScenarioNoDrive(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!ToPathPage(ui, pid)) return;
  Check(ui.Text(kvt::kTpath) == Wide("D:\\KVT记账宝\\"), "the default folder D:\\KVT记账宝\\ is kept");
  Step("press Cyes without a drive D:");
  PostMessageW(ui.Get(kvt::kCyes), BM_CLICK, 0, 0);
  HWND box = ExpectMessageBox(pid, "错误", "磁盘D:不存在！\r\n请重新选择安装路径。");
  if (box == nullptr) return;
  AnswerMessageBox(box, IDOK);
  ExpectNoMessageBox(pid, 1000, "one message only");
  CheckIdle(ui, "after the message");
  Step("close the window and answer Cancel");
  PostMessageW(ui.main(), WM_CLOSE, 0, 0);
  if (HWND ask = ExpectMessageBox(pid, "提示", "确定要放弃安装吗？")) {
    AnswerMessageBox(ask, IDCANCEL);
    Check(IsWindow(ui.main()), "Cancel keeps the window");
    CheckIdle(ui, "after Cancel");
  }
  Step("press Cno and answer OK");
  PostMessageW(ui.Get(kvt::kCno), BM_CLICK, 0, 0);
  if (HWND ask = ExpectMessageBox(pid, "提示", "确定要放弃安装吗？")) AnswerMessageBox(ask, IDOK);
  ExpectExit(process, 10000, "Cno answered OK ends the installer");
  CloseHandle(process);
}

// True once something accepts connections on 127.0.0.1:80.
bool ServerListens() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(80);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  closesocket(s);
  return ok;
}

// Continue with no server: the message, the agreement page stays; the harness then starts the
// server and Continue succeeds. On the path page the close box answered OK ends.
void ScenarioRetry(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  PostMessageW(ui.Get(kvt::kCk), BM_CLICK, 0, 0);
  Check(WaitUntil([&] { return ui.Enabled(kvt::kCcontinue); }, 5000),
        "ticking Ck enables Ccontinue");
  Step("press Continue with no server");
  PostMessageW(ui.Get(kvt::kCcontinue), BM_CLICK, 0, 0);
  HWND box = ExpectMessageBox(pid, "错误", "无法连接到服务器！");
  if (box == nullptr) return;
  AnswerMessageBox(box, IDOK);
  Check(WaitUntil([&] { return !ui.Shown(kvt::kFrameW); }, 5000) && ui.Visible(kvt::kFrame1) &&
            ui.Enabled(kvt::kCcontinue),
        "the agreement page stays, Continue enabled");
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  Step("waiting for the vendor server");
  Check(WaitUntil(ServerListens, 30000), "the vendor server comes up");
  WSACleanup();
  Step("press Continue again");
  PostMessageW(ui.Get(kvt::kCcontinue), BM_CLICK, 0, 0);
  bool arrived =
      WaitUntil([&] { return ui.Visible(kvt::kFrame2) || FindMessageBox(pid) != nullptr; }, 30000);
  Check(arrived && ui.Visible(kvt::kFrame2) && FindMessageBox(pid) == nullptr,
        "the second Continue reaches the path page");
  Check(ui.Text(kvt::kLt) == Heading(g_options.version),
        "the heading shows the version (" + Utf8(ui.Text(kvt::kLt)) + ")");
  Step("close the window on the path page and answer OK");
  PostMessageW(ui.main(), WM_CLOSE, 0, 0);
  if (HWND ask = ExpectMessageBox(pid, "提示", "确定要放弃安装吗？")) AnswerMessageBox(ask, IDOK);
  ExpectExit(process, 10000, "closing on the path page and answering OK ends the installer");
  CloseHandle(process);
}

// Continue against a manifest the installer rejects: the message, the agreement page stays, and
// the close box ends without a question.
void ScenarioManifestRejected(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  PostMessageW(ui.Get(kvt::kCk), BM_CLICK, 0, 0);
  Check(WaitUntil([&] { return ui.Enabled(kvt::kCcontinue); }, 5000),
        "ticking Ck enables Ccontinue");
  Step("press Continue");
  const DWORD pressed = GetTickCount();
  PostMessageW(ui.Get(kvt::kCcontinue), BM_CLICK, 0, 0);
  if (g_options.within > 0) {
    DWORD worst_ping = 0;
    bool login_dialog = false;
    WaitUntil(
        [&] {
          worst_ping = std::max(worst_ping, Ping(ui.main()));
          login_dialog = login_dialog || HasProxyLoginDialog(pid);
          return FindMessageBox(pid) != nullptr;
        },
        20000);
    const DWORD took = GetTickCount() - pressed;
    std::printf("rejected_after_ms %lu worst_ping_ms %lu\n", static_cast<unsigned long>(took),
                static_cast<unsigned long>(worst_ping));
    Check(took <= static_cast<DWORD>(g_options.within),
          "the message comes within " + std::to_string(g_options.within) + " ms of Continue (" +
              std::to_string(took) + " ms)");
    Check(worst_ping <= 200, "meanwhile the window answered every ping within 200 ms (worst " +
                                 std::to_string(worst_ping) + " ms)");
    Check(!login_dialog, "no proxy login dialog was made, shown or hidden");
  }
  HWND box = ExpectMessageBox(pid, "错误", ExpectedError());
  if (box == nullptr) return;
  AnswerMessageBox(box, IDOK);
  ExpectNoMessageBox(pid, 1000, "one message only");
  Check(!ui.Shown(kvt::kFrameW) && ui.Visible(kvt::kFrame1) && !ui.Shown(kvt::kFrame2) &&
            ui.Value(kvt::kCk) == 1 && ui.Enabled(kvt::kCcontinue),
        "the agreement page stays: overlay gone, Ck ticked, Continue enabled");
  Step("close the window");
  PostMessageW(ui.main(), WM_CLOSE, 0, 0);
  ExpectExit(process, 5000, "closing on the agreement page ends the installer without a question");
  CloseHandle(process);
}

// Closing the window while the manifest fetch waits for the server (for its head, or for the
// next piece of a slow body): the installer ends at once, without a question and without
// showing the path page.
void ScenarioCloseDuringFetch(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  PostMessageW(ui.Get(kvt::kCk), BM_CLICK, 0, 0);
  Check(WaitUntil([&] { return ui.Enabled(kvt::kCcontinue); }, 5000),
        "ticking Ck enables Ccontinue");
  Step("press Continue: the manifest arrives slowly");
  DWORD pressed = GetTickCount();
  PostMessageW(ui.Get(kvt::kCcontinue), BM_CLICK, 0, 0);
  Check(WaitUntil([&] { return ui.Shown(kvt::kFrameW); }, 10000), "the waiting overlay is up");
  Sleep(1000);
  Check(ui.Shown(kvt::kFrameW) && !ui.Shown(kvt::kFrame2), "the fetch is still going on");
  Step("close the window during the fetch");
  const DWORD closed = GetTickCount();
  PostMessageW(ui.main(), WM_CLOSE, 0, 0);
  bool path_page = false, asked = false;
  bool ended = WaitUntil(
      [&] {
        path_page = path_page || ui.Shown(kvt::kFrame2);
        asked = asked || FindMessageBox(pid) != nullptr;
        return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
      },
      20000);
  DWORD code = 1;
  GetExitCodeProcess(process, &code);
  const DWORD took = GetTickCount() - closed;
  Check(ended && code == 0 && took <= 1000,
        "the installer ends within 1 s of the close (exit code " + std::to_string(code) + ", " +
            std::to_string(took) + " ms; " + std::to_string(GetTickCount() - pressed) +
            " ms after Continue)");
  Check(!asked, "without a question");
  Check(!path_page, "without showing the path page");
  CloseHandle(process);
}

// The archive trickles, then stalls with the connection open. While bytes trickle in the
// caption moves at least once a second; throughout, the window answers within 200 ms; Cno's
// question comes within 1 s and Cancel goes on waiting; once the receive time-out passes the
// transfer fails with "无法连接到服务器！" and the path page is idle again.
void ScenarioStall(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!ToPathPage(ui, pid)) return;
  Step("press Cyes: the archive trickles in, then stalls");
  PostMessageW(ui.Get(kvt::kCyes), BM_CLICK, 0, 0);
  DWORD worst_ping = 0;
  auto downloading = [&] { return ui.Text(kvt::kLb).rfind(DownloadPrefix(), 0) == 0; };
  Check(WaitUntil(downloading, 30000), "the archive download shows its progress caption");
  const std::wstring stalled_at = DownloadPrefix() + L"512B/";
  std::wstring caption = ui.Text(kvt::kLb);
  DWORD changed = GetTickCount(), longest_gap = 0;
  int changes = 0;
  WaitUntil(
      [&] {
        worst_ping = std::max(worst_ping, Ping(ui.main()));
        const std::wstring now = ui.Text(kvt::kLb);
        if (now != caption) {
          longest_gap = std::max(longest_gap, GetTickCount() - changed);
          changed = GetTickCount();
          caption = now;
          ++changes;
        }
        return now.rfind(stalled_at, 0) == 0 || FindMessageBox(pid) != nullptr;
      },
      30000);
  Check(changes >= 5 && longest_gap <= 1000,
        "while bytes trickle in the caption changes at least once a second (" +
            std::to_string(changes) + " changes, longest gap " + std::to_string(longest_gap) +
            " ms)");
  Check(caption.rfind(stalled_at, 0) == 0, "the caption shows the 512 bytes that came (" +
                                               Utf8(caption) + ")");
  Step("the server stalls; the window keeps answering");
  for (int i = 0; i < 15; ++i) {
    worst_ping = std::max(worst_ping, Ping(ui.main()));
    Sleep(100);
  }
  Step("press Cno during the stall, answer Cancel");
  const DWORD pressed = GetTickCount();
  PostMessageW(ui.Get(kvt::kCno), BM_CLICK, 0, 0);
  const bool asked = WaitUntil([&] { return FindMessageBox(pid) != nullptr; }, 5000);
  const DWORD asked_after = GetTickCount() - pressed;
  Check(asked && asked_after <= 1000,
        "Cno's question comes within 1 s during the stall (" + std::to_string(asked_after) + " ms)");
  if (HWND ask = ExpectMessageBox(pid, "提示", "确定要放弃安装吗？")) AnswerMessageBox(ask, IDCANCEL);
  Step("wait for the receive time-out");
  WaitUntil(
      [&] {
        worst_ping = std::max(worst_ping, Ping(ui.main()));
        return FindMessageBox(pid) != nullptr;
      },
      60000);
  std::printf("stall_worst_ping_ms %lu\n", static_cast<unsigned long>(worst_ping));
  Check(worst_ping <= g_ping_bar_ms, "the window answered every ping within " + PingBar() +
                                         " (worst " + std::to_string(worst_ping) + " ms)");
  if (HWND box = ExpectMessageBox(pid, "错误", "无法连接到服务器！")) {
    SaveScreen(L"stall-message");
    AnswerMessageBox(box, IDOK);
  }
  CheckIdle(ui, "after the stalled download");
  LeaveWithCno(ui, pid, process);
}

// Continue reaches the path page with the manifest's version in the heading; Cno and OK end.
void ScenarioPathPage(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (ToPathPage(ui, pid)) {
    LeaveWithCno(ui, pid, process);
  } else {
    CloseHandle(process);
  }
}

// Start pressed, then nothing: no message reaches the installer while it downloads.
void ScenarioStart(const Installer& ui) {
  const DWORD pid = PidOf(ui.main());
  if (!ToPathPage(ui, pid)) return;
  if (!g_options.folder.empty()) PickFolder(ui, pid, g_options.folder);
  Step("press Cyes and leave the installer alone");
  PostMessageW(ui.Get(kvt::kCyes), BM_CLICK, 0, 0);
}

// Cno answered OK while the archive downloads ends the installer at once.
void ScenarioCnoOk(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!ToPathPage(ui, pid)) return;
  Step("press Cyes");
  PostMessageW(ui.Get(kvt::kCyes), BM_CLICK, 0, 0);
  Progress progress;
  Check(WaitUntil(
            [&] {
              Sample(ui, progress);
              return progress.captions >= 2 || FindMessageBox(pid) != nullptr;
            },
            60000) &&
            progress.captions >= 2,
        "the archive is downloading");
  Step("press Cno during the download and answer OK");
  PostMessageW(ui.Get(kvt::kCno), BM_CLICK, 0, 0);
  if (HWND ask = ExpectMessageBox(pid, "提示", "确定要放弃安装吗？")) {
    PostMessageW(GetDlgItem(ask, IDOK), BM_CLICK, 0, 0);
  }
  ExpectExit(process, 5000, "OK ends the installer during the download");
  CloseHandle(process);
}
// --- the busy window: log-off, the picker, a hanging extractor -------------------------------

// Sends WM_QUERYENDSESSION as the system does at log-off; the window's answer (0: refused).
DWORD_PTR QueryEndSession(const Installer& ui) {
  DWORD_PTR answer = 12345;
  SendMessageTimeoutW(ui.main(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000,
                      &answer);
  return answer;
}

// The reason registered for a refused log-off is the installer's, where the system can tell
// (Wine 8 has no ShutdownBlockReasonQuery).
void CheckShutdownReason(HWND hwnd) {
  using QueryFn = BOOL(WINAPI*)(HWND, LPWSTR, DWORD*);
  const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "ShutdownBlockReasonQuery")));
  if (query == nullptr) {
    Step("this system does not tell the registered shut-down reason (no ShutdownBlockReasonQuery)");
    return;
  }
  wchar_t text[256] = {};
  DWORD size = 256;
  const bool got = query(hwnd, text, &size) != FALSE;
  Check(got && text == Wide("正在安装KVT记账宝，请稍候..."),
        "the refused log-off names its reason (" + Utf8(text) + ")");
}

// A real left click, through the system's input queue, at the centre of `hwnd`.
void MouseClick(HWND hwnd) {
  RECT r;
  GetWindowRect(hwnd, &r);
  SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_MOUSE;
  input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(2, input, sizeof(INPUT));
}

// Moves `picker` where it does not cover `target`; false when the screen has no room for that.
bool MoveAside(HWND picker, HWND target) {
  RECT t, p;
  GetWindowRect(target, &t);
  GetWindowRect(picker, &p);
  const int width = p.right - p.left, screen = GetSystemMetrics(SM_CXSCREEN);
  int x = -1;
  if (t.left >= width) x = 0;
  if (x < 0 && screen - t.right >= width) x = screen - width;
  if (x < 0) return false;
  SetWindowPos(picker, nullptr, x, p.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  return WaitUntil([&] { return GetWindowRect(picker, &p) && p.left == x; }, 2000);
}

int CountPickers(DWORD pid) {
  int n = 0;
  for (HWND hwnd : VisibleTopWindows(pid)) n += ClassOf(hwnd) == L"#32770" ? 1 : 0;
  return n;
}

// True while a process named UnRAR.exe runs.
bool ExtractorRunning() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
       more = Process32NextW(snapshot, &entry)) {
    found = _wcsicmp(entry.szExeFile, L"UnRAR.exe") == 0;
  }
  CloseHandle(snapshot);
  return found;
}

// Log-off and the folder picker in one run: while idle a log-off may go on; with the picker open
// the window takes no input (Start posted, and clicked with the mouse, does nothing; no second
// picker opens), and a choice confirmed then is taken; during the archive download a log-off is
// refused, and the end of the session ends the installer within 2 s.
void ScenarioBusy(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  Check(QueryEndSession(ui) != 0, "on the agreement page a log-off may go on");
  if (!ToPathPage(ui, pid)) return;
  Step("open the folder picker; press Start by message and with the mouse");
  HWND picker = OpenPicker(ui, pid);
  if (picker == nullptr) return;
  Check(!IsWindowEnabled(ui.main()),
        "the installer window takes no input while the picker is open");
  HWND yes = ui.Get(kvt::kCyes);
  const bool aside = MoveAside(picker, yes);
  PostMessageW(yes, BM_CLICK, 0, 0);
  if (aside) {
    MouseClick(yes);
  } else {
    Step("no room beside Start for the picker: no mouse click");
  }
  Sleep(1500);
  Check(!ui.Shown(kvt::kLb) && ui.Enabled(kvt::kCyes) && IsWindow(picker),
        "Start did nothing while the picker is open");
  PostMessageW(ui.Get(kvt::kCfolder), BM_CLICK, 0, 0);
  Sleep(500);
  Check(CountPickers(pid) == 1, "no second picker opens");
  Check(QueryEndSession(ui) != 0, "with the picker open a log-off may go on");
  ChooseInPicker(ui, pid, picker, g_options.folder);
  Check(WaitUntil([&] { return IsWindowEnabled(ui.main()) != FALSE; }, 5000),
        "the window takes input again");

  Step(aside ? "click Start with the mouse" : "press Start");
  if (aside) {
    MouseClick(yes);
  } else {
    PostMessageW(yes, BM_CLICK, 0, 0);
  }
  Progress progress;
  Check(WaitUntil(
            [&] {
              Sample(ui, progress);
              return progress.captions >= 2 || FindMessageBox(pid) != nullptr;
            },
            60000) &&
            progress.captions >= 2,
        "Start works once the picker is closed: the archive is downloading");
  Step("log off during the download");
  Check(QueryEndSession(ui) == 0, "during the download a log-off is refused");
  CheckShutdownReason(ui.main());
  Check(IsWindow(ui.main()) && FindMessageBox(pid) == nullptr,
        "the refused log-off asks nothing and the download goes on");
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(ui.main(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 2000,
                      &ignored);
  ExpectExit(process, 2000, "the end of the session ends the installer within 2 s");
  CloseHandle(process);
}

// An extractor that never ends: a log-off is refused; a WM_CLOSE sent by another program asks
// the question instead of ending, and Cancel lets it run on; closing answered OK ends the
// extractor into the install-failure message, and the page is idle and usable again.
void ScenarioHang(const Installer& ui) {
  DWORD pid = PidOf(ui.main());
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!ToPathPage(ui, pid)) return;
  Step("press Cyes; the extractor hangs");
  PostMessageW(ui.Get(kvt::kCyes), BM_CLICK, 0, 0);
  const std::wstring installing = Wide("正在安装(请不要关闭本窗口)...");
  Check(WaitUntil([&] { return ui.Text(kvt::kLb) == installing; }, 60000),
        "Lb reads 正在安装(请不要关闭本窗口)...");
  Check(WaitUntil(ExtractorRunning, 5000), "UnRAR.exe is running");
  Check(QueryEndSession(ui) == 0, "while the extractor runs a log-off is refused");
  Step("another program sends WM_CLOSE; answer Cancel");
  SendClose(ui);
  if (HWND ask = ExpectMessageBox(pid, "提示", "确定要放弃安装吗？")) {
    AnswerMessageBox(ask, IDCANCEL);
  }
  Sleep(500);
  Check(ui.Text(kvt::kLb) == installing && ExtractorRunning() && Ping(ui.main()) <= g_ping_bar_ms,
        "after Cancel the extractor runs on and the window answers");
  Step("close the window; answer OK");
  PostMessageW(ui.main(), WM_SYSCOMMAND, SC_CLOSE, 0);
  if (HWND ask = ExpectMessageBox(pid, "提示", "确定要放弃安装吗？")) AnswerMessageBox(ask, IDOK);
  if (HWND box = ExpectMessageBox(pid, "错误", "在线安装过程发生错误！\r\n请重试！")) {
    SaveScreen(L"hang-message");
    AnswerMessageBox(box, IDOK);
  }
  CheckIdle(ui, "after the extractor was ended");
  Check(WaitUntil([] { return !ExtractorRunning(); }, 5000), "the extractor process is gone");
  Check(QueryEndSession(ui) != 0, "idle again, a log-off may go on");
  LeaveWithCno(ui, pid, process);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  BecomeDpiAware();
  std::wstring scenario, exe;
  int dpi = 96;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == L"--exe" && has_value) {
      exe = argv[++i];
    } else if (arg == L"--shots" && has_value) {
      g_shot_dir = argv[++i];
    } else if (arg == L"--dpi" && has_value) {
      dpi = _wtoi(argv[++i]);
    } else if (arg == L"--version" && has_value) {
      g_options.version = argv[++i];
    } else if (arg == L"--folder" && has_value) {
      g_options.folder = argv[++i];
    } else if (arg == L"--total" && has_value) {
      g_options.total = argv[++i];
    } else if (arg == L"--end" && has_value) {
      g_options.end = argv[++i];
    } else if (arg == L"--expect" && has_value) {
      g_options.expect = argv[++i];
    } else if (arg == L"--interrupt") {
      g_options.interrupt = true;
    } else if (arg == L"--fast-server") {
      g_options.fast_server = true;
    } else if (arg == L"--slow-extractor") {
      g_options.slow_extractor = true;
    } else if (arg == L"--repeat" && has_value) {
      g_options.repeat = std::max(1, _wtoi(argv[++i]));
    } else if (arg == L"--expect-progress") {
      g_options.expect_progress = true;
    } else if (arg == L"--proxy-login" && i + 2 < argc) {
      g_proxy_user = argv[++i];
      g_proxy_password = argv[++i];
      g_options.proxy_logins = 3;  // the manifest, the extractor and the archive
    } else if (arg == L"--rounds" && has_value) {
      g_options.rounds = argv[++i];
    } else if (arg == L"--within" && has_value) {
      g_options.within = _wtoi(argv[++i]);
    } else if (arg == L"--ping-bar" && has_value) {
      g_ping_bar_ms = std::max(1, _wtoi(argv[++i]));
    } else {
      scenario = arg;
    }
  }
  using Run = void (*)(const Installer&);
  const std::vector<std::pair<std::wstring, Run>> installs = {
      {L"install", ScenarioInstall},       {L"install-fails", ScenarioInstallFails},
      {L"excel", ScenarioExcel},           {L"no-drive", ScenarioNoDrive},
      {L"retry", ScenarioRetry},           {L"manifest-rejected", ScenarioManifestRejected},
      {L"close-fetch", ScenarioCloseDuringFetch}, {L"cno-ok", ScenarioCnoOk},
      {L"stall", ScenarioStall},           {L"path-page", ScenarioPathPage},
      {L"no-server", ScenarioNoServer},    {L"start", ScenarioStart},
      {L"busy", ScenarioBusy},             {L"hang", ScenarioHang},
      {L"disk-full", ScenarioDiskFull},
  };
  Run run = nullptr;
  for (const auto& [name, fn] : installs) {
    if (name == scenario) run = fn;
  }
  if ((run == nullptr && scenario != L"agreement" && scenario != L"layout" &&
       scenario != L"wait") ||
      dpi <= 0) {
    std::fprintf(stderr,
                 "usage: kvt-e2e-driver SCENARIO [--exe PATH] [--dpi N] [--shots DIR]\n"
                 "  SCENARIO: agreement layout wait no-server retry manifest-rejected close-fetch\n"
                 "            install install-fails excel no-drive cno-ok stall path-page start\n"
                 "            busy hang disk-full\n"
                 "  install options: --version V --folder DIR --total SIZE\n"
                 "                   --end finish|close|close-unticked --interrupt --fast-server\n"
                 "                   --slow-extractor --proxy-login USER PASSWORD\n"
                 "  disk-full options: --rounds DIR\n"
                 "  every scenario: --ping-bar MS (longest answer to a ping, default 200)\n"
                 "  install-fails options: --expect connect|install|tampered --expect-progress\n"
                 "                         --repeat N\n"
                 "  manifest-rejected options: --expect connect|tampered --within MS\n");
    return 2;
  }

  HWND main = nullptr;
  WaitUntil([&] { return (main = FindInstallerWindow(0)) != nullptr; }, 30000);
  Check(main != nullptr, "the installer window appears");
  if (main == nullptr) return 1;
  // Let the window finish opening before it is inspected.
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
  Installer ui(main, dpi);

  if (scenario == L"wait") {
    return 0;
  } else if (run != nullptr) {
    run(ui);
  } else if (scenario == L"agreement") {
    CheckFocus(ui);
    CheckWindow(ui, dpi);
    CheckInitialState(ui);
    CheckAgreementText(ui);
    CheckReadOnly(ui);
    CheckGeometry(ui, dpi);
    CheckStackingAndTabOrder(ui);
    CheckDpiChange(ui, dpi, dpi * 3 / 2);
    CheckTickingCk(ui);
    if (exe.empty()) {
      Check(false, "--exe given for the second-copy check");
    } else {
      CheckResources(exe);
      CheckSecondCopy(ui, exe);
    }
  } else {
    CheckWindow(ui, dpi);
    CheckInitialState(ui);
    CheckGeometry(ui, dpi);
  }
  std::printf("%s: %d check(s) failed\n", g_failures == 0 ? "PASS" : "FAIL", g_failures);
  return g_failures == 0 ? 0 : 1;
}
