// The parts of a TLS session that the TLS transport drives by hand rather
// than through asio's stream: a fresh session per connection, the server
// identity a verifying client expects, and a close alert that never blocks.
#pragma once

#include "transport/AsioConfig.hpp"

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <chrono>
#include <string>

namespace korvane {
namespace detail {

using SslStream = asio::ssl::stream<asio::ip::tcp::socket&>;

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

} // namespace detail
} // namespace korvane
