// Demo product "KVT.exe" of the demo release: one small window titled with the product name,
// a line of welcome text and the folder it was started from. It closes like any window and
// the process ends when it does.
#include <windows.h>

#include "startup/texts.h"

namespace {

constexpr wchar_t kClassName[] = L"KvtDemoProduct";
constexpr wchar_t kWelcome[] = L"欢迎使用KVT记账宝（演示版），安装已经完成。";

// Fixed buffers instead of std::wstring keep the C++ runtime (and its unwinder) out of the
// program, which keeps it a few tens of kilobytes.
wchar_t g_title[64];
wchar_t g_folder[MAX_PATH * 4];

// The folder of this program, with its closing backslash.
void FindProgramFolder() {
  const DWORD n = GetModuleFileNameW(nullptr, g_folder, MAX_PATH * 4 - 1);
  g_folder[n] = L'\0';
  for (DWORD i = n; i > 0; --i) {
    if (g_folder[i - 1] == L'\\') {
      g_folder[i] = L'\0';
      break;
    }
  }
}

HFONT g_font = nullptr;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      HGDIOBJ old = SelectObject(dc, g_font ? g_font : GetStockObject(DEFAULT_GUI_FONT));
      SetBkMode(dc, TRANSPARENT);
      RECT area;
      GetClientRect(window, &area);
      area.left += 24;
      area.top += 28;
      DrawTextW(dc, kWelcome, -1, &area, DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
      area.top += 36;
      DrawTextW(dc, g_folder, -1, &area,
                DT_LEFT | DT_SINGLELINE | DT_NOPREFIX | DT_PATH_ELLIPSIS);
      SelectObject(dc, old);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  window_class.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));      // IDI_APPLICATION
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = kClassName;
  if (!RegisterClassExW(&window_class)) return 1;

  g_font = CreateFontW(-20, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"微软雅黑");
  if (!MultiByteToWideChar(CP_UTF8, 0, kvt::text::kProductName, -1, g_title, 64)) return 1;
  FindProgramFolder();
  HWND window = CreateWindowExW(0, kClassName, g_title,
                                WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                CW_USEDEFAULT, CW_USEDEFAULT, 560, 200, nullptr, nullptr,
                                instance, nullptr);
  if (window == nullptr) return 1;
  ShowWindow(window, show);
  UpdateWindow(window);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (g_font) DeleteObject(g_font);
  return static_cast<int>(message.wParam);
}
