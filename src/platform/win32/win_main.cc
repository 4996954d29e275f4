// Entry point of kvt-setup.exe: installs the Windows adapters, runs Mupdate::Main and then the
// event loop until one of the end actions ends the process.
#include "platform/win32/win32_adapters.h"  // first: it tames <windows.h>'s name macros
#include "platform/win32/win32_window.h"    // and this one MessageBox

#include <delayimp.h>
#include <objbase.h>

#include <string>

#include "platform/platform.h"
#include "platform/win32/win32_ui.h"
#include "startup/mupdate.h"

namespace {

// Loads every delay-loaded DLL (shell32, ole32, oleaut32, wininet, wsock32) by its full path in
// the system folder, whatever the search order of the system it runs on.
FARPROC WINAPI LoadFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) {
    return nullptr;
  }
  wchar_t folder[MAX_PATH];
  const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  std::wstring path(folder, n);
  path += L'\\';
  for (const char* c = info->szDll; *c != '\0'; ++c) path += static_cast<wchar_t>(*c);
  return reinterpret_cast<FARPROC>(LoadLibraryExW(path.c_str(), nullptr, 0));
}

// An installer usually runs from a Downloads folder, where anyone may have left a DLL named
// like a system one: DLLs are looked for in the system folder only. SetDefaultDllDirectories is
// looked up at run time (older Windows 7 lacks it); without it the current folder at least
// leaves the search.
void RestrictDllSearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (set_default == nullptr || !set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
  __pfnDliNotifyHook2 = LoadFromSystemFolder;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Before anything loads a DLL.
  RestrictDllSearch();
  // The folder picker, WMI and the shell link are COM objects used from this one UI thread.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  static kvt::win32::Win32Window window(instance);
  static kvt::win32::Win32Ui ui(window);
  static kvt::win32::WinInetInternet internet;
  static kvt::win32::WinsockResolver resolver;
  static kvt::win32::Win32FileSystem files;
  static kvt::win32::Win32Clock clock;
  static kvt::win32::Win32Processes processes;
  static kvt::win32::WmiProcessList process_list;
  static kvt::win32::Win32Shell shell;

  // The proxy's password dialog belongs to the installer window.
  internet.SetDialogOwner([] { return window.hwnd(); });

  kvt::platform::Platform machine;
  machine.ui = &ui;
  machine.window = &window;
  machine.internet = &internet;
  machine.resolver = &resolver;
  machine.files = &files;
  machine.clock = &clock;
  machine.processes = &processes;
  machine.process_list = &process_list;
  machine.shell = &shell;
  kvt::platform::Install(machine);

  kvt::Mupdate::Main();
  ui.RunEventLoop();  // does not return: the program ends through EndProgram
  return 0;
}
