// Status values and their printable names.
#include "transport/Transport.hpp"

#include <ostream>

namespace korvane {

using Status = Transport::StatusCode;

Status::StatusCode() : m_message(), m_code(TRANSPORT_STATUS_OKAY) {}

Status::StatusCode(transport_status_code_t code, const std::string& message) : m_message(message), m_code(code) {}

Status::operator bool() const
{
    return m_code >= 0;
}

bool Status::operator!() const
{
    return m_code < 0;
}

bool Status::operator==(const StatusCode& other) const
{
    return m_code == other.m_code && m_message == other.m_message;
}

bool Status::operator!=(const StatusCode& other) const
{
    return !(*this == other);
}

bool Status::operator==(const korvane_buf_len_t& code) const
{
    return static_cast<korvane_buf_len_t>(m_code) == code;
}

bool Status::operator!=(const korvane_buf_len_t& code) const
{
    return !(*this == code);
}

std::string Status::message() const
{
    return m_message;
}

Status::transport_status_code_t Status::code() const
{
    return m_code;
}

const char* status_code_name(Status::transport_status_code_t code)
{
    static const char* const names[] = {
        "OKAY", "UNKNOWN", "ACCESS_DENIED", "ADDRESS_FAMILY_NOT_SUPPORTED", "ADDRESS_IN_USE",
        "ALREADY_CONNECTED", "ALREADY_STARTED", "BROKEN_PIPE", "CONNECTION_ABORTED", "CONNECTION_REFUSED",
        "CONNECTION_RESET", "BAD_DESCRIPTOR", "HOST_UNREACHABLE", "HOST_NOT_FOUND", "INTERRUPTED",
        "INVALID_ARGUMENT", "NETWORK_DOWN", "NETWORK_RESET", "NETWORK_UNREACHABLE", "NO_DESCRIPTORS",
        "NO_BUFFER_SPACE", "NO_MEMORY", "NO_PROTOCOL_OPTION", "NOT_CONNECTED", "OPERATION_ABORTED",
        "OPERATION_NOT_SUPPORTED", "SHUTDOWN", "TIMEOUT", "NO_DATA", "PIPELINE_ENCODE_ERROR",
        "PIPELINE_DECODE_ERROR", "MSG_TOO_LARGE", "NAME_TOO_LONG", "NOT_SOCKET", "TRY_AGAIN",
    };
    const korvane_buf_len_t index = -static_cast<korvane_buf_len_t>(code);
    if (index < 0 || index >= static_cast<korvane_buf_len_t>(sizeof names / sizeof names[0])) {
        return "OUT_OF_TABLE";
    }
    return names[index];
}

// A transport that cannot bound its waits ignores deadlines.
void Transport::read_deadline(clock_t::time_point) {}
void Transport::write_deadline(clock_t::time_point) {}
void Transport::connect_timeout(std::chrono::milliseconds) {}
void Transport::handshake_timeout(std::chrono::milliseconds) {}

bool Transport::bounds_waits() const
{
    return false;
}

std::ostream& operator<<(std::ostream& out, const Status& status)
{
    out << status_code_name(status.code()) << " (" << static_cast<korvane_buf_len_t>(status.code()) << ")";
    const std::string text = status.message();
    if (!text.empty()) {
        out << ": " << text;
    }
    return out;
}

} // namespace korvane
