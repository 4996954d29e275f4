// The installer's archive download under Wine: DownloadFile with the product's own WinINet and
// file adapters (the window is the in-memory one), timed inside the process so that Wine's start
// does not count. Run by bench/wine-download.sh.
//
//   kvt_wine_bench_installer PORT PATH OUT_FILE      (Windows paths)
// Prints: result R bytes N seconds S
#include "platform/win32/win32_adapters.h"
#undef MessageBox  // a member name of the headless user interface

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kvt/build_config.h"
#include "net/download.h"
#include "platform/headless/headless.h"
#include "startup/mupdate.h"
#include "startup/texts.h"
#include "window/fd.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: kvt_wine_bench_installer PORT PATH OUT_FILE\n");
    return 2;
  }
  const auto port = static_cast<std::uint16_t>(std::strtoul(argv[1], nullptr, 10));
  kvt::headless::Machine machine;
  machine.window.record = false;
  machine.resolver.resolvable = {kvt::build::kProbeHost};
  kvt::win32::WinInetInternet internet(port);
  kvt::win32::Win32FileSystem files;
  kvt::win32::Win32Clock clock;
  kvt::platform::Platform p = machine.Platform(&internet, &files, nullptr);
  p.clock = &clock;
  kvt::platform::Install(p);
  kvt::Mupdate::FdInstance().Lb.SetWidth(6600);

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const int result = kvt::Mupdate::DownloadFile(std::string("http://127.0.0.1") + argv[2],
                                                argv[3], kvt::text::kDownloadPrefix);
  QueryPerformanceCounter(&end);
  std::printf("result %d bytes %lld seconds %.4f\n", result,
              static_cast<long long>(kvt::Mupdate::ReceivedBytes),
              static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
  return result == -1 ? 0 : 1;
}
