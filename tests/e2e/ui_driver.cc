// End-to-end UI driver: operates the real kvt-setup.exe window from a second Win32 process
// (under Wine) through window messages only, and prints one line per check, "ok ..." or
// "FAIL ...". Exits 1 if any check failed, 2 on bad arguments.
//
//   kvt-e2e-driver SCENARIO --exe WINDOWS_PATH_OF_KVT_SETUP --dpi N
//
// Scenarios:
//   agreement  the fresh window: pages, initial states, agreement text, read-only boxes,
//              geometry of every control, tab order, ticking Ck, and a second copy.
//   layout     the fresh window's pages, initial states and geometry only (for other DPIs).
//   no-server  with nothing listening on 127.0.0.1:80: Alt+C presses Continue, the overlay
//              stays up under "无法连接到服务器！", Continue works again, and closing the window
//              on the agreement page ends the installer without a question.
//   walk       with the demo vendor server on 127.0.0.1:80 and drive D: present: accept,
//              Continue to the path page, install, and reach the finish page; a screenshot of
//              each page. Leaves the installer on the finish page.
//   wait       only waits for the installer window to appear (for demos and screenshots).
//
// --shots DIR (Windows path) makes scenarios save screenshots there as NAME.bmp.
//
// Controls are found by their IDs (window/control_ids.h) and compared with the design table
// (window/layout.h). The running installer must be left as it was found.
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
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

// Polls `condition` every 50 ms for up to `ms` milliseconds.
bool WaitUntil(const std::function<bool()>& condition, int ms) {
  for (int waited = 0;; waited += 50) {
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
// hanging the driver.
std::wstring TextOf(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
    return L"<no answer>";
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(hwnd, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 5000, &copied);
  text.resize(copied);
  return text;
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
    if (ClassOf(hwnd) == L"#32770") return hwnd;
  }
  return nullptr;
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

void ScenarioWalk(const Installer& ui) {
  DWORD pid = 0;
  GetWindowThreadProcessId(ui.main(), &pid);
  PostMessageW(ui.Get(kvt::kCk), BM_CLICK, 0, 0);
  Check(WaitUntil([&] { return ui.Enabled(kvt::kCcontinue); }, 5000),
        "ticking Ck enables Ccontinue");
  SaveScreen(L"walk-1-agreement-accepted");
  PostMessageW(ui.Get(kvt::kCcontinue), BM_CLICK, 0, 0);
  bool path_page =
      WaitUntil([&] { return ui.Visible(kvt::kFrame2) || FindMessageBox(pid) != nullptr; }, 30000);
  if (HWND box = FindMessageBox(pid)) {
    Check(false, "Continue reaches the path page (message: " +
                     Utf8(TextOf(GetDlgItem(box, 0xFFFF))) + ")");
    SaveScreen(L"walk-2-error");
    return;
  }
  Check(path_page && !ui.Shown(kvt::kFrame1) && !ui.Shown(kvt::kFrameW),
        "Continue shows the path page alone");
  std::wstring heading = ui.Text(kvt::kLt);
  Check(heading.rfind(Wide("本程序将为您在线安装\r\nKVT记账宝\r\n\r\n版本："), 0) == 0,
        "the path page heading names the product and version (" + Utf8(heading) + ")");
  SaveScreen(L"walk-2-path-page");

  // A double click in the path box opens the folder picker; cancelling it changes nothing.
  std::wstring path_before = ui.Text(kvt::kTpath);
  PostMessageW(ui.Get(kvt::kTpath), WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(5, 5));
  PostMessageW(ui.Get(kvt::kTpath), WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  HWND picker = nullptr;
  WaitUntil(
      [&] {
        picker = FindMessageBox(pid);
        return picker != nullptr && FindWindowExW(picker, nullptr, L"SysTreeView32", nullptr);
      },
      20000);
  Check(picker != nullptr, "a double click in Tpath opens the folder picker");
  if (picker != nullptr) {
    PostMessageW(GetDlgItem(picker, IDCANCEL), BM_CLICK, 0, 0);
    Check(
        WaitUntil([&] { return !IsWindow(picker); }, 10000) && ui.Text(kvt::kTpath) == path_before,
        "cancelling the picker leaves Tpath as it was");
  }

  // Closing the window on the path page asks first; Cancel keeps the window.
  PostMessageW(ui.main(), WM_CLOSE, 0, 0);
  if (HWND box = ExpectMessageBox(pid, "提示", "确定要放弃安装吗？")) {
    AnswerMessageBox(box, IDCANCEL);
    Check(IsWindow(ui.main()) && ui.Visible(kvt::kFrame2) && ui.Enabled(kvt::kCyes),
          "answering Cancel keeps the window on the path page");
  }

  PostMessageW(ui.Get(kvt::kCyes), BM_CLICK, 0, 0);
  // The progress display while it is up (the extractor's run keeps it on the screen).
  if (WaitUntil([&] { return ui.Shown(kvt::kLw) || ui.Visible(kvt::kFrame3); }, 30000) &&
      ui.Visible(kvt::kFrame2)) {
    SaveScreen(L"walk-3-installing", 0);
  }
  bool finished =
      WaitUntil([&] { return ui.Visible(kvt::kFrame3) || FindMessageBox(pid) != nullptr; }, 60000);
  if (HWND box = FindMessageBox(pid)) {
    Check(false, "the install reaches the finish page (message: " +
                     Utf8(TextOf(GetDlgItem(box, 0xFFFF))) + ")");
    SaveScreen(L"walk-4-error");
    return;
  }
  Check(finished && !ui.Shown(kvt::kFrame2), "the install reaches the finish page");
  Check(ui.Text(kvt::kCrun) == Wide("运行  KVT记账宝"),
        "Crun reads 运行  KVT记账宝 (" + Utf8(ui.Text(kvt::kCrun)) + ")");
  SaveScreen(L"walk-4-finish-page");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  BecomeDpiAware();
  std::wstring scenario, exe;
  int dpi = 96;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--exe" && i + 1 < argc) {
      exe = argv[++i];
    } else if (arg == L"--shots" && i + 1 < argc) {
      g_shot_dir = argv[++i];
    } else if (arg == L"--dpi" && i + 1 < argc) {
      dpi = _wtoi(argv[++i]);
    } else {
      scenario = arg;
    }
  }
  if ((scenario != L"agreement" && scenario != L"layout" && scenario != L"no-server" &&
       scenario != L"walk" && scenario != L"wait") ||
      dpi <= 0) {
    std::fprintf(stderr,
                 "usage: kvt-e2e-driver agreement|layout|no-server|walk|wait --exe PATH --dpi N "
                 "[--shots DIR]\n");
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
  } else if (scenario == L"no-server") {
    ScenarioNoServer(ui);
  } else if (scenario == L"walk") {
    ScenarioWalk(ui);
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
