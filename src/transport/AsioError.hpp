// Translation of socket-layer errors (asio error codes) into status codes,
// shared by the TCP and TLS transports. Only the error's numeric value is
// looked at, never its category.
#pragma once

#include <asio/error_code.hpp>
#include <asio/io_service.hpp>

#include <exception>
#include <functional>

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

/// Status for an exception caught inside an operation: NO_MEMORY for
/// bad_alloc, the translated code for a system_error, UNKNOWN otherwise; the
/// text is the error's description.
Transport::StatusCode status_from_exception(const std::exception& error);

/// Runs `completion` on `service`'s loop, as every completion of the TCP and
/// TLS transports runs; only when even queueing it fails does it run here, so
/// the caller still hears back.
void complete_later(asio::io_service& service, const std::function<void()>& completion);

} // namespace detail
} // namespace korvane
