// Serves the network scenario table (tests/net_scenarios.h) on 127.0.0.1 for the Windows tests
// that run under Wine: row <name> on the path /scenario/<name>.
//
//   kvt_scenario_server [PORT]     (0 or nothing: any free port)
//
// Prints "port N" on one line once it listens, then serves until SIGTERM, SIGINT or SIGHUP and
// prints every request line it saw to standard error on the way out.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "net_scenarios.h"
#include "support/test_server.h"

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: %s [PORT]\n", argv[0]);
    return 2;
  }
  const long port = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
  if (port < 0 || port > 65535) {
    std::fprintf(stderr, "bad port %s\n", argv[1]);
    return 2;
  }

  // Block the ending signals before the server's threads start, so that they all reach sigwait.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGTERM);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);

  try {
    kvt::testing::TestServer server(static_cast<std::uint16_t>(port));
    kvt::net_scenarios::ServeTable(server);
    std::printf("port %u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);

    int signal_number = 0;
    sigwait(&ending, &signal_number);
    server.Stop();
    for (const kvt::testing::RecordedRequest& r : server.Requests()) {
      std::fprintf(stderr, "%s %s %s\n", r.method.c_str(), r.target.c_str(), r.version.c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scenario server: %s\n", e.what());
    return 1;
  }
  return 0;
}
