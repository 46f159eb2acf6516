// UDT transport: blocking calls into libudt, its errors translated by name.
#include "transport/UDTTransport.hpp"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <udt/udt.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <mutex>

#include "transport/UDTError.hpp"

namespace korvane {

using Status = Transport::StatusCode;

const korvane_size_t UDTTransport::BACKLOG = 10;
korvane_size_t UDTTransport::m_reference_count = 0;

namespace {

const int UDP_BUFFER_SIZE = 65536;

// Constant-initialised, so transports built while other static objects are
// initialised find it ready.
std::mutex g_reference_mutex;

Status unsupported()
{
    return Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Unsupported operation");
}

// The status of the UDT call that just failed on this thread.
Status last_udt_error()
{
    UDT::ERRORINFO& error = UDT::getlasterror();
    return Status(detail::from_udt_error(error.getErrorCode()), error.getErrorMessage());
}

void report(Status* status, Status value)
{
    if (status != nullptr) {
        *status = std::move(value);
    }
}

// The UDT library counts bytes in int; larger requests go in pieces.
int chunk(korvane_buf_len_t remaining)
{
    return static_cast<int>(std::min<korvane_buf_len_t>(remaining, INT_MAX));
}

class AddressList {
public:
    AddressList() = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList()
    {
        if (m_first != nullptr) {
            ::freeaddrinfo(m_first);
        }
    }

    /// IPv4 only; a null `host` stands for the wildcard address.
    bool resolve(const char* host, Transport::port_t port)
    {
        addrinfo hints{};
        hints.ai_flags = AI_PASSIVE;
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = 0;
        const std::string service = std::to_string(port);
        return ::getaddrinfo(host, service.c_str(), &hints, &m_first) == 0 && m_first != nullptr;
    }

    const addrinfo& first() const { return *m_first; }

private:
    addrinfo* m_first = nullptr;
};

Status unresolved(const std::string& address)
{
    return Status(Status::TRANSPORT_STATUS_HOST_NOT_FOUND, "Couldn't resolve hostname: " + address);
}


} // namespace

namespace detail {

Status::transport_status_code_t from_udt_error(int error)
{
    struct Entry {
        int error;
        Status::transport_status_code_t code;
    };
    // Read from the library's constants at first use; first match wins.
    static const Entry table[] = {
        {CUDTException::ECONNSETUP, Status::TRANSPORT_STATUS_CONNECTION_REFUSED},
        {CUDTException::ENOSERVER, Status::TRANSPORT_STATUS_HOST_UNREACHABLE},
        {CUDTException::ECONNREJ, Status::TRANSPORT_STATUS_HOST_UNREACHABLE},
        {CUDTException::ESOCKFAIL, Status::TRANSPORT_STATUS_ADDRESS_FAMILY_NOT_SUPPORTED},
        {CUDTException::ESECFAIL, Status::TRANSPORT_STATUS_ACCESS_DENIED},
        {CUDTException::ECONNFAIL, Status::TRANSPORT_STATUS_CONNECTION_ABORTED},
        {CUDTException::ECONNLOST, Status::TRANSPORT_STATUS_CONNECTION_RESET},
        {CUDTException::ENOCONN, Status::TRANSPORT_STATUS_NOT_CONNECTED},
        {CUDTException::ERESOURCE, Status::TRANSPORT_STATUS_NO_DESCRIPTORS},
        {CUDTException::ENOBUF, Status::TRANSPORT_STATUS_NO_BUFFER_SPACE},
        {CUDTException::EFILE, Status::TRANSPORT_STATUS_ACCESS_DENIED},
        {CUDTException::EINVRDOFF, Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED},
        {CUDTException::ERDPERM, Status::TRANSPORT_STATUS_ACCESS_DENIED},
        {CUDTException::EINVWROFF, Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED},
        {CUDTException::EWRPERM, Status::TRANSPORT_STATUS_ACCESS_DENIED},
        {CUDTException::EINVOP, Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED},
        {CUDTException::EBOUNDSOCK, Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED},
        {CUDTException::ECONNSOCK, Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED},
        {CUDTException::EINVPARAM, Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED},
        {CUDTException::EINVSOCK, Status::TRANSPORT_STATUS_BAD_DESCRIPTOR},
        {CUDTException::EUNBOUNDSOCK, Status::TRANSPORT_STATUS_NOT_CONNECTED},
        {CUDTException::ENOLISTEN, Status::TRANSPORT_STATUS_NOT_CONNECTED},
        {CUDTException::ESTREAMILL, Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED},
        {CUDTException::EDGRAMILL, Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED},
        {CUDTException::EDUPLISTEN, Status::TRANSPORT_STATUS_ADDRESS_IN_USE},
        {CUDTException::ELARGEMSG, Status::TRANSPORT_STATUS_NO_BUFFER_SPACE},
        {CUDTException::EASYNCSND, Status::TRANSPORT_STATUS_NO_BUFFER_SPACE},
        {CUDTException::EASYNCRCV, Status::TRANSPORT_STATUS_NO_DATA},
        {CUDTException::ETIMEOUT, Status::TRANSPORT_STATUS_TIMEOUT},
        {CUDTException::EPEERERR, Status::TRANSPORT_STATUS_CONNECTION_RESET},
    };
    for (const Entry& entry : table) {
        if (entry.error == error) {
            return entry.code;
        }
    }
    return Status::TRANSPORT_STATUS_UNKNOWN;
}

} // namespace detail

UDTTransport::UDTTransport() : UDTTransport(UDP_BUFFER_SIZE, UDP_BUFFER_SIZE) {}

UDTTransport::UDTTransport(int udp_send_buffer, int udp_receive_buffer)
    : m_socket(UDT::INVALID_SOCK), m_connected(false), m_udp_send_buffer(udp_send_buffer),
      m_udp_receive_buffer(udp_receive_buffer)
{
    acquire_library();
}

// An accepted socket inherits its options from the listener; accept() hands
// on the listener's buffer sizes for a later connect or bind of its own.
UDTTransport::UDTTransport(UDTSOCKET remote_socket)
    : m_socket(remote_socket), m_connected(true), m_udp_send_buffer(0), m_udp_receive_buffer(0)
{
    acquire_library();
}

UDTTransport::~UDTTransport()
{
    close();
    release_library();
}

void UDTTransport::acquire_library()
{
    std::lock_guard<std::mutex> lock(g_reference_mutex);
    if (m_reference_count++ == 0) {
        UDT::startup();
    }
}

void UDTTransport::release_library()
{
    std::lock_guard<std::mutex> lock(g_reference_mutex);
    if (m_reference_count == 0) {
        return;
    }
    if (--m_reference_count == 0) {
        UDT::cleanup();
    }
}

void UDTTransport::open_socket(int family, int type, int protocol)
{
    // A handle left by an earlier failed connect (or a second connect/bind
    // without close) would otherwise stay open, unreachable, until cleanup.
    if (m_socket != UDT::INVALID_SOCK) {
        UDT::close(m_socket);
    }
    m_connected = false;
    m_socket = UDT::socket(family, type, protocol);
    if (m_udp_send_buffer > 0) {
        UDT::setsockopt(m_socket, 0, UDP_SNDBUF, &m_udp_send_buffer, sizeof m_udp_send_buffer);
    }
    if (m_udp_receive_buffer > 0) {
        UDT::setsockopt(m_socket, 0, UDP_RCVBUF, &m_udp_receive_buffer, sizeof m_udp_receive_buffer);
    }
}

Status UDTTransport::connect(std::string address, port_t port)
{
    AddressList addresses;
    if (!addresses.resolve(address.c_str(), port)) {
        return unresolved(address);
    }
    const addrinfo& target = addresses.first();
    open_socket(target.ai_family, target.ai_socktype, target.ai_protocol);
    if (UDT::connect(m_socket, target.ai_addr, static_cast<int>(target.ai_addrlen)) == UDT::ERROR) {
        return last_udt_error();
    }
    m_connected = true;
    return Status();
}

Status UDTTransport::bind(port_t port, std::string address)
{
    AddressList addresses;
    if (!addresses.resolve(address == "*" ? nullptr : address.c_str(), port)) {
        return unresolved(address);
    }
    const addrinfo& local = addresses.first();
    open_socket(local.ai_family, local.ai_socktype, local.ai_protocol);
    if (UDT::bind(m_socket, local.ai_addr, static_cast<int>(local.ai_addrlen)) == UDT::ERROR) {
        return last_udt_error();
    }
    if (UDT::listen(m_socket, static_cast<int>(BACKLOG)) == UDT::ERROR) {
        return last_udt_error();
    }
    return Status();
}

std::unique_ptr<Transport> UDTTransport::accept(StatusCode* status)
{
    sockaddr_storage peer{};
    int peer_length = sizeof peer;
    const UDTSOCKET remote = UDT::accept(m_socket, reinterpret_cast<sockaddr*>(&peer), &peer_length);
    if (remote == UDT::INVALID_SOCK) {
        report(status, last_udt_error());
        return nullptr;
    }
    report(status, Status());
    std::unique_ptr<UDTTransport> accepted(new UDTTransport(remote));
    accepted->m_udp_send_buffer = m_udp_send_buffer;
    accepted->m_udp_receive_buffer = m_udp_receive_buffer;
    return accepted;
}

// The UDT library bounds each blocking call by its own option: it gets the
// time left before each call. 0 would mean "do not wait", so at least 1 ms.
bool UDTTransport::bound_next_call(int option, clock_t::time_point deadline, bool& bounded)
{
    int timeout = -1;
    if (deadline != clock_t::time_point::max()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_t::now()).count();
        if (left <= 0) {
            return false;
        }
        timeout = static_cast<int>(std::min<long long>(left, INT_MAX));
    } else if (!bounded) {
        return true;
    }
    UDT::setsockopt(m_socket, 0, static_cast<UDT::SOCKOPT>(option), &timeout, sizeof timeout);
    bounded = timeout >= 0;
    return true;
}

korvane_buf_len_t UDTTransport::read(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status, bool all)
{
    char* const bytes = static_cast<char*>(buffer);
    korvane_buf_len_t total = 0;
    while (total < length) {
        const bool in_time = bound_next_call(UDT_RCVTIMEO, m_read_deadline, m_read_bounded);
        const int received = in_time ? UDT::recv(m_socket, bytes + total, chunk(length - total), 0) : UDT::ERROR;
        if (!in_time || (received == UDT::ERROR && UDT::getlasterror_code() == CUDTException::ETIMEOUT)) {
            report(status, Status(Status::TRANSPORT_STATUS_TIMEOUT, "Read timed out"));
            return -1;
        }
        if (received == UDT::ERROR) {
            if (lost_connection()) {
                break;
            }
            report(status, last_udt_error());
            return -1;
        }
        if (received == 0) {
            break; // the library reports a lost connection this way only in theory
        }
        total += received;
        if (!all) {
            report(status, Status());
            return total;
        }
    }
    report(status, Status());
    return total < length ? 0 : total;
}

korvane_buf_len_t UDTTransport::write(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status)
{
    const char* const bytes = static_cast<const char*>(buffer);
    korvane_buf_len_t sent = 0;
    while (sent < length) {
        const bool in_time = bound_next_call(UDT_SNDTIMEO, m_write_deadline, m_write_bounded);
        const int count = in_time ? UDT::send(m_socket, bytes + sent, chunk(length - sent), 0) : UDT::ERROR;
        if (!in_time || (count == UDT::ERROR && UDT::getlasterror_code() == CUDTException::ETIMEOUT)) {
            report(status, Status(Status::TRANSPORT_STATUS_TIMEOUT, "Write timed out"));
            return -1;
        }
        if (count == UDT::ERROR) {
            if (lost_connection()) {
                return 0;
            }
            report(status, last_udt_error());
            return -1;
        }
        sent += count;
    }
    return length < 1 ? 0 : length;
}

bool UDTTransport::lost_connection() const
{
    const int error = UDT::getlasterror_code();
    return error == CUDTException::ECONNLOST || (m_connected && error == CUDTException::EINVSOCK);
}

Status UDTTransport::close()
{
    m_connected = false;
    if (UDT::close(m_socket) == UDT::ERROR && UDT::getlasterror_code() != CUDTException::EINVSOCK) {
        return last_udt_error();
    }
    return Status();
}

void UDTTransport::connect_async(std::string, port_t, connect_handler_t callback)
{
    callback(*this, unsupported());
}

void UDTTransport::accept_async(accept_handler_t callback)
{
    callback(*this, nullptr, unsupported());
}

void UDTTransport::read_async(korvane_buf_t buffer, korvane_buf_len_t length, read_handler_t callback, bool)
{
    callback(*this, 0, buffer, length, unsupported());
}

void UDTTransport::write_async(korvane_buf_t, korvane_buf_len_t, write_handler_t callback)
{
    callback(*this, -1, unsupported());
}

void UDTTransport::read_deadline(clock_t::time_point deadline)
{
    m_read_deadline = deadline;
}

void UDTTransport::write_deadline(clock_t::time_point deadline)
{
    m_write_deadline = deadline;
}

bool UDTTransport::bounds_waits() const
{
    return true;
}

Status UDTTransport::start()
{
    return unsupported();
}

void UDTTransport::stop() {}

} // namespace korvane
