// TLS 1.2 over TCP through asio's SSL stream: context set-up, handshakes
// after every connect and accept, plaintext reads and writes, and a close
// that sends the TLS close alert without ever waiting long for the peer.
#include "transport/TLSTransport.hpp"

#include <openssl/ssl.h>

#include <chrono>
#include <exception>
#include <functional>
#include <new>
#include <system_error>
#include <utility>

#include "transport/AsioError.hpp"
#include "transport/KeepAlive.hpp"
#include "transport/StreamPlumbing.hpp"
#include "transport/TLSSession.hpp"

namespace korvane {

namespace {

using tcp = asio::ip::tcp;
using Status = Transport::StatusCode;

constexpr char CIPHER_LIST[] = "DEFAULT:!LOW:!aNULL:!eNULL:!MD5:!CBC:!3DES:!DSS:!RC4:!DES:!EXPORT";
// The value of SSL_OP_ALL in OpenSSL 3, spelled out so that it cannot drift.
constexpr unsigned long BIND_OPTIONS = SSL_OP_CRYPTOPRO_TLSEXT_BUG | SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS |
                                       SSL_OP_SAFARI_ECDHE_ECDSA_BUG | SSL_OP_TLSEXT_PADDING;
// How long close() waits for the peer to answer our close alert. Long enough
// for a live peer on a LAN to finish its side, short enough that a silent
// peer costs the caller next to nothing.
constexpr std::chrono::milliseconds CLOSE_WAIT{100};

// TLS_method() limited to TLS 1.2 on both ends; asio's constructor also sets
// SSL_OP_NO_COMPRESSION and throws std::system_error "context" on failure.
asio::ssl::context tls12_context()
{
    return asio::ssl::context(asio::ssl::context::tlsv12);
}

asio::ssl::context client_context(bool verifyCertificate)
{
    asio::ssl::context context = tls12_context();
    context.set_default_verify_paths(); // throws "set_default_verify_paths"
    context.set_verify_mode(verifyCertificate ? asio::ssl::verify_peer : asio::ssl::verify_none);
    return context;
}

// No exception leaves an operation: the few that asio or an allocation can
// raise become the operation's status.
template <typename Body>
Status guarded(Body body) noexcept
{
    try {
        return body();
    } catch (const std::exception& error) {
        return detail::status_from_exception(error);
    }
}

korvane_buf_len_t invalid_length(Status* status)
{
    if (status != nullptr) {
        *status = detail::status_from(asio::error::invalid_argument);
    }
    return -1;
}

// Requests that complete without touching the connection: nothing to move
// (success), a negative length, or no connection.
asio::error_code immediate_outcome(korvane_buf_len_t length)
{
    if (length < 0) {
        return asio::error::invalid_argument;
    }
    return length == 0 ? asio::error_code() : asio::error_code(asio::error::bad_descriptor);
}

} // namespace

asio::io_service TLSTransport::m_io_service;

// ---------------------------------------------------------------- construction

TLSTransport::TLSTransport() : TLSTransport(0, 0, 0, std::string(), std::string(), false) {}

TLSTransport::TLSTransport(const std::string& certificate, const std::string& key)
    : TLSTransport(0, 0, 0, certificate, key, false)
{
}

TLSTransport::TLSTransport(int keepAliveSec, int keepAliveProbeCount, int keepAliveInterval,
                           const std::string& certificate, const std::string& key)
    : TLSTransport(keepAliveSec, keepAliveProbeCount, keepAliveInterval, certificate, key, false)
{
}

TLSTransport::TLSTransport(bool verifyCertificate)
    : TLSTransport(0, 0, 0, std::string(), std::string(), verifyCertificate)
{
}

TLSTransport::TLSTransport(int keepAliveSec, int keepAliveProbeCount, int keepAliveInterval, bool verifyCertificate)
    : TLSTransport(keepAliveSec, keepAliveProbeCount, keepAliveInterval, std::string(), std::string(),
                   verifyCertificate)
{
}

TLSTransport::TLSTransport(int keepAliveSec, int keepAliveProbeCount, int keepAliveInterval,
                           const std::string& certificate, const std::string& key, bool verifyCertificate)
    : m_ssl_context(client_context(verifyCertificate)),
      m_socket(m_io_service),
      m_ssl_socket(m_socket, m_ssl_context),
      m_endpoint(asio::ip::address_v4::any(), 0),
      m_acceptor(m_io_service),
      m_certificate(certificate),
      m_key(key),
      m_keepAliveSec(keepAliveSec),
      m_keepAliveProbeCount(keepAliveProbeCount),
      m_keepAliveProbeInterval(keepAliveInterval)
{
    setCipherList();
}

TLSTransport::TLSTransport(asio::ip::tcp::socket remote_socket, asio::ssl::context& context)
    : m_ssl_context(tls12_context()),
      m_socket(std::move(remote_socket)),
      m_ssl_socket(m_socket, context),
      m_endpoint(asio::ip::address_v4::any(), 0),
      m_acceptor(m_io_service),
      m_keepAliveSec(0),
      m_keepAliveProbeCount(0),
      m_keepAliveProbeInterval(0)
{
    setCipherList();
}

TLSTransport::~TLSTransport()
{
    close();
}

bool TLSTransport::setsockopts(int fd)
{
    return detail::apply_keep_alive(fd, m_keepAliveSec, m_keepAliveProbeCount, m_keepAliveProbeInterval);
}

void TLSTransport::setCipherList()
{
    ::SSL_CTX_set_cipher_list(m_ssl_context.native_handle(), CIPHER_LIST);
}

// ---------------------------------------------------------------- connecting

// A stream that has carried a session (or a failed attempt) keeps its state,
// its buffered bytes and the previous host's name checks; every connect
// starts from a fresh one on the same context.
void TLSTransport::renew_session() noexcept
{
    detail::renew_session(m_ssl_socket, m_socket);
}

// Send buffer and receive buffer failures are the caller's to judge; the
// other options are best effort.
asio::error_code TLSTransport::tune_client_socket()
{
    return detail::tune_client_socket(m_socket, {m_keepAliveSec, m_keepAliveProbeCount, m_keepAliveProbeInterval});
}

asio::error_code TLSTransport::expect_server_identity(const std::string& host)
{
    return detail::expect_server_identity(m_ssl_socket.native_handle(), host);
}

Status TLSTransport::connect(std::string address, port_t port)
{
    return guarded([&] {
        close_connection();
        renew_session();
        const Status connected = detail::connect_blocking(m_io_service, m_socket, address, port);
        if (!connected) {
            return connected;
        }
        asio::error_code ec = tune_client_socket();
        if (ec) {
            return detail::status_from("set_option", ec);
        }
        ec = expect_server_identity(address);
        if (!ec) {
            m_ssl_socket.handshake(asio::ssl::stream_base::client, ec);
        }
        return ec ? detail::status_from("handshake", ec) : Status();
    });
}

void TLSTransport::connect_async(std::string address, port_t port, connect_handler_t callback)
{
    try {
        close_connection();
        renew_session();
        const unsigned epoch = m_closes;
        auto resolver = std::make_shared<tcp::resolver>(m_io_service);
        resolver->async_resolve(
            address, std::to_string(port), detail::RESOLVE_FLAGS,
            [this, resolver, address, callback, epoch](asio::error_code ec, tcp::resolver::results_type endpoints) {
                if (!ec && m_closes != epoch) {
                    ec = asio::error::operation_aborted;
                }
                if (ec) {
                    callback(*this, detail::status_from(ec));
                    return;
                }
                asio::async_connect(m_socket, endpoints.begin(), endpoints.end(),
                                    [this, address, callback, epoch, end = endpoints.end()](
                                        asio::error_code ec, tcp::resolver::results_type::iterator next) {
                                        if (m_closes != epoch) {
                                            ec = asio::error::operation_aborted;
                                        }
                                        connected_async(ec, next == end, address, callback);
                                    });
            });
    } catch (const std::exception& error) {
        const Status status = detail::status_from_exception(error);
        detail::complete_later(m_io_service, [this, callback, status] { callback(*this, status); });
    }
}

void TLSTransport::connected_async(const asio::error_code& ec, bool exhausted, const std::string& address,
                                   const connect_handler_t& callback)
{
    if (ec) {
        callback(*this, detail::status_from(ec));
        return;
    }
    if (exhausted) {
        callback(*this, Status(Status::TRANSPORT_STATUS_HOST_UNREACHABLE, "Host unreachable"));
        return;
    }
    tune_client_socket();
    const asio::error_code identity = expect_server_identity(address);
    if (identity) {
        callback(*this, detail::status_from(identity));
        return;
    }
    const unsigned epoch = m_closes;
    m_ssl_socket.async_handshake(asio::ssl::stream_base::client,
                                 asio::bind_executor(m_strand, [this, callback, epoch](asio::error_code ec) {
                                     if (ec && m_closes != epoch) {
                                         ec = asio::error::operation_aborted;
                                     }
                                     callback(*this, ec ? detail::status_from(ec) : Status());
                                 }));
}

// ---------------------------------------------------------------- listening

Status TLSTransport::bind(port_t port, std::string address)
{
    return guarded([&] {
        const Status listening = detail::listen_on(m_io_service, port, address, m_endpoint, m_acceptor);
        return !listening ? listening : load_certificate_and_key();
    });
}

Status TLSTransport::load_certificate_and_key()
{
    asio::error_code ec;
    ::SSL_CTX_set_options(m_ssl_context.native_handle(), BIND_OPTIONS);
    if (m_ssl_context.use_certificate_chain_file(m_certificate, ec)) {
        return detail::status_from("use_certificate_chain_file", ec);
    }
    if (m_ssl_context.use_private_key_file(m_key, asio::ssl::context::pem, ec)) {
        return detail::status_from("use_private_key_file", ec);
    }
    return Status();
}

void TLSTransport::tune_accepted_socket(tcp::socket& socket)
{
    detail::tune_accepted_socket(socket, {m_keepAliveSec, m_keepAliveProbeCount, m_keepAliveProbeInterval});
}

// The accepted side never asks for a client certificate. Construction can
// only fail when OpenSSL cannot make a context; that is reported, not thrown.
std::unique_ptr<TLSTransport> TLSTransport::adopt(tcp::socket socket, Status& failure)
{
    try {
        auto transport = std::make_unique<TLSTransport>(std::move(socket), m_ssl_context);
        asio::error_code ignored;
        transport->m_ssl_socket.set_verify_mode(asio::ssl::verify_none, ignored);
        return transport;
    } catch (const std::exception& error) {
        failure = detail::status_from_exception(error);
    }
    return nullptr;
}

// A failed handshake is reported as an aborted accept, with the TLS error's text.
std::unique_ptr<TLSTransport> TLSTransport::accept_connection(Status& result)
{
    asio::error_code ec;
    tcp::socket socket(m_io_service);
    if (m_acceptor.accept(socket, ec)) {
        result = detail::status_from("accept", ec);
        return nullptr;
    }
    tune_accepted_socket(socket);
    std::unique_ptr<TLSTransport> transport = adopt(std::move(socket), result);
    if (transport && transport->m_ssl_socket.handshake(asio::ssl::stream_base::server, ec)) {
        result = Status(Status::TRANSPORT_STATUS_OPERATION_ABORTED, ec.message());
        return nullptr;
    }
    return transport;
}

std::unique_ptr<Transport> TLSTransport::accept(Status* status)
{
    Status result;
    std::unique_ptr<TLSTransport> transport;
    try {
        transport = accept_connection(result);
    } catch (const std::exception& error) {
        result = detail::status_from_exception(error);
    }
    if (status != nullptr) {
        *status = result;
    }
    return transport;
}

namespace {

// Shared by the accept completion and the handshake completion of one
// accept_async call; a transport whose handshake failed dies with it.
struct TLSHandshakeContext {
    std::unique_ptr<asio::ip::tcp::socket> socket;
    std::unique_ptr<TLSTransport> transport;
};

} // namespace

void TLSTransport::accept_async(accept_handler_t callback)
{
    try {
        auto handshake = std::make_shared<TLSHandshakeContext>();
        handshake->socket = std::make_unique<tcp::socket>(m_io_service);
        m_acceptor.async_accept(*handshake->socket, [this, handshake, callback](const asio::error_code& ec) {
            if (ec) {
                callback(*this, nullptr, detail::status_from(ec));
                return;
            }
            tune_accepted_socket(*handshake->socket);
            Status failure;
            handshake->transport = adopt(std::move(*handshake->socket), failure);
            if (!handshake->transport) {
                callback(*this, nullptr, failure);
                return;
            }
            TLSTransport& accepted = *handshake->transport;
            accepted.m_ssl_socket.async_handshake(
                asio::ssl::stream_base::server,
                asio::bind_executor(accepted.m_strand, [this, handshake, callback](const asio::error_code& ec) {
                    if (ec) {
                        callback(*this, nullptr, detail::status_from(ec));
                        return;
                    }
                    callback(*this, std::move(handshake->transport), Status());
                }));
        });
    } catch (const std::exception& error) {
        const Status status = detail::status_from_exception(error);
        detail::complete_later(m_io_service, [this, callback, status] { callback(*this, nullptr, status); });
    }
}

// ---------------------------------------------------------------- reading and writing

korvane_buf_len_t TLSTransport::read(korvane_buf_t buffer, korvane_buf_len_t length, Status* status, bool all)
{
    if (length < 0) {
        return invalid_length(status);
    }
    asio::error_code ec;
    std::size_t count = 0;
    if (length == 0) {
        // Nothing to wait for.
    } else if (!m_socket.is_open()) {
        ec = asio::error::bad_descriptor;
    } else if (all) {
        count = asio::read(m_ssl_socket, asio::buffer(buffer, static_cast<std::size_t>(length)), ec);
    } else {
        count = m_ssl_socket.read_some(asio::buffer(buffer, static_cast<std::size_t>(length)), ec);
    }
    if (ec && ec != asio::error::eof) {
        if (status != nullptr) {
            *status = detail::status_from(ec);
        }
        return -1;
    }
    if (status != nullptr) {
        *status = Status();
    }
    return ec ? 0 : static_cast<korvane_buf_len_t>(count);
}

// Every step of a session's asynchronous reads and writes runs in the
// transport's strand: a read and a write may be outstanding together, and the
// TLS session must never be entered from two threads at once. Operations are
// started from the strand too (posted, so that no handler runs inside the
// initiating call); one that finds the connection closed meanwhile does not
// touch the stream.
//
// asio stops trying a descriptor at once after an operation that moved
// nothing and waits for the next readiness event instead; at the end of the
// stream, or after a reset, no further event ever comes, so a read after the
// end (or a write after a failure) would wait for ever. Those complete at once
// with what the connection would report: the end again, or a broken pipe.
void TLSTransport::read_async(korvane_buf_t buffer, korvane_buf_len_t length, read_handler_t callback, bool all)
{
    try {
        const unsigned epoch = m_closes;
        auto complete = asio::bind_executor(
            m_strand, [this, buffer, length, callback, epoch](asio::error_code ec, std::size_t count) {
                if (ec && m_closes != epoch) {
                    ec = asio::error::operation_aborted;
                }
                if (detail::ends_direction(ec)) {
                    m_read_ended = true;
                }
                if (ec == asio::error::eof) {
                    callback(*this, 0, buffer, length, Status());
                } else if (ec) {
                    callback(*this, -1, buffer, length, detail::status_from(ec));
                } else {
                    callback(*this, static_cast<long>(count), buffer, length, Status());
                }
            });
        if (length <= 0 || !m_socket.is_open()) {
            asio::post(m_strand, [complete, ec = immediate_outcome(length)]() mutable { complete(ec, 0); });
            return;
        }
        if (m_read_ended) {
            asio::post(m_strand, [complete]() mutable { complete(asio::error::eof, 0); });
            return;
        }
        asio::post(m_strand, [this, buffer, length, all, epoch, complete]() mutable {
            if (m_closes != epoch) {
                complete(asio::error::operation_aborted, 0);
                return;
            }
            const asio::mutable_buffer bytes = asio::buffer(buffer, static_cast<std::size_t>(length));
            if (all) {
                asio::async_read(m_ssl_socket, bytes, std::move(complete));
            } else {
                m_ssl_socket.async_read_some(bytes, std::move(complete));
            }
        });
    } catch (const std::exception& error) {
        const Status status = detail::status_from_exception(error);
        detail::complete_later(m_io_service,
                       [this, buffer, length, callback, status] { callback(*this, -1, buffer, length, status); });
    }
}

korvane_buf_len_t TLSTransport::write(korvane_buf_t buffer, korvane_buf_len_t length, Status* status)
{
    if (length < 0) {
        return invalid_length(status);
    }
    if (length == 0) {
        return 0;
    }
    asio::error_code ec;
    if (!m_socket.is_open()) {
        ec = asio::error::bad_descriptor;
    } else {
        asio::write(m_ssl_socket, asio::buffer(buffer, static_cast<std::size_t>(length)), ec);
    }
    if (ec == asio::error::eof) {
        return 0;
    }
    if (ec) {
        if (status != nullptr) {
            *status = detail::status_from(ec);
        }
        return -1;
    }
    return length;
}

void TLSTransport::write_async(korvane_buf_t buffer, korvane_buf_len_t length, write_handler_t callback)
{
    try {
        const unsigned epoch = m_closes;
        auto complete = asio::bind_executor(m_strand, [this, length, callback, epoch](asio::error_code ec, std::size_t) {
            m_write_in_flight = false;
            if (ec && m_closes != epoch) {
                ec = asio::error::operation_aborted;
            }
            if (detail::ends_direction(ec)) {
                m_write_failed = true;
            }
            if (ec == asio::error::eof) {
                callback(*this, 0, Status());
            } else if (ec) {
                callback(*this, -1, detail::status_from(ec));
            } else {
                callback(*this, static_cast<long>(length), Status());
            }
        });
        if (length <= 0 || !m_socket.is_open()) {
            asio::post(m_strand, [complete, ec = immediate_outcome(length)]() mutable { complete(ec, 0); });
            return;
        }
        if (m_write_failed) {
            asio::post(m_strand, [complete]() mutable { complete(asio::error::broken_pipe, 0); });
            return;
        }
        m_write_in_flight = true;
        asio::post(m_strand, [this, buffer, length, epoch, complete]() mutable {
            if (m_closes != epoch) {
                complete(asio::error::operation_aborted, 0);
                return;
            }
            asio::async_write(m_ssl_socket, asio::buffer(buffer, static_cast<std::size_t>(length)), std::move(complete));
        });
    } catch (const std::exception& error) {
        m_write_in_flight = false;
        const Status status = detail::status_from_exception(error);
        detail::complete_later(m_io_service, [this, callback, status] { callback(*this, -1, status); });
    }
}

// ---------------------------------------------------------------- closing

Status TLSTransport::close()
{
    close_listener();
    return close_connection();
}

void TLSTransport::close_listener()
{
    detail::close_listener(m_acceptor);
}

// Pending operations are cancelled before the session is shut down, so that
// their completions (which may already run on a loop thread) never meet our
// use of the session or of the stream's buffers.
Status TLSTransport::close_connection()
{
    ++m_closes;
    m_read_ended = false;
    m_write_failed = false;
    if (!m_socket.is_open()) {
        return Status();
    }
    asio::error_code ec;
    m_socket.cancel(ec);
    send_close_notify();
    m_socket.shutdown(tcp::socket::shutdown_both, ec);
    m_socket.close(ec);
    return ec ? detail::status_from(ec) : Status();
}

// Never in the middle of a record of an asynchronous write on the wire.
void TLSTransport::send_close_notify()
{
    if (!m_write_in_flight) {
        detail::send_close_notify(m_ssl_socket.native_handle(), m_socket.native_handle(), CLOSE_WAIT);
    }
}

// ---------------------------------------------------------------- event loop

Status TLSTransport::start()
{
    return guarded([] {
        m_io_service.restart();
        m_io_service.run();
        return Status();
    });
}

void TLSTransport::stop()
{
    m_io_service.stop();
}

} // namespace korvane
