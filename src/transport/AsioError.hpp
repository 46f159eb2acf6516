// Translation of socket-layer errors (asio error codes) into status codes,
// shared by the TCP and TLS transports. Only the error's numeric value is
// looked at, never its category.
#pragma once

#include <asio/error_code.hpp>

#include <string>

#include "transport/Transport.hpp"

namespace korvane {
namespace detail {

/// The table code for `error`'s value; TRANSPORT_STATUS_UNKNOWN outside 1..125
/// and for values the table does not list.
Transport::StatusCode::transport_status_code_t from_asio_error(const asio::error_code& error);

/// Status with the error's own text.
Transport::StatusCode status_from(const asio::error_code& error);

/// Status whose text is "<step>: <error's text>", as for a failing named step
/// ("resolve", "connect", "bind", "accept", "set_option", ...).
Transport::StatusCode status_from(const char* step, const asio::error_code& error);

} // namespace detail
} // namespace korvane
