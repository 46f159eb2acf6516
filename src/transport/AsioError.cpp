// The socket-error translation table shared by the TCP and TLS transports.
#include "transport/AsioError.hpp"

#include <asio/post.hpp>

#include <cerrno>
#include <new>
#include <system_error>

namespace korvane {
namespace detail {

using Status = Transport::StatusCode;

Status::transport_status_code_t from_asio_error(const asio::error_code& error)
{
    switch (error.value()) {
    case EPERM: return Status::TRANSPORT_STATUS_HOST_NOT_FOUND; // also the resolver's host-not-found (1)
    case EINTR: return Status::TRANSPORT_STATUS_INTERRUPTED;
    case EBADF: return Status::TRANSPORT_STATUS_BAD_DESCRIPTOR;
    case EAGAIN: return Status::TRANSPORT_STATUS_TRY_AGAIN;
    case ENOMEM: return Status::TRANSPORT_STATUS_NO_MEMORY;
    case EACCES: return Status::TRANSPORT_STATUS_ACCESS_DENIED;
    case EINVAL: return Status::TRANSPORT_STATUS_INVALID_ARGUMENT;
    case EMFILE: return Status::TRANSPORT_STATUS_NO_DESCRIPTORS;
    case EPIPE: return Status::TRANSPORT_STATUS_BROKEN_PIPE;
    case ENAMETOOLONG: return Status::TRANSPORT_STATUS_NAME_TOO_LONG;
    case ENOTSOCK: return Status::TRANSPORT_STATUS_NOT_SOCKET;
    case ENOPROTOOPT: return Status::TRANSPORT_STATUS_NO_PROTOCOL_OPTION;
    case EOPNOTSUPP: return Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED;
    case EAFNOSUPPORT: return Status::TRANSPORT_STATUS_ADDRESS_FAMILY_NOT_SUPPORTED;
    case EADDRINUSE: return Status::TRANSPORT_STATUS_ADDRESS_IN_USE;
    case ENETDOWN: return Status::TRANSPORT_STATUS_NETWORK_DOWN;
    case ENETUNREACH: return Status::TRANSPORT_STATUS_NETWORK_UNREACHABLE;
    case ENETRESET: return Status::TRANSPORT_STATUS_NETWORK_RESET;
    case ECONNABORTED: return Status::TRANSPORT_STATUS_CONNECTION_ABORTED;
    case ECONNRESET: return Status::TRANSPORT_STATUS_CONNECTION_RESET;
    case ENOBUFS: return Status::TRANSPORT_STATUS_NO_BUFFER_SPACE;
    case EISCONN: return Status::TRANSPORT_STATUS_ALREADY_CONNECTED;
    case ENOTCONN: return Status::TRANSPORT_STATUS_NOT_CONNECTED;
    case ESHUTDOWN: return Status::TRANSPORT_STATUS_SHUTDOWN;
    case ETIMEDOUT: return Status::TRANSPORT_STATUS_TIMEOUT;
    case ECONNREFUSED: return Status::TRANSPORT_STATUS_CONNECTION_REFUSED;
    case EHOSTUNREACH: return Status::TRANSPORT_STATUS_HOST_UNREACHABLE;
    case EALREADY: return Status::TRANSPORT_STATUS_ALREADY_STARTED;
    case ECANCELED: return Status::TRANSPORT_STATUS_OPERATION_ABORTED;
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
