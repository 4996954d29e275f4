#include "net/netcheck.h"

#include "kvt/build_config.h"
#include "platform/platform.h"

namespace kvt::Mnetcheck {

std::int16_t CanResolveHost() {
  platform::Resolver& resolver = *platform::Sys().resolver;
  // Every call starts and cleans up the socket layer itself; a failed start-up shows as a
  // failed lookup.
  (void)resolver.Startup(0x0101);
  const bool resolved = resolver.GetHostByName(build::kProbeHost);
  (void)resolver.Cleanup();
  return resolved ? -1 : 0;
}

}  // namespace kvt::Mnetcheck
