// SHA-256 fingerprints of release files, through the POSIX crypto adapter (libcrypto), the same
// SHA-256 the installer's Linux build checks downloads with.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "signature_text.h"  // Sha256Hex

namespace kvt::release {

// The digest and size of a file, read in pieces; false when it cannot be read.
bool Sha256File(const std::string& path, std::string& hex, std::uint64_t& size);

}  // namespace kvt::release
