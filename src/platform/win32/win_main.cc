// Entry point of kvt-setup.exe: installs the Windows adapters, runs Mupdate::Main and then the
// event loop until one of the end actions ends the process.
#include "platform/win32/win32_adapters.h"  // first: it tames <windows.h>'s name macros
#include "platform/win32/win32_window.h"    // and this one MessageBox

#include <objbase.h>

#include "platform/platform.h"
#include "platform/win32/win32_ui.h"
#include "startup/mupdate.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
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
