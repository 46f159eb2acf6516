// Ports, connected pairs and the raw-socket peer for loopback tests.
#include "support/Loopback.hpp"

#include <udt/udt.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "socket/BasicSocket.hpp"
#include "transport/TCPTransport.hpp"
#include "transport/TLSTransport.hpp"
#include "transport/TransportFramer.hpp"
#include "transport/UDTTransport.hpp"

namespace korvane {
namespace testing {

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

namespace {

std::uint16_t local_port(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

// A descriptor bound to 127.0.0.1:0, or -1.
int bound_socket(int type)
{
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in address = loopback(0);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The transports and sockets keep these members protected; a derived class
// may name them, and the pointer then applies to any object of the base.
template <typename T>
struct AcceptorOf : T {
    static asio::ip::tcp::acceptor T::*member() { return &AcceptorOf::m_acceptor; }
};

struct UDTSocketOf : UDTTransport {
    static UDTSOCKET UDTTransport::*member() { return &UDTSocketOf::m_socket; }
};

struct FramerOf : BasicSocket {
    static std::shared_ptr<TransportFramer> BasicSocket::*member() { return &FramerOf::m_transport_framer; }
};

template <typename T>
std::uint16_t acceptor_port(Transport& transport)
{
    T* typed = dynamic_cast<T*>(&transport);
    if (typed == nullptr) {
        return 0;
    }
    asio::error_code error;
    const auto endpoint = (typed->*AcceptorOf<T>::member()).local_endpoint(error);
    return error ? 0 : endpoint.port();
}

std::uint16_t udt_port(Transport& transport)
{
    auto* typed = dynamic_cast<UDTTransport*>(&transport);
    if (typed == nullptr) {
        return 0;
    }
    sockaddr_in address{};
    int length = sizeof address;
    if (UDT::getsockname(typed->*UDTSocketOf::member(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

/// Waits for `events` on `fd` until `deadline`; false on timeout or error.
bool wait_for(int fd, short events, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

} // namespace

std::uint16_t bound_port(Transport& listener)
{
    if (const std::uint16_t tcp = acceptor_port<TCPTransport>(listener)) {
        return tcp;
    }
    if (const std::uint16_t tls = acceptor_port<TLSTransport>(listener)) {
        return tls;
    }
    return udt_port(listener);
}

std::uint16_t bound_port(SocketImpl& listener)
{
    auto* basic = dynamic_cast<BasicSocket*>(&listener);
    if (basic == nullptr) {
        return 0;
    }
    const std::shared_ptr<Transport> transport = (basic->*FramerOf::member())->transport();
    return transport ? bound_port(*transport) : 0;
}

SilentPort::SilentPort(PortKind kind)
    : m_fd(bound_socket(kind == PortKind::Tcp ? SOCK_STREAM : SOCK_DGRAM)), m_port(local_port(m_fd))
{
    if (m_fd < 0) {
        throw std::runtime_error("bind() to port 0 failed");
    }
}

SilentPort::~SilentPort()
{
    ::close(m_fd);
}

void join_async(SocketPair& pair, const std::string& address, std::uint16_t port)
{
    using Status = Transport::StatusCode;
    // Shared with the callbacks: one may still come after a missed deadline.
    auto accepted = std::make_shared<Completion<std::pair<Socket, Status>>>();
    auto connected = std::make_shared<Completion<Status>>();
    pair.listener->accept_async([accepted](SocketImpl&, Socket socket, Status status) {
        accepted->set(std::make_pair(std::move(socket), status));
    });
    pair.client->connect(address, port, [connected](SocketImpl&, Status status) { connected->set(status); });
    auto client = connected->wait();
    auto server = accepted->wait();
    if (!client || !server) {
        pair.in_time = false;
        pair.client->close();
        pair.listener->close();
        client = connected->wait();
        server = accepted->wait();
    }
    if (client) {
        pair.client_status = *client;
    }
    if (server) {
        pair.server = std::move(server->first);
        pair.server_status = server->second;
    }
}

RawSocket::~RawSocket()
{
    close();
}

RawSocket::RawSocket(RawSocket&& other) noexcept : m_fd(other.m_fd)
{
    other.m_fd = -1;
}

RawSocket& RawSocket::operator=(RawSocket&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

RawSocket RawSocket::listen(std::uint16_t port)
{
    RawSocket socket(::socket(AF_INET, SOCK_STREAM, 0));
    const int on = 1;
    sockaddr_in address = loopback(port);
    if (!socket.valid() || ::setsockopt(socket.m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(socket.m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket.m_fd, 16) != 0) {
        return RawSocket();
    }
    return socket;
}

std::uint16_t RawSocket::port() const
{
    return local_port(m_fd);
}

RawSocket RawSocket::connect(std::uint16_t port)
{
    RawSocket socket(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address = loopback(port);
    if (!socket.valid() || ::connect(socket.m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return RawSocket();
    }
    return socket;
}

RawSocket RawSocket::accept(std::chrono::milliseconds deadline)
{
    if (!wait_for(m_fd, POLLIN, std::chrono::steady_clock::now() + deadline)) {
        return RawSocket();
    }
    return RawSocket(::accept(m_fd, nullptr, nullptr));
}

bool RawSocket::send_all(const void* data, std::size_t length)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const ssize_t sent = ::send(m_fd, bytes, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

std::vector<unsigned char> RawSocket::receive(std::size_t length, std::chrono::milliseconds deadline)
{
    const auto until = std::chrono::steady_clock::now() + deadline;
    std::vector<unsigned char> bytes(length);
    std::size_t have = 0;
    while (have < length && wait_for(m_fd, POLLIN, until)) {
        const ssize_t got = ::recv(m_fd, bytes.data() + have, length - have, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        have += static_cast<std::size_t>(got);
    }
    bytes.resize(have);
    return bytes;
}

bool RawSocket::at_end(std::chrono::milliseconds deadline)
{
    unsigned char byte;
    if (!wait_for(m_fd, POLLIN, std::chrono::steady_clock::now() + deadline)) {
        return false;
    }
    return ::recv(m_fd, &byte, 1, MSG_PEEK) == 0;
}

void RawSocket::shutdown_write()
{
    ::shutdown(m_fd, SHUT_WR);
}

void RawSocket::shutdown_both()
{
    ::shutdown(m_fd, SHUT_RDWR);
}

void RawSocket::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

RawPair connect_to_raw_peer(std::unique_ptr<Transport> client)
{
    RawPair pair;
    RawSocket listener = RawSocket::listen();
    if (!listener.valid()) {
        pair.status = Transport::StatusCode(Transport::StatusCode::TRANSPORT_STATUS_UNKNOWN, "raw listen failed");
        return pair;
    }
    pair.status = client->connect("127.0.0.1", listener.port());
    if (!pair.status) {
        return pair;
    }
    pair.peer = listener.accept();
    pair.transport = std::move(client);
    return pair;
}

} // namespace testing
} // namespace korvane

#if defined(__SANITIZE_THREAD__)
// libudt is not built with ThreadSanitizer: its threads hand packets over
// through synchronisation the sanitizer cannot see, so every UDT transfer
// would look like a race inside the library.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libudt.so\n";
}
#endif
