// The accept side of the TLS transport. Accepted connections shake hands
// concurrently on the loop, so that a peer that stalls its handshake never
// delays another client: each outcome goes to the longest-waiting
// accept_async caller as it finishes, a finished connection no caller waits
// for yet is kept for the next call, and a failed handshake nobody waits for
// is dropped.
#include "transport/TLSTransport.hpp"

#include <chrono>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "transport/AsioError.hpp"
#include "transport/Deadline.hpp"
#include "transport/StreamPlumbing.hpp"
#include "transport/TLSSession.hpp"

namespace korvane {

using tcp = asio::ip::tcp;
using Status = Transport::StatusCode;

namespace {

// Bounds what one listener holds for handshakes that have not finished.
constexpr std::size_t MAX_HANDSHAKES = 64;

} // namespace

// One accepted connection during its server handshake; every step, the
// timer's expiry included, runs in the accepted transport's strand.
struct TLSTransport::Handshake {
    Handshake(std::unique_ptr<TLSTransport> accepted, unsigned generation_)
        : transport(std::move(accepted)), strand(transport->m_strand), timer(m_io_service), generation(generation_)
    {
    }
    std::unique_ptr<TLSTransport> transport;
    asio::strand<asio::io_service::executor_type> strand;
    asio::steady_timer timer;
    asio::cancellation_signal signal;
    bool expired = false;
    const unsigned generation;
};

struct TLSTransport::AcceptQueue {
    std::mutex mutex;
    TLSTransport* listener = nullptr; // null once the listener is gone
    std::deque<accept_handler_t> waiting;
    std::deque<std::unique_ptr<Transport>> ready;
    std::vector<std::weak_ptr<Handshake>> handshakes;
    bool accepting = false;  // an asynchronous accept (or its retry) is outstanding
    std::chrono::milliseconds delay{0};        // pause before a retry after exhaustion
    std::shared_ptr<asio::steady_timer> retry; // that pause
    unsigned generation = 0; // moved on by every close of the listener
};

// A callback to run, once the queue's lock is released, with its outcome.
struct TLSTransport::Delivery {
    accept_handler_t callback;
    std::unique_ptr<Transport> transport;
    Status status;
};

void TLSTransport::open_accept_queue()
{
    m_accepts = std::make_shared<AcceptQueue>();
    m_accepts->listener = this;
}

// Completions still to come find no listener and drop what they carry.
void TLSTransport::release_accept_queue()
{
    std::lock_guard<std::mutex> lock(m_accepts->mutex);
    m_accepts->listener = nullptr;
}

void TLSTransport::deliver(TLSTransport& listener, std::vector<Delivery>& deliveries)
{
    for (Delivery& delivery : deliveries) {
        delivery.callback(listener, std::move(delivery.transport), delivery.status);
    }
}

// Queued here, started from the loop: no callback runs inside this call.
void TLSTransport::accept_async(accept_handler_t callback)
{
    try {
        {
            std::lock_guard<std::mutex> lock(m_accepts->mutex);
            m_accepts->waiting.push_back(callback);
        }
        std::shared_ptr<AcceptQueue> queue = m_accepts;
        asio::post(m_io_service, [queue] { pump(queue); });
    } catch (const std::exception& error) {
        const Status status = detail::status_from_exception(error);
        detail::complete_later(m_io_service, [this, callback, status] { callback(*this, nullptr, status); });
    }
}

// Hands kept connections to waiting callers and keeps one accept
// outstanding while callers wait and handshakes may still start.
void TLSTransport::pump(const std::shared_ptr<AcceptQueue>& queue)
{
    std::vector<Delivery> deliveries;
    TLSTransport* listener = nullptr;
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        listener = queue->listener;
        if (listener == nullptr) {
            return;
        }
        while (!queue->waiting.empty() && !queue->ready.empty()) {
            deliveries.push_back({std::move(queue->waiting.front()), std::move(queue->ready.front()), Status()});
            queue->waiting.pop_front();
            queue->ready.pop_front();
        }
        if (!queue->accepting && !queue->waiting.empty() && queue->handshakes.size() < MAX_HANDSHAKES) {
            try {
                listener->start_accept(queue);
                queue->accepting = true;
            } catch (const std::exception& error) {
                deliveries.push_back({std::move(queue->waiting.front()), nullptr, detail::status_from_exception(error)});
                queue->waiting.pop_front();
            }
        }
    }
    deliver(*listener, deliveries);
}

// Called with the queue's lock held.
void TLSTransport::start_accept(const std::shared_ptr<AcceptQueue>& queue)
{
    auto socket = std::make_shared<tcp::socket>(m_io_service);
    const unsigned generation = queue->generation;
    m_acceptor.async_accept(*socket, [queue, socket, generation](const asio::error_code& ec) {
        accepted(queue, socket, generation, ec);
    });
}

void TLSTransport::accepted(const std::shared_ptr<AcceptQueue>& queue, const std::shared_ptr<tcp::socket>& socket,
                            unsigned generation, const asio::error_code& ec)
{
    std::vector<Delivery> deliveries;
    TLSTransport* listener = nullptr;
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        listener = queue->listener;
        if (listener == nullptr || generation != queue->generation) {
            return;
        }
        queue->accepting = false;
        if (detail::exhausts_resources(ec) && listener->retry_later(queue)) {
            return;
        }
        if (!ec) {
            queue->delay = std::chrono::milliseconds(0);
        }
        // A listener replaced or shut down aborts every waiting caller; any
        // other failure answers one.
        const std::size_t failed = ec == asio::error::operation_aborted ? queue->waiting.size() : 1;
        for (std::size_t i = 0; ec && i < failed && !queue->waiting.empty(); ++i) {
            deliveries.push_back({std::move(queue->waiting.front()), nullptr, detail::status_from(ec)});
            queue->waiting.pop_front();
        }
        if (!ec) {
            listener->begin_handshake(queue, std::move(*socket), deliveries);
        }
    }
    deliver(*listener, deliveries);
    pump(queue);
}

// Exhaustion leaves the connection in the backlog, and accepting again at
// once would spin: the accept is retried after a growing pause. Called with
// the queue's lock held.
bool TLSTransport::retry_later(const std::shared_ptr<AcceptQueue>& queue)
{
    try {
        auto timer = std::make_shared<asio::steady_timer>(m_io_service, detail::grow_backoff(queue->delay));
        const unsigned generation = queue->generation;
        timer->async_wait([queue, timer, generation](const asio::error_code& error) {
            {
                std::lock_guard<std::mutex> lock(queue->mutex);
                if (error || generation != queue->generation) {
                    return;
                }
                queue->accepting = false;
            }
            pump(queue);
        });
        queue->retry = timer;
        queue->accepting = true;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Called with the queue's lock held.
void TLSTransport::begin_handshake(const std::shared_ptr<AcceptQueue>& queue, tcp::socket socket,
                                   std::vector<Delivery>& deliveries)
{
    tune_accepted_socket(socket);
    Status failure;
    std::unique_ptr<TLSTransport> transport = adopt(std::move(socket), failure);
    std::shared_ptr<Handshake> handshake;
    try {
        if (transport) {
            handshake = std::make_shared<Handshake>(std::move(transport), queue->generation);
            queue->handshakes.push_back(handshake);
        }
    } catch (const std::exception& error) {
        failure = detail::status_from_exception(error);
    }
    if (!handshake) {
        if (!queue->waiting.empty()) {
            deliveries.push_back({std::move(queue->waiting.front()), nullptr, failure});
            queue->waiting.pop_front();
        }
        return;
    }
    if (m_handshake_timeout.count() > 0) {
        handshake->timer.expires_after(m_handshake_timeout);
        std::weak_ptr<Handshake> weak = handshake;
        handshake->timer.async_wait(asio::bind_executor(handshake->strand, [weak](const asio::error_code& error) {
            const auto expiring = weak.lock();
            if (!error && expiring) {
                expiring->expired = true;
                expiring->signal.emit(asio::cancellation_type::terminal);
            }
        }));
    }
    // Started only now: its completion, on another thread, stops the timer.
    TLSTransport& accepted = *handshake->transport;
    accepted.m_ssl_socket.async_handshake(
        asio::ssl::stream_base::server,
        asio::bind_cancellation_slot(handshake->signal.slot(),
                                     asio::bind_executor(handshake->strand, [queue, handshake](const asio::error_code& ec) {
                                         shaken(queue, handshake, ec);
                                     })));
}

void TLSTransport::shaken(const std::shared_ptr<AcceptQueue>& queue, const std::shared_ptr<Handshake>& handshake,
                          const asio::error_code& ec)
{
    handshake->timer.cancel();
    Status status;
    if (ec) {
        status = handshake->expired && ec == asio::error::operation_aborted ? detail::timed_out("TLS handshake")
                                                                           : detail::status_from(ec);
    }
    std::unique_ptr<Transport> transport = ec ? nullptr : std::move(handshake->transport);
    std::vector<Delivery> deliveries;
    TLSTransport* listener = nullptr;
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        auto& running = queue->handshakes;
        for (auto entry = running.begin(); entry != running.end();) {
            const auto live = entry->lock();
            entry = !live || live == handshake ? running.erase(entry) : entry + 1;
        }
        listener = queue->listener;
        if (listener == nullptr || handshake->generation != queue->generation) {
            return;
        }
        if (!queue->waiting.empty()) {
            deliveries.push_back({std::move(queue->waiting.front()), std::move(transport), status});
            queue->waiting.pop_front();
        } else if (transport) {
            queue->ready.push_back(std::move(transport));
        }
    }
    deliver(*listener, deliveries);
    pump(queue);
}

// Waiting callers hear of the close from the loop, as they would from an
// aborted accept; handshakes still running are cancelled in their strands.
void TLSTransport::close_listener()
{
    std::deque<accept_handler_t> aborted;
    std::deque<std::unique_ptr<Transport>> kept;
    std::vector<std::shared_ptr<Handshake>> running;
    {
        std::lock_guard<std::mutex> lock(m_accepts->mutex);
        ++m_accepts->generation;
        m_accepts->accepting = false;
        aborted.swap(m_accepts->waiting);
        kept.swap(m_accepts->ready);
        for (const auto& entry : m_accepts->handshakes) {
            if (auto live = entry.lock()) {
                running.push_back(std::move(live));
            }
        }
        m_accepts->handshakes.clear();
        if (m_accepts->retry) {
            m_accepts->retry->cancel();
        }
        detail::close_listener(m_acceptor);
    }
    for (const auto& handshake : running) {
        detail::complete_later(m_io_service, [handshake] {
            asio::dispatch(handshake->strand, [handshake] { handshake->signal.emit(asio::cancellation_type::terminal); });
        });
    }
    const Status status = detail::status_from(asio::error::operation_aborted);
    for (const auto& callback : aborted) {
        detail::complete_later(m_io_service, [this, callback, status] { callback(*this, nullptr, status); });
    }
}

// A failed handshake is reported as an aborted accept, with the TLS error's
// text; one that runs out of time drops the peer and takes the next.
std::unique_ptr<TLSTransport> TLSTransport::accept_connection(Status& result)
{
    for (;;) {
        tcp::socket socket(m_io_service);
        asio::error_code ec = detail::accept_blocking(m_acceptor, socket);
        if (ec) {
            result = detail::status_from("accept", ec);
            return nullptr;
        }
        tune_accepted_socket(socket);
        std::unique_ptr<TLSTransport> transport = adopt(std::move(socket), result);
        if (!transport) {
            return nullptr;
        }
        ec = transport->handshake_within(asio::ssl::stream_base::server);
        if (ec == asio::error::timed_out) {
            continue;
        }
        if (ec) {
            result = Status(Status::TRANSPORT_STATUS_OPERATION_ABORTED, ec.message());
            return nullptr;
        }
        return transport;
    }
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

} // namespace korvane
