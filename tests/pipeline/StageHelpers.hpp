// Small helpers shared by the pipeline tests.
#pragma once

#include <cstring>
#include <string>

#include "message/Message.hpp"
#include "transport/Transport.hpp"
#include "util/Random.hpp"

namespace korvane {
namespace testing {

using Status = Transport::StatusCode;

inline Message random_message(korvane_buf_len_t length)
{
    Message message(length);
    if (length > 0) {
        crypto::Random::bytes(message.buffer(), static_cast<unsigned long>(length));
    }
    return message;
}

inline Message filled_message(korvane_buf_len_t length, unsigned char value)
{
    Message message(length);
    std::memset(message.buffer(), value, static_cast<std::size_t>(length));
    return message;
}

inline bool same_bytes(const Message& lhs, const Message& rhs)
{
    return lhs.length() == rhs.length() && !lhs.null()
        && std::memcmp(lhs.buffer(), rhs.buffer(), static_cast<std::size_t>(lhs.length())) == 0;
}

inline unsigned char byte_at(const Message& message, korvane_buf_len_t index)
{
    return static_cast<const unsigned char*>(message.buffer())[index];
}

inline Status encode_error(const char* text)
{
    return Status(Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, text);
}

inline Status decode_error(const char* text)
{
    return Status(Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, text);
}

} // namespace testing
} // namespace korvane
