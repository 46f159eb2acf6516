// Translation of UDT library errors into status codes, by the library's
// CUDTException names rather than their numbers.
#pragma once

#include "transport/Transport.hpp"

namespace korvane {
namespace detail {

/// The table code for a UDT error code (CUDTException::...);
/// TRANSPORT_STATUS_UNKNOWN for codes the table does not list.
Transport::StatusCode::transport_status_code_t from_udt_error(int error);

} // namespace detail
} // namespace korvane
