// TCP transport over asio. Blocking calls run on the caller's thread with
// asio's synchronous operations (which poll when an asynchronous operation
// has left the descriptor non-blocking); asynchronous calls complete on the
// shared loop. Nothing here throws out of an operation: asio is used through
// its error_code overloads and the few allocations are caught.
#include "transport/TCPTransport.hpp"

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "transport/AsioError.hpp"
#include "transport/Deadline.hpp"
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

std::vector<asio::const_buffer> asio_buffers(const Transport::ConstBuffer* pieces, std::size_t count)
{
    std::vector<asio::const_buffer> buffers;
    buffers.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        buffers.emplace_back(pieces[i].data, static_cast<std::size_t>(pieces[i].length));
    }
    return buffers;
}

constexpr std::size_t FEW_PIECES = 4;

// Pieces held elsewhere, as a buffer sequence asio can walk.
struct PieceRange {
    const asio::const_buffer* first;
    const asio::const_buffer* last;
    const asio::const_buffer* begin() const { return first; }
    const asio::const_buffer* end() const { return last; }
};

// The completion of one step of a transfer, cancelled through `slot`. It is
// marked as a continuation, as asio marks the steps of its own composed
// operations: a step that completes at once (on a busy connection, most do)
// then runs on this loop thread once the handler that started it returns,
// instead of waking another thread of the loop for it.
template <typename Handler>
struct StepCompletion {
    using cancellation_slot_type = asio::cancellation_slot;

    Handler handler;
    asio::cancellation_slot slot;

    cancellation_slot_type get_cancellation_slot() const noexcept { return slot; }
    void operator()(const asio::error_code& error, std::size_t moved) { handler(error, moved); }
    friend bool asio_handler_is_continuation(StepCompletion*) { return true; }
};

template <typename Handler>
StepCompletion<Handler> step_completion(Handler handler, asio::cancellation_slot slot)
{
    return StepCompletion<Handler>{std::move(handler), slot};
}

} // namespace

// One asynchronous read or write, moved a step at a time. Each step asks for
// everything still outstanding in one system call (asio's composed
// operations cap each at 64 KiB, a wake-up of the loop per 64 KiB of a large
// frame) and is started under m_mutex. With a deadline, a timer beside the
// transfer cancels just the step in flight through its cancellation slot.
struct TCPTransport::Transfer {
    using finish_t = std::function<void(const asio::error_code&, std::size_t, bool expired)>;
    Transfer(char* data_, std::size_t length_, bool reading_, bool all_, unsigned epoch_, finish_t finish_)
        : data(data_), length(length_), reading(reading_), all(all_), epoch(epoch_), finish(std::move(finish_))
    {
    }

    char* data;
    std::size_t length;
    std::vector<asio::const_buffer> pieces; // a gather write: data is unused
    bool reading;
    bool all; // reads: until `length` bytes; writes always
    unsigned epoch;
    finish_t finish;
    std::size_t done = 0;
    std::unique_ptr<asio::steady_timer> timer;
    asio::cancellation_signal cancel;
    bool expired = false;  // under m_mutex
    bool finished = false; // under m_mutex

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
    if (transfer->epoch != m_closes || transfer->expired) {
        const asio::error_code why = transfer->expired ? asio::error::timed_out : asio::error::operation_aborted;
        detail::complete_later(m_io_service, [this, transfer, why] { end(transfer, why); });
        return;
    }
    try {
        auto on_moved = [this, transfer](const asio::error_code& error, std::size_t moved) {
            transfer->done += moved;
            if (!error && !transfer->complete()) {
                step(transfer);
            } else {
                end(transfer, error);
            }
        };
        auto handler = step_completion(std::move(on_moved), transfer->cancel.slot());
        const asio::mutable_buffer rest(transfer->data + transfer->done, transfer->length - transfer->done);
        if (transfer->reading) {
            m_socket.async_read_some(rest, std::move(handler));
        } else if (!transfer->pieces.empty()) {
            m_socket.async_write_some(detail::pieces_after(transfer->pieces, transfer->done), std::move(handler));
        } else {
            m_socket.async_write_some(asio::const_buffer(rest), std::move(handler));
        }
    } catch (const std::exception&) {
        detail::complete_later(m_io_service, [this, transfer] { end(transfer, asio::error::no_memory); });
    }
}

void TCPTransport::arm_deadline(const std::shared_ptr<Transfer>& transfer, clock_t::time_point deadline)
{
    if (deadline == detail::NO_DEADLINE) {
        return;
    }
    transfer->timer = std::make_unique<asio::steady_timer>(m_io_service, deadline);
    std::weak_ptr<Transfer> weak = transfer;
    transfer->timer->async_wait([this, weak](const asio::error_code& error) {
        const auto expiring = weak.lock();
        if (error || !expiring) {
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!expiring->finished && expiring->epoch == m_closes) {
            expiring->expired = true;
            expiring->cancel.emit(asio::cancellation_type::terminal);
        }
    });
}

// A step cancelled by the deadline reports the deadline; one that completed
// as the timer fired keeps its own outcome.
void TCPTransport::end(const std::shared_ptr<Transfer>& transfer, const asio::error_code& error)
{
    bool expired = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        transfer->finished = true;
        if (transfer->timer) {
            transfer->timer->cancel();
        }
        expired = transfer->expired && (error == asio::error::operation_aborted || error == asio::error::timed_out);
    }
    transfer->finish(error, transfer->done, expired);
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
        const Status status =
            m_connect_timeout.count() > 0
                ? detail::connect_within(m_socket, address, port, detail::deadline_after(m_connect_timeout))
                : detail::connect_blocking(m_io_service, m_socket, address, port);
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
    explicit ConnectAttempt(asio::io_service& service) : resolver(service), timer(service) {}
    tcp::resolver resolver;
    asio::steady_timer timer;
    // Set by close(): the resolver's own cancel cannot stop a lookup that has
    // already finished on asio's resolver thread.
    std::atomic<bool> abandoned{false};
    bool expired = false;  // under m_mutex
    bool finished = false; // under m_mutex
};

void TCPTransport::connect_async(std::string address, port_t port, connect_handler_t callback)
{
    try {
        auto attempt = std::make_shared<ConnectAttempt>(m_io_service);
        m_connect_attempt = attempt;
        arm_connect_timer(attempt);
        attempt->resolver.async_resolve(
            address, std::to_string(port), detail::RESOLVE_FLAGS,
            [this, attempt, callback](const asio::error_code& error, tcp::resolver::results_type results) {
                resolved(attempt, error, std::move(results), callback);
            });
    } catch (const std::exception& error) {
        const Status status = detail::status_from_exception(error);
        detail::complete_later(m_io_service, [this, callback, status] { callback(*this, status); });
    }
}

void TCPTransport::arm_connect_timer(const std::shared_ptr<ConnectAttempt>& attempt)
{
    if (m_connect_timeout.count() <= 0) {
        return;
    }
    attempt->timer.expires_after(m_connect_timeout);
    std::weak_ptr<ConnectAttempt> weak = attempt;
    attempt->timer.async_wait([this, weak](const asio::error_code& error) {
        const auto expiring = weak.lock();
        if (error || !expiring) {
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!expiring->finished) {
            expiring->expired = true;
            expiring->resolver.cancel();
            asio::error_code ignored;
            m_socket.cancel(ignored);
        }
    });
}

void TCPTransport::resolved(const std::shared_ptr<ConnectAttempt>& attempt, asio::error_code error,
                            tcp::resolver::results_type results, const connect_handler_t& callback)
{
    using iterator = tcp::resolver::results_type::iterator;
    Status status;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!error && (attempt->abandoned || attempt->expired)) {
            error = asio::error::operation_aborted;
        }
        if (!error) {
            try {
                asio::async_connect(m_socket, results.begin(), results.end(),
                                    [this, attempt, callback](const asio::error_code& error, iterator endpoint) {
                                        connected(attempt, error, endpoint == iterator(), callback);
                                    });
                return;
            } catch (const std::exception&) {
                error = asio::error::no_memory;
            }
        }
        status = end_attempt(*attempt, error);
    }
    callback(*this, status);
}

void TCPTransport::connected(const std::shared_ptr<ConnectAttempt>& attempt, const asio::error_code& error,
                             bool exhausted, const connect_handler_t& callback)
{
    Status status;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        status = end_attempt(*attempt, error);
        if (status == Status::TRANSPORT_STATUS_OKAY && exhausted) {
            status = Status(Status::TRANSPORT_STATUS_HOST_UNREACHABLE, "Host unreachable");
        } else if (status == Status::TRANSPORT_STATUS_OKAY) {
            set_client_options();
            reset_directions();
        }
    }
    callback(*this, status);
}

// Called under m_mutex.
Status TCPTransport::end_attempt(ConnectAttempt& attempt, const asio::error_code& error)
{
    attempt.finished = true;
    attempt.timer.cancel();
    if (attempt.expired) {
        return detail::timed_out("Connect");
    }
    return error ? detail::status_from(error) : Status();
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
    const asio::error_code error = detail::accept_blocking(m_acceptor, peer);
    if (error) {
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
        const unsigned epoch = m_closes;
        m_acceptor.async_accept(*peer, [this, peer, callback, epoch](const asio::error_code& error) {
            if (detail::exhausts_resources(error) && retry_accept_later(callback, epoch)) {
                return;
            }
            if (!error) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_accept_delay = std::chrono::milliseconds(0);
            }
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

// Exhaustion leaves the connection in the backlog, and the caller would
// only try again at once: the accept is retried after a growing pause.
bool TCPTransport::retry_accept_later(const accept_handler_t& callback, unsigned epoch)
{
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (epoch != m_closes) {
            return false;
        }
        auto timer = std::make_shared<asio::steady_timer>(m_io_service, detail::grow_backoff(m_accept_delay));
        timer->async_wait([this, timer, callback](const asio::error_code& error) {
            if (error) {
                callback(*this, nullptr, detail::status_from(error));
            } else {
                accept_async(callback);
            }
        });
        m_accept_retries.erase(std::remove_if(m_accept_retries.begin(), m_accept_retries.end(),
                                              [](const std::weak_ptr<asio::steady_timer>& retry) { return retry.expired(); }),
                               m_accept_retries.end());
        m_accept_retries.push_back(timer);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

korvane_buf_len_t TCPTransport::read(korvane_buf_t buffer, korvane_buf_len_t length, Status* status, bool all)
{
    Status result;
    korvane_buf_len_t count = -1;
    if (length < 0) {
        result = negative_length();
    } else if (m_read_deadline != detail::NO_DEADLINE && length > 0 && m_socket.is_open()) {
        count = detail::bounded_transfer(m_socket.native_handle(), static_cast<char*>(buffer),
                                         static_cast<std::size_t>(length), true, all, m_read_deadline, result);
    } else {
        asio::error_code error;
        const auto target = asio::buffer(buffer, static_cast<std::size_t>(length));
        const std::size_t transferred =
            all ? asio::read(m_socket, target, detail::transfer_whole, error) : m_socket.read_some(target, error);
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
        auto on_read = [this, buffer, length, callback](const asio::error_code& error, std::size_t transferred,
                                                        bool expired) {
            if (expired) {
                callback(*this, -1, buffer, length, detail::timed_out("Read"));
                return;
            }
            if (detail::ends_direction(error)) {
                m_read_ended = true;
            }
            Status status;
            const korvane_buf_len_t count = detail::transfer_result(error, transferred, status);
            callback(*this, count, buffer, length, status);
        };
        auto transfer = std::make_shared<Transfer>(static_cast<char*>(buffer), static_cast<std::size_t>(length), true,
                                                   all, current_epoch(), std::move(on_read));
        arm_deadline(transfer, m_read_deadline);
        step(transfer);
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
    } else if (m_write_deadline != detail::NO_DEADLINE && length > 0 && m_socket.is_open()) {
        count = detail::bounded_transfer(m_socket.native_handle(), static_cast<char*>(buffer),
                                         static_cast<std::size_t>(length), false, true, m_write_deadline, failure);
    } else {
        asio::error_code error;
        // asio sends with MSG_NOSIGNAL.
        const std::size_t written = asio::write(m_socket, asio::buffer(buffer, static_cast<std::size_t>(length)),
                                                detail::transfer_whole, error);
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
        fail_write_later(callback, negative_length());
        return;
    }
    std::shared_ptr<Transfer> transfer;
    try {
        transfer = std::make_shared<Transfer>(static_cast<char*>(buffer), static_cast<std::size_t>(length), false,
                                              true, current_epoch(), Transfer::finish_t());
    } catch (const std::exception& error) {
        fail_write_later(callback, detail::status_from_exception(error));
        return;
    }
    start_write(std::move(transfer), std::move(callback));
}

void TCPTransport::write_gather_async(const ConstBuffer* pieces, std::size_t count, write_handler_t callback)
{
    std::shared_ptr<Transfer> transfer;
    try {
        transfer = std::make_shared<Transfer>(nullptr, 0, false, true, current_epoch(), Transfer::finish_t());
        transfer->pieces = asio_buffers(pieces, count);
        transfer->length = asio::buffer_size(transfer->pieces);
    } catch (const std::exception& error) {
        fail_write_later(callback, detail::status_from_exception(error));
        return;
    }
    start_write(std::move(transfer), std::move(callback));
}

void TCPTransport::start_write(std::shared_ptr<Transfer> transfer, write_handler_t callback)
{
    if (m_write_failed) {
        fail_write_later(callback, detail::status_from(asio::error::broken_pipe));
        return;
    }
    transfer->finish = [this, callback](const asio::error_code& error, std::size_t written, bool expired) {
        if (expired) {
            callback(*this, -1, detail::timed_out("Write"));
            return;
        }
        if (detail::ends_direction(error)) {
            m_write_failed = true;
        }
        Status status;
        const korvane_buf_len_t count = detail::transfer_result(error, written, status);
        callback(*this, count, status);
    };
    try {
        arm_deadline(transfer, m_write_deadline);
    } catch (const std::exception& error) {
        fail_write_later(callback, detail::status_from_exception(error));
        return;
    }
    step(transfer);
}

std::size_t TCPTransport::write_gather_ahead(const ConstBuffer* pieces, std::size_t count) noexcept
{
    constexpr std::size_t MAX_AHEAD_PIECES = 8;
    iovec parts[MAX_AHEAD_PIECES];
    if (count == 0 || count > MAX_AHEAD_PIECES) {
        return 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
        parts[i].iov_base = const_cast<void*>(pieces[i].data);
        parts[i].iov_len = static_cast<std::size_t>(pieces[i].length);
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_write_failed || !m_socket.is_open()) {
        return 0;
    }
    const ssize_t sent = ::sendmsg(m_socket.native_handle(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    return sent > 0 ? static_cast<std::size_t>(sent) : 0;
}

void TCPTransport::fail_write_later(const write_handler_t& callback, Status status)
{
    detail::complete_later(m_io_service, [this, callback, status] { callback(*this, -1, status); });
}

korvane_buf_len_t TCPTransport::write_gather(const ConstBuffer* pieces, std::size_t count, Status* status)
{
    if (m_write_deadline != detail::NO_DEADLINE || !m_socket.is_open()) {
        return Transport::write_gather(pieces, count, status); // bounded a piece at a time
    }
    // A frame's few pieces are described on the stack: a blocking send of
    // a small message costs no heap allocation here.
    asio::error_code error;
    std::size_t written = 0;
    if (count <= FEW_PIECES) {
        asio::const_buffer few[FEW_PIECES];
        for (std::size_t i = 0; i < count; ++i) {
            few[i] = asio::const_buffer(pieces[i].data, static_cast<std::size_t>(pieces[i].length));
        }
        written = asio::write(m_socket, PieceRange{few, few + count}, detail::transfer_whole, error);
    } else {
        std::vector<asio::const_buffer> buffers;
        try {
            buffers = asio_buffers(pieces, count);
        } catch (const std::exception& failure) {
            if (status != nullptr) {
                *status = detail::status_from_exception(failure);
            }
            return -1;
        }
        written = asio::write(m_socket, buffers, detail::transfer_whole, error);
    }
    Status failure;
    const korvane_buf_len_t result = detail::transfer_result(error, written, failure);
    if (result < 0 && status != nullptr) {
        *status = failure;
    }
    return result;
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
    for (const auto& retry : m_accept_retries) {
        if (const auto timer = retry.lock()) {
            timer->cancel();
        }
    }
    m_accept_retries.clear();
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

void TCPTransport::read_deadline(clock_t::time_point deadline)
{
    m_read_deadline = deadline;
}

void TCPTransport::write_deadline(clock_t::time_point deadline)
{
    m_write_deadline = deadline;
}

void TCPTransport::connect_timeout(std::chrono::milliseconds timeout)
{
    m_connect_timeout = timeout;
}

void TCPTransport::post(std::function<void()> work)
{
    asio::post(m_io_service, std::move(work));
}

bool TCPTransport::bounds_waits() const
{
    return true;
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
