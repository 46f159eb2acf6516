// Random 64-bit identifiers (the multiplexed socket's group ids).
#pragma once

#include "Types.hpp"

namespace korvane {
namespace crypto {

/// Eight random bytes read as a big-endian number.
korvane_uuid64_t uuid64();

} // namespace crypto
} // namespace korvane
