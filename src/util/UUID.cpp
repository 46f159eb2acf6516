// 64-bit random identifiers.
#include "util/UUID.hpp"

#include <sodium.h>

#include "util/Endianness.hpp"

namespace korvane {
namespace crypto {

korvane_uuid64_t uuid64()
{
    unsigned char raw[8];
    randombytes_buf(raw, sizeof raw);
    return endian::load_big64(raw);
}

} // namespace crypto
} // namespace korvane
