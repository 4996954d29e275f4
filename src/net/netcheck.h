// Module Mnetcheck: the connectivity probe.
#pragma once

#include <cstdint>

namespace kvt::Mnetcheck {

// -1 when the probe host name resolves through the socket layer, 0 otherwise.
std::int16_t CanResolveHost();

}  // namespace kvt::Mnetcheck
