// The server side of the network scenario table: every row answered on its own path.
#include "net_scenarios.h"

#include "support/test_server.h"

namespace kvt::net_scenarios {

void ServeTable(kvt::testing::TestServer& server) {
  using kvt::testing::Response;
  for (const Scenario& s : Table()) {
    // As the vendor's web server answers a request that asks to close: the client keeps no
    // connection for a later request (which would otherwise read the unread rest of a body).
    Response r = Response::Status(s.status_line, Body(s)).Header("Connection: close");
    if (s.length == Length::kAbsent) r.NoLength();
    if (s.length == Length::kGiven) r.Length(s.announced);
    if (s.ending == Ending::kClose) r.CloseAfter(s.end_after);
    if (s.ending == Ending::kReset) r.ResetAfter(s.end_after);
    server.Route(ServerPath(s), std::move(r));
  }
}

}  // namespace kvt::net_scenarios
