// Random bytes and numbers; libsodium's generator needs no initialisation.
#include "util/Random.hpp"

#include <sodium.h>

namespace korvane {
namespace crypto {
namespace Random {

void bytes(void* buf, unsigned long size)
{
    randombytes_buf(buf, size);
}

std::uint32_t int32()
{
    std::uint32_t value;
    bytes(&value, sizeof value);
    return value;
}

std::uint64_t int64()
{
    std::uint64_t value;
    bytes(&value, sizeof value);
    return value;
}

} // namespace Random
} // namespace crypto
} // namespace korvane
