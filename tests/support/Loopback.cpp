// Ports, connected pairs and the raw-socket peer for loopback tests.
#include "support/Loopback.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace korvane {
namespace testing {

namespace {

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

std::uint16_t free_port(int type)
{
    const int fd = ::socket(AF_INET, type, 0);
    if (fd < 0) {
        throw std::runtime_error("socket() failed");
    }
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("bind() to port 0 failed");
    }
    ::close(fd);
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

std::uint16_t free_tcp_port()
{
    return free_port(SOCK_STREAM);
}

std::uint16_t free_udp_port()
{
    return free_port(SOCK_DGRAM);
}

ConnectedPair connect_pair(std::unique_ptr<Transport> listener, std::unique_ptr<Transport> client,
                           const std::string& address, std::uint16_t port)
{
    ConnectedPair pair;
    pair.listener = std::move(listener);
    pair.client = std::move(client);
    if (port == 0) {
        port = free_tcp_port();
    }
    pair.status = pair.listener->bind(port, address);
    if (!pair.status) {
        return pair;
    }
    Completion<bool> accepted;
    Transport::StatusCode accept_status;
    std::thread acceptor([&] {
        pair.server = pair.listener->accept(&accept_status);
        accepted.set(true);
    });
    const Transport::StatusCode connected = pair.client->connect(address, port);
    if (!connected || !accepted.wait()) {
        pair.listener->close(); // wakes the blocked accept
    }
    acceptor.join();
    if (!connected) {
        pair.status = connected;
    } else if (!pair.server) {
        pair.status = accept_status;
    }
    return pair;
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
    const std::uint16_t port = free_tcp_port();
    RawSocket listener = RawSocket::listen(port);
    if (!listener.valid()) {
        pair.status = Transport::StatusCode(Transport::StatusCode::TRANSPORT_STATUS_UNKNOWN, "raw listen failed");
        return pair;
    }
    pair.status = client->connect("127.0.0.1", port);
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
