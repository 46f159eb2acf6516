// The socket-error translation table shared by the TCP and TLS transports.
#include "transport/AsioError.hpp"

#include <asio/post.hpp>

#include <new>
#include <system_error>

namespace korvane {
namespace detail {

using Status = Transport::StatusCode;

Status::transport_status_code_t from_asio_error(const asio::error_code& error)
{
    switch (error.value()) {
    case 1: return Status::TRANSPORT_STATUS_HOST_NOT_FOUND; // EPERM, and the resolver's host-not-found
    case 4: return Status::TRANSPORT_STATUS_INTERRUPTED;
    case 9: return Status::TRANSPORT_STATUS_BAD_DESCRIPTOR;
    case 11: return Status::TRANSPORT_STATUS_TRY_AGAIN;
    case 12: return Status::TRANSPORT_STATUS_NO_MEMORY;
    case 13: return Status::TRANSPORT_STATUS_ACCESS_DENIED;
    case 22: return Status::TRANSPORT_STATUS_INVALID_ARGUMENT;
    case 24: return Status::TRANSPORT_STATUS_NO_DESCRIPTORS;
    case 32: return Status::TRANSPORT_STATUS_BROKEN_PIPE;
    case 36: return Status::TRANSPORT_STATUS_NAME_TOO_LONG;
    case 88: return Status::TRANSPORT_STATUS_NOT_SOCKET;
    case 92: return Status::TRANSPORT_STATUS_NO_PROTOCOL_OPTION;
    case 95: return Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED;
    case 97: return Status::TRANSPORT_STATUS_ADDRESS_FAMILY_NOT_SUPPORTED;
    case 98: return Status::TRANSPORT_STATUS_ADDRESS_IN_USE;
    case 100: return Status::TRANSPORT_STATUS_NETWORK_DOWN;
    case 101: return Status::TRANSPORT_STATUS_NETWORK_UNREACHABLE;
    case 102: return Status::TRANSPORT_STATUS_NETWORK_RESET;
    case 103: return Status::TRANSPORT_STATUS_CONNECTION_ABORTED;
    case 104: return Status::TRANSPORT_STATUS_CONNECTION_RESET;
    case 105: return Status::TRANSPORT_STATUS_NO_BUFFER_SPACE;
    case 106: return Status::TRANSPORT_STATUS_ALREADY_CONNECTED;
    case 107: return Status::TRANSPORT_STATUS_NOT_CONNECTED;
    case 108: return Status::TRANSPORT_STATUS_SHUTDOWN;
    case 110: return Status::TRANSPORT_STATUS_TIMEOUT;
    case 111: return Status::TRANSPORT_STATUS_CONNECTION_REFUSED;
    case 113: return Status::TRANSPORT_STATUS_HOST_UNREACHABLE;
    case 114: return Status::TRANSPORT_STATUS_ALREADY_STARTED;
    case 125: return Status::TRANSPORT_STATUS_OPERATION_ABORTED;
    default: return Status::TRANSPORT_STATUS_UNKNOWN;
    }
}

Status status_from(const asio::error_code& error)
{
    return Status(from_asio_error(error), error.message());
}

Status status_from(const char* step, const asio::error_code& error)
{
    return Status(from_asio_error(error), std::string(step) + ": " + error.message());
}

Status status_from_exception(const std::exception& error)
{
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
        return Status(Status::TRANSPORT_STATUS_NO_MEMORY, error.what());
    }
    if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
        return Status(from_asio_error(system->code()), system->code().message());
    }
    return Status(Status::TRANSPORT_STATUS_UNKNOWN, error.what());
}

void complete_later(asio::io_service& service, const std::function<void()>& completion)
{
    try {
        asio::post(service, completion);
    } catch (const std::exception&) {
        completion();
    }
}

} // namespace detail
} // namespace korvane
