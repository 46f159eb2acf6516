// Plumbing shared by the TCP and TLS transports: listening, resolving and
// connecting, socket tuning and the outcome of a transfer. Both transports
// carry a TCP connection underneath, so they must treat it the same way.
#pragma once

#include "transport/AsioConfig.hpp"

#include <asio.hpp>

#include <chrono>
#include <string>
#include <vector>

#include "transport/Transport.hpp"

namespace korvane {
namespace detail {

/// Requested send and receive buffer size of a connecting socket.
constexpr int SOCKET_BUFFER_SIZE = 0x800000;
constexpr int LISTEN_BACKLOG = 4096;
constexpr auto RESOLVE_FLAGS = asio::ip::resolver_base::address_configured;

/// Keep-alive timing of a transport (idle seconds; 0 keeps the system's).
struct KeepAliveTiming {
    int idleSec;
    int probeCount;
    int probeInterval;
};

/// Whether a finished asynchronous transfer leaves its direction of the
/// connection over for good: the end of the stream or a failure, but not our
/// own cancel or close.
bool ends_direction(const asio::error_code& error);

/// The count a read or write reports: bytes moved, 0 at the end of the
/// stream (even after a partial transfer), -1 with the reason otherwise.
korvane_buf_len_t transfer_result(const asio::error_code& error, std::size_t transferred,
                                  Transport::StatusCode& status);

/// Completion condition of a blocking transfer that hands the system
/// everything still outstanding in each call; asio's own conditions cap a
/// call at 64 KiB, sixteen system calls and wake-ups per MiB.
inline std::size_t transfer_whole(const asio::error_code& error, std::size_t)
{
    return error ? 0 : static_cast<std::size_t>(-1);
}

/// The pieces of a gather write still to go after `done` bytes went out.
std::vector<asio::const_buffer> pieces_after(const std::vector<asio::const_buffer>& pieces, std::size_t done);

/// Opens a listener on the numeric `address` ("*": IPv6 wildcard) and
/// `port`, and only once it listens closes `acceptor` and puts it there.
/// Failures name the step ("open", "set_option", "bind", "listen").
Transport::StatusCode listen_on(asio::io_service& service, Transport::port_t port, const std::string& address,
                                asio::ip::tcp::endpoint& endpoint, asio::ip::tcp::acceptor& acceptor);

/// Stops a listener. Pending accepts are cancelled first: a loop thread that
/// saw the shut-down listener before the cancel would report EINVAL, not an
/// abort. The shutdown wakes a blocking accept, which neither would.
void close_listener(asio::ip::tcp::acceptor& acceptor);

/// Blocking resolve and connect to the first endpoint that accepts;
/// failures carry "resolve: " or "connect: ".
Transport::StatusCode connect_blocking(asio::io_service& service, asio::ip::tcp::socket& socket,
                                       const std::string& address, Transport::port_t port);

/// Keep-alive, TCP_NODELAY and the keep-alive timing (best effort), then the
/// large buffers: the first buffer failure is returned.
asio::error_code tune_client_socket(asio::ip::tcp::socket& socket, const KeepAliveTiming& timing);

/// An accepted socket: keep-alive (its failure is returned), TCP_NODELAY and
/// the listener's keep-alive timing (best effort); the buffers are the
/// client's choice.
asio::error_code tune_accepted_socket(asio::ip::tcp::socket& socket, const KeepAliveTiming& timing);

/// Whether a failed accept ran out of descriptors, buffers or memory
/// (EMFILE, ENFILE, ENOBUFS, ENOMEM): the connection stays in the backlog and
/// an accept tried again at once would fail the same way, spinning.
bool exhausts_resources(const asio::error_code& error);

/// The pause before the next accept after such a failure: 10 ms, doubling
/// up to 1 s. `delay` is the listener's state; a success sets it to 0.
std::chrono::milliseconds grow_backoff(std::chrono::milliseconds& delay);

/// Blocking accept that waits out resource exhaustion with the back-off
/// and tries again; every other outcome is returned.
asio::error_code accept_blocking(asio::ip::tcp::acceptor& acceptor, asio::ip::tcp::socket& socket);

} // namespace detail
} // namespace korvane
