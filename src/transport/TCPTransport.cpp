// TCP transport over asio. Blocking calls run on the caller's thread with
// asio's synchronous operations (which poll when an asynchronous operation
// has left the descriptor non-blocking); asynchronous calls complete on the
// shared loop. Nothing here throws out of an operation: asio is used through
// its error_code overloads and the few allocations are caught.
#include "transport/TCPTransport.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "transport/AsioError.hpp"
#include "transport/KeepAlive.hpp"
#include "transport/StreamPlumbing.hpp"

namespace korvane {

using Status = Transport::StatusCode;
using tcp = asio::ip::tcp;

asio::io_service TCPTransport::m_io_service;

namespace {

Status negative_length()
{
    return detail::status_from(asio::error::invalid_argument);
}

} // namespace

// One asynchronous read or write, moved a step at a time. Each step asks for
// everything still outstanding in one system call (asio's composed
// operations cap each at 64 KiB, a wake-up of the loop per 64 KiB of a large
// frame) and is started under m_mutex.
struct TCPTransport::Transfer {
    char* data;
    std::size_t length;
    bool reading;
    bool all; // reads: until `length` bytes; writes always
    unsigned epoch;
    std::function<void(const asio::error_code&, std::size_t)> finish;
    std::size_t done = 0;

    bool complete() const { return done == length || (reading && !all); }
};

TCPTransport::TCPTransport() : TCPTransport(0, 0, 0) {}

TCPTransport::TCPTransport(int keepAliveSec, int keepAliveProbeCount, int keepAliveInterval)
    : m_socket(m_io_service),
      m_endpoint(),
      m_acceptor(m_io_service),
      m_keepAliveSec(keepAliveSec),
      m_keepAliveProbeCount(keepAliveProbeCount),
      m_keepAliveProbeInterval(keepAliveInterval)
{
}

TCPTransport::TCPTransport(tcp::socket remote_socket)
    : m_socket(std::move(remote_socket)),
      m_endpoint(),
      m_acceptor(m_io_service),
      m_keepAliveSec(0),
      m_keepAliveProbeCount(0),
      m_keepAliveProbeInterval(0)
{
}

TCPTransport::~TCPTransport()
{
    close();
}

unsigned TCPTransport::current_epoch()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closes;
}

void TCPTransport::step(const std::shared_ptr<Transfer>& transfer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (transfer->epoch != m_closes) {
        detail::complete_later(m_io_service, [transfer] { transfer->finish(asio::error::operation_aborted, 0); });
        return;
    }
    try {
        auto on_moved = [this, transfer](const asio::error_code& error, std::size_t moved) {
            transfer->done += moved;
            if (!error && !transfer->complete()) {
                step(transfer);
            } else {
                transfer->finish(error, transfer->done);
            }
        };
        const asio::mutable_buffer rest(transfer->data + transfer->done, transfer->length - transfer->done);
        if (transfer->reading) {
            m_socket.async_read_some(rest, std::move(on_moved));
        } else {
            m_socket.async_write_some(asio::const_buffer(rest), std::move(on_moved));
        }
    } catch (const std::exception&) {
        detail::complete_later(m_io_service, [transfer] { transfer->finish(asio::error::no_memory, 0); });
    }
}

void TCPTransport::reset_directions()
{
    m_read_ended = false;
    m_write_failed = false;
}

bool TCPTransport::setsockopts(int fd)
{
    return detail::apply_keep_alive(fd, m_keepAliveSec, m_keepAliveProbeCount, m_keepAliveProbeInterval);
}

void TCPTransport::set_client_options()
{
    // The buffers are a request the system may trim; nothing to report.
    detail::tune_client_socket(m_socket, {m_keepAliveSec, m_keepAliveProbeCount, m_keepAliveProbeInterval});
}

Status TCPTransport::connect(std::string address, port_t port)
{
    try {
        const Status status = detail::connect_blocking(m_io_service, m_socket, address, port);
        if (!status) {
            return status;
        }
        set_client_options();
        reset_directions();
        return Status();
    } catch (const std::exception& error) {
        return detail::status_from_exception(error);
    }
}

struct TCPTransport::ConnectAttempt {
    explicit ConnectAttempt(asio::io_service& service) : resolver(service) {}
    tcp::resolver resolver;
    // Set by close(): the resolver's own cancel cannot stop a lookup that has
    // already finished on asio's resolver thread.
    std::atomic<bool> abandoned{false};
};

void TCPTransport::connect_async(std::string address, port_t port, connect_handler_t callback)
{
    using iterator = tcp::resolver::results_type::iterator;
    auto on_connect = [this, callback](const asio::error_code& error, iterator endpoint) {
        Status status;
        if (error) {
            status = detail::status_from(error);
        } else if (endpoint == iterator()) {
            status = Status(Status::TRANSPORT_STATUS_HOST_UNREACHABLE, "Host unreachable");
        } else {
            std::lock_guard<std::mutex> lock(m_mutex);
            set_client_options();
            reset_directions();
        }
        callback(*this, status);
    };
    auto on_resolve = [this, callback, on_connect](const std::shared_ptr<ConnectAttempt>& attempt,
                                                   asio::error_code error, tcp::resolver::results_type results) {
        Status status;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!error && attempt->abandoned) {
                error = asio::error::operation_aborted;
            }
            status = error ? detail::status_from(error) : Status();
            if (!error) {
                try {
                    asio::async_connect(m_socket, results.begin(), results.end(), on_connect);
                    return;
                } catch (const std::exception& failure) {
                    status = detail::status_from_exception(failure);
                }
            }
        }
        callback(*this, status);
    };
    try {
        auto attempt = std::make_shared<ConnectAttempt>(m_io_service);
        m_connect_attempt = attempt;
        attempt->resolver.async_resolve(
            address, std::to_string(port), detail::RESOLVE_FLAGS,
            [attempt, on_resolve](const asio::error_code& error, tcp::resolver::results_type results) {
                on_resolve(attempt, error, std::move(results));
            });
    } catch (const std::exception& error) {
        const Status status = detail::status_from_exception(error);
        detail::complete_later(m_io_service, [this, callback, status] { callback(*this, status); });
    }
}

Status TCPTransport::bind(port_t port, std::string address)
{
    try {
        return detail::listen_on(m_io_service, port, address, m_endpoint, m_acceptor);
    } catch (const std::exception& error) {
        return detail::status_from_exception(error);
    }
}

std::unique_ptr<Transport> TCPTransport::adopt(tcp::socket& socket, Status& status)
{
    const asio::error_code error =
        detail::tune_accepted_socket(socket, {m_keepAliveSec, m_keepAliveProbeCount, m_keepAliveProbeInterval});
    if (error) {
        status = detail::status_from("set_option", error);
        return nullptr;
    }
    try {
        std::unique_ptr<Transport> accepted(new TCPTransport(std::move(socket)));
        status = Status();
        return accepted;
    } catch (const std::exception& failure) {
        status = detail::status_from_exception(failure);
        return nullptr;
    }
}

std::unique_ptr<Transport> TCPTransport::accept(Status* status)
{
    Status result;
    std::unique_ptr<Transport> accepted;
    tcp::socket peer(m_io_service);
    asio::error_code error;
    if (m_acceptor.accept(peer, error)) {
        result = detail::status_from("accept", error);
    } else {
        accepted = adopt(peer, result);
    }
    if (status != nullptr) {
        *status = result;
    }
    return accepted;
}

void TCPTransport::accept_async(accept_handler_t callback)
{
    try {
        auto peer = std::make_shared<tcp::socket>(m_io_service);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_acceptor.async_accept(*peer, [this, peer, callback](const asio::error_code& error) {
            Status status;
            std::unique_ptr<Transport> accepted;
            if (error) {
                status = detail::status_from(error);
            } else {
                accepted = adopt(*peer, status);
            }
            callback(*this, std::move(accepted), status);
        });
    } catch (const std::exception& error) {
        const Status status = detail::status_from_exception(error);
        detail::complete_later(m_io_service, [this, callback, status] { callback(*this, nullptr, status); });
    }
}

korvane_buf_len_t TCPTransport::read(korvane_buf_t buffer, korvane_buf_len_t length, Status* status, bool all)
{
    Status result;
    korvane_buf_len_t count = -1;
    if (length < 0) {
        result = negative_length();
    } else {
        asio::error_code error;
        const auto target = asio::buffer(buffer, static_cast<std::size_t>(length));
        // asio::read moves at most 64 KiB per receive (transfer_all's default).
        const std::size_t transferred = all ? asio::read(m_socket, target, error) : m_socket.read_some(target, error);
        count = detail::transfer_result(error, transferred, result);
    }
    if (status != nullptr) {
        *status = result;
    }
    return count;
}

// asio stops trying a descriptor at once after an operation that moved
// nothing and waits for the next readiness event instead; at the end of the
// stream, or after a reset, no further event ever comes, so a second read
// would wait for ever. What the system would report is known: the end again.
void TCPTransport::read_async(korvane_buf_t buffer, korvane_buf_len_t length, read_handler_t callback, bool all)
{
    if (length < 0) {
        detail::complete_later(m_io_service,
                       [this, buffer, length, callback] { callback(*this, -1, buffer, length, negative_length()); });
        return;
    }
    if (m_read_ended) {
        detail::complete_later(m_io_service,
                               [this, buffer, length, callback] { callback(*this, 0, buffer, length, Status()); });
        return;
    }
    try {
        auto on_read = [this, buffer, length, callback](const asio::error_code& error, std::size_t transferred) {
            if (detail::ends_direction(error)) {
                m_read_ended = true;
            }
            Status status;
            const korvane_buf_len_t count = detail::transfer_result(error, transferred, status);
            callback(*this, count, buffer, length, status);
        };
        step(std::make_shared<Transfer>(Transfer{static_cast<char*>(buffer), static_cast<std::size_t>(length), true,
                                                 all, current_epoch(), std::move(on_read)}));
    } catch (const std::exception& error) {
        const Status status = detail::status_from_exception(error);
        detail::complete_later(m_io_service, [this, buffer, length, callback, status] {
            callback(*this, -1, buffer, length, status);
        });
    }
}

korvane_buf_len_t TCPTransport::write(korvane_buf_t buffer, korvane_buf_len_t length, Status* status)
{
    Status failure;
    korvane_buf_len_t count = -1;
    if (length < 0) {
        failure = negative_length();
    } else {
        asio::error_code error;
        // Chunks of at most 64 KiB per send; asio sends with MSG_NOSIGNAL.
        const std::size_t written = asio::write(m_socket, asio::buffer(buffer, static_cast<std::size_t>(length)), error);
        count = detail::transfer_result(error, written, failure);
    }
    if (count < 0 && status != nullptr) {
        *status = failure;
    }
    return count;
}

// A write after a failed one would wait for ever like a read after the end
// (see read_async); the system would report a broken pipe.
void TCPTransport::write_async(korvane_buf_t buffer, korvane_buf_len_t length, write_handler_t callback)
{
    if (length < 0) {
        detail::complete_later(m_io_service, [this, callback] { callback(*this, -1, negative_length()); });
        return;
    }
    if (m_write_failed) {
        detail::complete_later(m_io_service, [this, callback] {
            callback(*this, -1, detail::status_from(asio::error::broken_pipe));
        });
        return;
    }
    try {
        auto on_written = [this, callback](const asio::error_code& error, std::size_t written) {
            if (detail::ends_direction(error)) {
                m_write_failed = true;
            }
            Status status;
            const korvane_buf_len_t count = detail::transfer_result(error, written, status);
            callback(*this, count, status);
        };
        step(std::make_shared<Transfer>(Transfer{static_cast<char*>(buffer), static_cast<std::size_t>(length), false,
                                                 true, current_epoch(), std::move(on_written)}));
    } catch (const std::exception& error) {
        const Status status = detail::status_from_exception(error);
        detail::complete_later(m_io_service, [this, callback, status] { callback(*this, -1, status); });
    }
}

Status TCPTransport::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_closes;
    asio::error_code ignored;
    if (auto attempt = m_connect_attempt.lock()) {
        attempt->abandoned = true;
        attempt->resolver.cancel();
    }
    detail::close_listener(m_acceptor);
    reset_directions();

    if (!m_socket.is_open()) {
        return Status();
    }
    m_socket.cancel(ignored);
    m_socket.shutdown(asio::socket_base::shutdown_both, ignored);
    asio::error_code error;
    m_socket.close(error);
    return error ? detail::status_from(error) : Status();
}

Status TCPTransport::start()
{
    try {
        m_io_service.restart();
        m_io_service.run();
        return Status();
    } catch (const std::system_error& error) {
        return detail::status_from(error.code());
    } catch (const std::exception& error) {
        return detail::status_from_exception(error);
    }
}

void TCPTransport::stop()
{
    m_io_service.stop();
}

} // namespace korvane
