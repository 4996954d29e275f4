// Serves the network scenario table (tests/net_scenarios.h) on 127.0.0.1 for the Windows tests
// that run under Wine: row <name> on the path /scenario/<name>.
//
//   kvt_scenario_server [PORT]     (0 or nothing: any free port)
//
// Prints "port N" on one line once it listens, then serves until SIGTERM, SIGINT or SIGHUP and
// prints every request it saw on the way out.
#include <cstdio>

#include "net_scenarios.h"
#include "support/test_server.h"

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: %s [PORT]\n", argv[0]);
    return 2;
  }
  return kvt::testing::ServeUntilSignalled("scenario server", argc == 2 ? argv[1] : "0",
                                           kvt::net_scenarios::ServeTable);
}
