// How the built-in stages report: a failure is a null Message plus a status,
// a success is the output plus the default status. `status` may be null.
#pragma once

#include "message/Message.hpp"
#include "transport/Transport.hpp"

namespace korvane {
namespace detail {

inline Message stage_failure(Transport::StatusCode* status, Transport::StatusCode::transport_status_code_t code,
                             const char* text)
{
    if (status != nullptr) {
        *status = Transport::StatusCode(code, text);
    }
    return Message();
}

inline Message stage_success(Transport::StatusCode* status, Message output)
{
    if (status != nullptr) {
        *status = Transport::StatusCode();
    }
    return output;
}

} // namespace detail
} // namespace korvane
