// One DownloadFile run as the installer does it (core, POSIX HTTP client and files, headless
// window and user, the real monotonic clock), timed from the outside by bench/download.sh.
//
//   kvt_bench_download [--gaps] PORT PATH OUT_FOLDER
//
// Downloads http://127.0.0.1<PATH> (port 80 mapped to PORT) into OUT_FOLDER/<last part of PATH>
// with the archive's caption prefix, then prints one line:
//   result R bytes N seconds S peak_rss_kib K pumps P longest_pump_gap_ms G updates U
// The gap between two event pumps is measured only with --gaps (G is -1 otherwise): reading the
// clock at every pump costs about as much as the rest of the core's own work per piece, so the
// timed runs go without it, as the product does.
// With KVT_BENCH_SIGNED="SIZE SHA256HEX" in the environment the download is of a file the vendor
// signed (size and SHA-256, checked through the OpenSSL crypto adapter), as in a signed release.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kvt/build_config.h"
#include "net/download.h"
#include "net/release_signature.h"
#include "platform/headless/headless.h"
#include "platform/posix/posix.h"
#include "startup/mupdate.h"
#include "startup/texts.h"
#include "window/fd.h"

int main(int argc, char** argv) {
  const bool gaps = argc == 5 && std::string(argv[1]) == "--gaps";
  if (gaps) {
    --argc;
    ++argv;
  }
  if (argc != 4) {
    std::fprintf(stderr, "usage: kvt_bench_download [--gaps] PORT PATH OUT_FOLDER\n");
    return 2;
  }
  const auto port = static_cast<std::uint16_t>(std::strtoul(argv[1], nullptr, 10));
  const std::string path = argv[2];
  const std::string name = path.substr(path.rfind('/') + 1);

  kvt::headless::Machine machine;
  machine.window.record = false;
  // The probe is not what is measured: let it answer yes whatever host this build probes.
  machine.resolver.resolvable = {kvt::build::kProbeHost};
  kvt::posix::PosixInternet internet(port);
  kvt::posix::PosixFileSystem files({{'D', argv[3]}}, "D:\\");
  kvt::posix::PosixClock clock;
  kvt::platform::Platform p = machine.Platform(&internet, &files, nullptr);
  p.clock = &clock;
  kvt::posix::PosixCrypto crypto;
  p.crypto = &crypto;
  kvt::platform::Install(p);

  kvt::Mupdate::SignedFile signed_file;
  const char* signed_text = std::getenv("KVT_BENCH_SIGNED");
  if (signed_text != nullptr) {
    char hex[65] = {};
    long long size = 0;
    if (std::sscanf(signed_text, "%lld %64s", &size, hex) != 2 || std::strlen(hex) != 64) {
      std::fprintf(stderr, "KVT_BENCH_SIGNED: SIZE SHA256HEX\n");
      return 2;
    }
    signed_file.size = size;
    signed_file.url = "http://127.0.0.1" + path;
    for (std::size_t i = 0; i < signed_file.sha256.size(); ++i) {
      signed_file.sha256[i] =
          static_cast<std::uint8_t>(std::stoi(std::string(hex + 2 * i, 2), nullptr, 16));
    }
  }

  using Clock = std::chrono::steady_clock;
  Clock::time_point last_pump{};
  Clock::duration longest_gap{};
  if (gaps) machine.ui.on_pump = [&] {
    const Clock::time_point now = Clock::now();
    if (last_pump != Clock::time_point{}) longest_gap = std::max(longest_gap, now - last_pump);
    last_pump = now;
  };
  kvt::Fd& fd = kvt::Mupdate::FdInstance();
  fd.Lb.SetWidth(6600);

  const Clock::time_point start = Clock::now();
  const int result = kvt::Mupdate::DownloadFile("http://127.0.0.1" + path, "D:\\" + name,
                                                kvt::text::kDownloadPrefix,
                                                signed_text != nullptr ? &signed_file : nullptr);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const int updates = machine.window.refreshes[kvt::kLb];
  std::printf("result %d bytes %lld seconds %.3f peak_rss_kib %ld pumps %ld longest_pump_gap_ms %.3f updates %d\n",
              result, static_cast<long long>(kvt::Mupdate::ReceivedBytes), seconds,
              usage.ru_maxrss, machine.ui.pumps,
              gaps ? std::chrono::duration<double, std::milli>(longest_gap).count() : -1.0,
              updates);
  return result == -1 ? 0 : 1;
}
