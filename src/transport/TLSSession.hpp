// The parts of a TLS session that the TLS transport drives by hand rather
// than through asio's stream: a fresh session per connection, the server
// identity a verifying client expects, and a close alert that never blocks.
#pragma once

#include "transport/AsioConfig.hpp"

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <poll.h>

#include <chrono>
#include <string>

#include "transport/Deadline.hpp"

namespace korvane {
namespace detail {

using SslStream = asio::ssl::stream<asio::ip::tcp::socket&>;

/// A deadline beside one asynchronous operation of a session. Its timer runs
/// in the session's strand, like every step of the operation, and cancels
/// only that operation through its cancellation slot; an operation not yet
/// started when it fired sees `expired` and does not start.
struct OperationDeadline {
    explicit OperationDeadline(asio::io_service& service) : timer(service) {}
    asio::steady_timer timer;
    asio::cancellation_signal signal;
    bool expired = false;
};

/// Replaces `stream` by one with a new session on the same context, so that
/// no state, buffered byte or host check of an earlier connection survives.
/// Keeps the old stream when OpenSSL cannot make a session.
void renew_session(SslStream& stream, asio::ip::tcp::socket& socket) noexcept;

/// Has a verifying client's session check the server's certificate against
/// `host` (SNI and name checks for names, IP entries for addresses). Nothing
/// for a client that does not verify; OpenSSL's error on failure.
asio::error_code expect_server_identity(SSL* ssl, const std::string& host);

/// Sends the close alert of a finished handshake straight to `fd` without
/// blocking, ends our direction and drains the peer for at most `wait`.
/// Afterwards the session writes only into a memory buffer of its own.
void send_close_notify(SSL* ssl, int fd, std::chrono::milliseconds wait);

/// Runs `step` (synchronous calls on a stream over `socket` that report
/// would_block when they need input) with the socket non-blocking, waiting
/// for input between tries until `deadline` (then asio::error::timed_out).
/// Bytes OpenSSL already holds are consumed before any wait. Only steps
/// whose output fits the empty send buffer (handshakes, reads) may run so:
/// a would_block on output would lose ciphertext.
template <typename Step>
asio::error_code run_bounded(asio::ip::tcp::socket& socket, Clock::time_point deadline, Step step)
{
    asio::error_code error;
    socket.non_blocking(true, error);
    while (!error) {
        error = step();
        if (error != asio::error::would_block) {
            break;
        }
        error = wait_ready(socket.native_handle(), POLLIN, deadline) ? asio::error_code()
                                                                      : asio::error_code(asio::error::timed_out);
    }
    asio::error_code ignored;
    socket.non_blocking(false, ignored);
    return error;
}

/// Writes `length` plaintext bytes through the established session `ssl`
/// straight to `fd`, waiting for room until `deadline` (then
/// asio::error::timed_out, the stream at an unknown point). The session's
/// own output path is back in place afterwards.
asio::error_code write_within(SSL* ssl, int fd, const char* data, std::size_t length, Clock::time_point deadline);

} // namespace detail
} // namespace korvane
