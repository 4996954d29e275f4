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

// True when the process's DLL search is restricted to the system folder
// (SetDefaultDllDirectories); false on an older Windows 7 without that function.
bool g_search_restricted = false;

// Loads every delay-loaded DLL (shell32, ole32, oleaut32, wininet, wsock32, bcrypt) by its full
// path in the system folder. Without the restricted search, the altered search order makes the DLLs
// that one loads in turn come from its own folder (the system folder) rather than from the
// installer's. A load that fails is refused: the delay-load helper would otherwise try again by
// the bare name, through the search order that finds a DLL planted beside the installer. The
// refusal is the helper's own failure (the exception a failed delay load raises).
FARPROC WINAPI LoadFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) {
    return nullptr;
  }
  wchar_t folder[MAX_PATH];
  const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  HMODULE module = nullptr;
  if (n != 0 && n < MAX_PATH) {
    std::wstring path(folder, n);
    path += L'\\';
    for (const char* c = info->szDll; *c != '\0'; ++c) path += static_cast<wchar_t>(*c);
    module = LoadLibraryExW(path.c_str(), nullptr,
                            g_search_restricted ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  if (module == nullptr) {
    info->dwLastError = GetLastError();
    ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);
    RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, &argument);
  }
  return reinterpret_cast<FARPROC>(module);
}

// An installer usually runs from a Downloads folder, where anyone may have left a DLL named
// like a system one: DLLs are looked for in the system folder only. SetDefaultDllDirectories is
// looked up at run time (older Windows 7 lacks it); without it the current folder at least
// leaves the search, and the delay-loaded DLLs are loaded as described above.
void RestrictDllSearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  g_search_restricted = set_default != nullptr && set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!g_search_restricted) SetDllDirectoryW(L"");
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
  static kvt::win32::CngCrypto crypto;
  static kvt::win32::Win32LogStore log;

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
  machine.crypto = &crypto;
  machine.log = &log;
  kvt::platform::Install(machine);

  kvt::Mupdate::Main();
  ui.RunEventLoop();  // does not return: the program ends through EndProgram
  return 0;
}
