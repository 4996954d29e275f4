// Whether a process with a given executable name runs on this computer.
#pragma once

#include <cstdint>
#include <string>

namespace kvt::Mupdate {

// -1 when at least one process of that exact executable name (letter case ignored) runs,
// 0 otherwise; every failure gives 0.
std::int16_t IsProcessRunning(const std::string& name);

}  // namespace kvt::Mupdate
