// TLS 1.2 over TCP through asio's SSL stream: context set-up, handshakes
// after every connect and accept, plaintext reads and writes, and a close
// that sends the TLS close alert without ever waiting long for the peer.
#include "transport/TLSTransport.hpp"

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <exception>
#include <functional>
#include <new>
#include <system_error>
#include <utility>

#include "transport/AsioError.hpp"
#include "transport/Deadline.hpp"
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
    open_accept_queue();
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
    open_accept_queue();
}

TLSTransport::~TLSTransport()
{
    close();
    release_accept_queue();
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
        const Status connected =
            m_connect_timeout.count() > 0
                ? detail::connect_within(m_socket, address, port, detail::deadline_after(m_connect_timeout))
                : detail::connect_blocking(m_io_service, m_socket, address, port);
        if (!connected) {
            return connected;
        }
        asio::error_code ec = tune_client_socket();
        if (ec) {
            return detail::status_from("set_option", ec);
        }
        ec = expect_server_identity(address);
        if (!ec) {
            ec = handshake_within(asio::ssl::stream_base::client);
        }
        if (ec == asio::error::timed_out) {
            return detail::timed_out("TLS handshake");
        }
        return ec ? detail::status_from("handshake", ec) : Status();
    });
}

asio::error_code TLSTransport::handshake_within(asio::ssl::stream_base::handshake_type side)
{
    asio::error_code ec;
    if (m_handshake_timeout.count() <= 0) {
        m_ssl_socket.handshake(side, ec);
        return ec;
    }
    return detail::run_bounded(m_socket, detail::deadline_after(m_handshake_timeout), [&] {
        asio::error_code step;
        m_ssl_socket.handshake(side, step);
        return step;
    });
}

// One connect_async: its timer bounds first resolution and connect, then the
// handshake. Every step runs in the strand, the timer's expiry too.
struct TLSTransport::ConnectAttempt {
    explicit ConnectAttempt(asio::io_service& service) : resolver(service), timer(service) {}
    tcp::resolver resolver;
    asio::steady_timer timer;
    const char* step = "Connect"; // what the timer bounds now
    bool expired = false;
    bool finished = false;
};

void TLSTransport::connect_async(std::string address, port_t port, connect_handler_t callback)
{
    try {
        close_connection();
        renew_session();
        const unsigned epoch = m_closes;
        auto attempt = std::make_shared<ConnectAttempt>(m_io_service);
        bound_attempt(attempt, "Connect", m_connect_timeout);
        attempt->resolver.async_resolve(
            address, std::to_string(port), detail::RESOLVE_FLAGS,
            asio::bind_executor(m_strand, [this, attempt, address, callback,
                                           epoch](asio::error_code ec, tcp::resolver::results_type endpoints) {
                if (!ec && (m_closes != epoch || attempt->expired)) {
                    ec = asio::error::operation_aborted;
                }
                if (ec) {
                    finish_attempt(*attempt, detail::status_from(ec), callback);
                    return;
                }
                asio::async_connect(m_socket, endpoints.begin(), endpoints.end(),
                                    asio::bind_executor(m_strand, [this, attempt, address, callback, epoch,
                                                                   end = endpoints.end()](
                                                                      asio::error_code ec,
                                                                      tcp::resolver::results_type::iterator next) {
                                        if (m_closes != epoch) {
                                            ec = asio::error::operation_aborted;
                                        }
                                        connected_async(attempt, ec, next == end, address, callback);
                                    }));
            }));
    } catch (const std::exception& error) {
        const Status status = detail::status_from_exception(error);
        detail::complete_later(m_io_service, [this, callback, status] { callback(*this, status); });
    }
}

void TLSTransport::bound_attempt(const std::shared_ptr<ConnectAttempt>& attempt, const char* step,
                                 std::chrono::milliseconds bound)
{
    attempt->step = step;
    attempt->timer.cancel();
    if (bound.count() <= 0) {
        return;
    }
    attempt->timer.expires_after(bound);
    std::weak_ptr<ConnectAttempt> weak = attempt;
    attempt->timer.async_wait(asio::bind_executor(m_strand, [this, weak](const asio::error_code& error) {
        const auto expiring = weak.lock();
        if (error || !expiring || expiring->finished) {
            return;
        }
        expiring->expired = true;
        expiring->resolver.cancel();
        asio::error_code ignored;
        m_socket.cancel(ignored);
    }));
}

// A step that failed because the timer cancelled it reports the bound.
void TLSTransport::finish_attempt(ConnectAttempt& attempt, Status status, const connect_handler_t& callback)
{
    attempt.finished = true;
    attempt.timer.cancel();
    if (attempt.expired && !status) {
        status = detail::timed_out(attempt.step);
    }
    callback(*this, status);
}

void TLSTransport::connected_async(const std::shared_ptr<ConnectAttempt>& attempt, const asio::error_code& ec,
                                   bool exhausted, const std::string& address, const connect_handler_t& callback)
{
    if (ec || exhausted) {
        finish_attempt(*attempt,
                       ec ? detail::status_from(ec)
                          : Status(Status::TRANSPORT_STATUS_HOST_UNREACHABLE, "Host unreachable"),
                       callback);
        return;
    }
    tune_client_socket();
    const asio::error_code identity = expect_server_identity(address);
    if (identity) {
        finish_attempt(*attempt, detail::status_from(identity), callback);
        return;
    }
    const unsigned epoch = m_closes;
    bound_attempt(attempt, "TLS handshake", m_handshake_timeout);
    m_ssl_socket.async_handshake(asio::ssl::stream_base::client,
                                 asio::bind_executor(m_strand, [this, attempt, callback, epoch](asio::error_code ec) {
                                     if (ec && m_closes != epoch) {
                                         ec = asio::error::operation_aborted;
                                     }
                                     finish_attempt(*attempt, ec ? detail::status_from(ec) : Status(), callback);
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
        transport->m_connect_timeout = m_connect_timeout;
        transport->m_handshake_timeout = m_handshake_timeout;
        asio::error_code ignored;
        transport->m_ssl_socket.set_verify_mode(asio::ssl::verify_none, ignored);
        return transport;
    } catch (const std::exception& error) {
        failure = detail::status_from_exception(error);
    }
    return nullptr;
}

// ---------------------------------------------------------------- reading and writing

namespace {

asio::cancellation_slot slot_of(const std::shared_ptr<detail::OperationDeadline>& deadline)
{
    return deadline ? deadline->signal.slot() : asio::cancellation_slot();
}

// Whether the operation ended because its deadline cancelled it; stops the
// timer either way. Runs in the strand.
bool ended_by(const std::shared_ptr<detail::OperationDeadline>& deadline, const asio::error_code& ec)
{
    if (!deadline) {
        return false;
    }
    deadline->timer.cancel();
    return deadline->expired && (ec == asio::error::operation_aborted || ec == asio::error::timed_out);
}

} // namespace

std::shared_ptr<detail::OperationDeadline> TLSTransport::arm(clock_t::time_point deadline)
{
    if (deadline == detail::NO_DEADLINE) {
        return nullptr;
    }
    auto armed = std::make_shared<detail::OperationDeadline>(m_io_service);
    armed->timer.expires_at(deadline);
    std::weak_ptr<detail::OperationDeadline> weak = armed;
    armed->timer.async_wait(asio::bind_executor(m_strand, [weak](const asio::error_code& error) {
        const auto expiring = weak.lock();
        if (!error && expiring) {
            expiring->expired = true;
            expiring->signal.emit(asio::cancellation_type::terminal);
        }
    }));
    return armed;
}

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
    } else if (m_read_deadline != detail::NO_DEADLINE) {
        char* data = static_cast<char*>(buffer);
        const auto wanted = static_cast<std::size_t>(length);
        ec = detail::run_bounded(m_socket, m_read_deadline, [&] {
            asio::error_code step;
            do {
                count += m_ssl_socket.read_some(asio::buffer(data + count, wanted - count), step);
            } while (!step && all && count < wanted);
            return step;
        });
    } else if (all) {
        count = asio::read(m_ssl_socket, asio::buffer(buffer, static_cast<std::size_t>(length)), detail::transfer_whole, ec);
    } else {
        count = m_ssl_socket.read_some(asio::buffer(buffer, static_cast<std::size_t>(length)), ec);
    }
    if (ec && ec != asio::error::eof) {
        if (status != nullptr) {
            *status = ec == asio::error::timed_out ? detail::timed_out("Read") : detail::status_from(ec);
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
        const std::shared_ptr<detail::OperationDeadline> deadline = arm(m_read_deadline);
        ++m_outstanding;
        auto complete = asio::bind_executor(
            m_strand, [this, buffer, length, callback, epoch, deadline](asio::error_code ec, std::size_t count) {
                --m_outstanding;
                if (ec && m_closes != epoch) {
                    ec = asio::error::operation_aborted;
                }
                if (ended_by(deadline, ec)) {
                    callback(*this, -1, buffer, length, detail::timed_out("Read"));
                    return;
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
        asio::post(m_strand, [this, buffer, length, all, epoch, deadline, complete]() mutable {
            if (m_closes != epoch || (deadline && deadline->expired)) {
                complete(m_closes != epoch ? asio::error::operation_aborted : asio::error::timed_out, 0);
                return;
            }
            const asio::mutable_buffer bytes = asio::buffer(buffer, static_cast<std::size_t>(length));
            auto bound = asio::bind_cancellation_slot(slot_of(deadline), std::move(complete));
            if (all) {
                asio::async_read(m_ssl_socket, bytes, std::move(bound));
            } else {
                m_ssl_socket.async_read_some(bytes, std::move(bound));
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
    } else if (m_write_deadline != detail::NO_DEADLINE) {
        ec = detail::write_within(m_ssl_socket.native_handle(), m_socket.native_handle(), static_cast<char*>(buffer),
                                  static_cast<std::size_t>(length), m_write_deadline);
    } else {
        asio::write(m_ssl_socket, asio::buffer(buffer, static_cast<std::size_t>(length)), detail::transfer_whole, ec);
    }
    if (ec == asio::error::eof) {
        return 0;
    }
    if (ec) {
        if (status != nullptr) {
            *status = ec == asio::error::timed_out ? detail::timed_out("Write") : detail::status_from(ec);
        }
        return -1;
    }
    return length;
}

void TLSTransport::write_async(korvane_buf_t buffer, korvane_buf_len_t length, write_handler_t callback)
{
    try {
        const unsigned epoch = m_closes;
        const std::shared_ptr<detail::OperationDeadline> deadline = arm(m_write_deadline);
        ++m_outstanding;
        auto complete = asio::bind_executor(m_strand, [this, length, callback, epoch,
                                                       deadline](asio::error_code ec, std::size_t) {
            --m_outstanding;
            m_write_in_flight = false;
            if (ec && m_closes != epoch) {
                ec = asio::error::operation_aborted;
            }
            if (ended_by(deadline, ec)) {
                callback(*this, -1, detail::timed_out("Write"));
                return;
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
        asio::post(m_strand, [this, buffer, length, epoch, deadline, complete]() mutable {
            if (m_closes != epoch || (deadline && deadline->expired)) {
                complete(m_closes != epoch ? asio::error::operation_aborted : asio::error::timed_out, 0);
                return;
            }
            asio::async_write(m_ssl_socket, asio::buffer(buffer, static_cast<std::size_t>(length)),
                              asio::bind_cancellation_slot(slot_of(deadline), std::move(complete)));
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
    if (m_outstanding == 0 || m_strand.running_in_this_thread()) {
        return close_connection();
    }
    return close_in_strand();
}

namespace {

// A close handed to the strand; whoever claims it first runs it.
struct StrandClose {
    std::atomic<bool> claimed{false};
    std::mutex mutex;
    std::condition_variable finished_cv;
    bool finished = false;
    Status status;
};

// How long close() waits for the strand before closing on its own thread: a
// strand that does not run by then has no loop thread free to run it.
constexpr std::chrono::milliseconds STRAND_CLOSE_WAIT{200};

} // namespace

// With asynchronous operations outstanding, a loop thread may be inside the
// session right now: the close runs in the strand, between their steps. When
// no loop thread takes it up in time, nothing can be inside the session
// either but the close itself, which then runs here.
Status TLSTransport::close_in_strand()
{
    auto job = std::make_shared<StrandClose>();
    auto run = [this, job] {
        if (job->claimed.exchange(true)) {
            return;
        }
        const Status status = close_connection();
        std::lock_guard<std::mutex> lock(job->mutex);
        job->status = status;
        job->finished = true;
        job->finished_cv.notify_all();
    };
    try {
        asio::post(m_strand, run);
    } catch (const std::exception&) {
        return close_connection();
    }
    std::unique_lock<std::mutex> lock(job->mutex);
    if (!job->finished_cv.wait_for(lock, STRAND_CLOSE_WAIT, [&] { return job->finished; }) &&
        !job->claimed.exchange(true)) {
        lock.unlock();
        return close_connection();
    }
    job->finished_cv.wait(lock, [&] { return job->finished; });
    return job->status;
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

// ---------------------------------------------------------------- deadlines

void TLSTransport::read_deadline(clock_t::time_point deadline)
{
    m_read_deadline = deadline;
}

void TLSTransport::write_deadline(clock_t::time_point deadline)
{
    m_write_deadline = deadline;
}

void TLSTransport::connect_timeout(std::chrono::milliseconds timeout)
{
    m_connect_timeout = timeout;
}

void TLSTransport::handshake_timeout(std::chrono::milliseconds timeout)
{
    m_handshake_timeout = timeout;
}

void TLSTransport::post(std::function<void()> work)
{
    asio::post(m_io_service, std::move(work));
}

bool TLSTransport::bounds_waits() const
{
    return true;
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
