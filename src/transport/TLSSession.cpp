// Session handling of the TLS transport that works on OpenSSL directly.
#include "transport/TLSSession.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <new>

namespace korvane {
namespace detail {

namespace {

asio::error_code last_ssl_error()
{
    const unsigned long error = ::ERR_get_error();
    if (error == 0) {
        return asio::error::invalid_argument;
    }
    return asio::error_code(static_cast<int>(error), asio::error::get_ssl_category());
}

bool send_now(int fd, const char* data, long size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= sent;
    }
    return true;
}

// Discards what the peer still sends until it closes its side, an error, or
// the deadline. Draining keeps unread bytes from turning our close into a
// reset, which would throw away data still queued for the peer.
void await_peer_close(int fd, std::chrono::milliseconds budget)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + budget;
    char sink[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) {
            return;
        }
        const ssize_t got = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (got == 0) {
            return;
        }
        if (got > 0 || errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return;
        }
        pollfd wanted{fd, POLLIN, 0};
        if (::poll(&wanted, 1, static_cast<int>(left)) == 0) {
            return;
        }
    }
}

} // namespace

void renew_session(SslStream& stream, asio::ip::tcp::socket& socket) noexcept
{
    SSL* fresh = ::SSL_new(::SSL_get_SSL_CTX(stream.native_handle()));
    if (fresh == nullptr) {
        return;
    }
    stream.~SslStream();
    new (&stream) SslStream(socket, fresh);
}

// A trusted chain alone would let any certificate from any trusted authority
// stand in for this host: a verifying client also names the host it expects.
asio::error_code expect_server_identity(SSL* ssl, const std::string& host)
{
    if ((::SSL_get_verify_mode(ssl) & SSL_VERIFY_PEER) == 0) {
        return asio::error_code();
    }
    ::ERR_clear_error();
    asio::error_code not_an_address;
    const asio::ip::address ip = asio::ip::make_address(host, not_an_address);
    bool ok = false;
    if (!not_an_address && ip.is_v4()) {
        const auto bytes = ip.to_v4().to_bytes();
        ok = ::X509_VERIFY_PARAM_set1_ip(::SSL_get0_param(ssl), bytes.data(), bytes.size()) == 1;
    } else if (!not_an_address) {
        const auto bytes = ip.to_v6().to_bytes();
        ok = ::X509_VERIFY_PARAM_set1_ip(::SSL_get0_param(ssl), bytes.data(), bytes.size()) == 1;
    } else {
        ::SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        ok = ::SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 && ::SSL_set1_host(ssl, host.c_str()) == 1;
    }
    return ok ? asio::error_code() : last_ssl_error();
}

// The alert is produced into a memory BIO of its own: the stream's own path
// would wait on a full send buffer and then for the peer's alert, both
// without limit.
void send_close_notify(SSL* ssl, int fd, std::chrono::milliseconds wait)
{
    if (::SSL_is_init_finished(ssl) == 0 || (::SSL_get_shutdown(ssl) & SSL_SENT_SHUTDOWN) != 0) {
        return;
    }
    BIO* alert = ::BIO_new(::BIO_s_mem());
    if (alert == nullptr) {
        return;
    }
    ::SSL_set0_wbio(ssl, alert);
    ::ERR_clear_error();
    ::SSL_shutdown(ssl);
    ::ERR_clear_error();
    char* bytes = nullptr;
    const long size = BIO_get_mem_data(alert, &bytes);
    if (size <= 0 || !send_now(fd, bytes, size) || (::SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN) != 0) {
        return;
    }
    // Our end-of-stream right behind the alert lets a peer that is closing
    // too see the end at once instead of waiting out its own deadline.
    ::shutdown(fd, SHUT_WR);
    await_peer_close(fd, wait);
}

} // namespace detail
} // namespace korvane
