// A Transport over a plain TCP connection. Every TCP transport of a process
// completes its asynchronous operations on one shared event loop, which the
// application drives through start() and stop(); the library runs no thread
// of its own.
#pragma once

#include "transport/AsioConfig.hpp"

// Only what the members need: the operations (connect, read, write, post)
// are included by the source, which keeps this header cheap to compile.
#include <asio/io_service.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/Transport.hpp"

namespace korvane {

class TCPTransport : public Transport {
public:
    /// Unconnected, not listening, system keep-alive timing.
    TCPTransport();
    /// Unconnected, not listening. With `keepAliveSec` > 0, connections made
    /// or accepted by this object probe after `keepAliveSec` idle seconds,
    /// every `keepAliveInterval` seconds, and drop after
    /// `keepAliveProbeCount` unanswered probes.
    TCPTransport(int keepAliveSec, int keepAliveProbeCount, int keepAliveInterval);
    /// Closes first; outstanding completions must have run already.
    ~TCPTransport() override;

    TCPTransport(const TCPTransport&) = delete;
    TCPTransport(TCPTransport&&) = delete;
    TCPTransport& operator=(const TCPTransport&) = delete;
    TCPTransport& operator=(TCPTransport&&) = delete;

    /// Blocking: resolves `address`, connects to the first endpoint that
    /// accepts (closing an earlier connection), then sets the client options.
    /// Failures carry "resolve: " or "connect: " before the system's text.
    StatusCode connect(std::string address, port_t port) override;
    /// Returns at once; `callback` runs once on a loop thread with the outcome
    /// (the error's own text, no step name). close() aborts it.
    void connect_async(std::string address, port_t port, connect_handler_t callback) override;
    /// Listens on a numeric IPv4/IPv6 `address` ("*": every interface, IPv6
    /// wildcard) and `port`; never resolves names (TRANSPORT_STATUS_INVALID_ARGUMENT).
    /// Replaces an earlier listener only once the new one listens.
    StatusCode bind(port_t port, std::string address) override;
    /// Blocks until a connection arrives on the listener; null on failure
    /// ("accept: " or "set_option: " texts; BAD_DESCRIPTOR when not bound).
    std::unique_ptr<Transport> accept(StatusCode* status) override;
    /// Accepts one connection; `callback` runs once on a loop thread with it,
    /// or with null and the reason (OPERATION_ABORTED after close()). Out of
    /// descriptors or memory, it waits (10 ms doubling to 1 s) and tries
    /// again instead of reporting; so does the blocking accept().
    void accept_async(accept_handler_t callback) override;
    /// Blocking. `all`: exactly `length` bytes, as much per call as the system moves;
    /// otherwise one receive of 1..`length` bytes. 0 with OKAY at end of
    /// stream (also after a partial `all` read), -1 on failure.
    korvane_buf_len_t read(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status, bool all) override;
    /// As read(); `callback` runs once on a loop thread with the count, the
    /// caller's buffer and length, and the outcome. The caller keeps `buffer`
    /// valid until then. After a read that met the end of the stream or a
    /// failure, every later one reports the end of the stream (0, OKAY).
    void read_async(korvane_buf_t buffer, korvane_buf_len_t length, read_handler_t callback, bool all) override;
    /// Blocking write of every byte, as much per send as the system takes, no SIGPIPE.
    /// Returns `length`, 0 at end of stream, or -1; `status` is set only on failure.
    korvane_buf_len_t write(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status) override;
    /// Writes every byte; `callback` runs once on a loop thread with
    /// `length`, 0 at end of stream, or -1 and the reason. After a failed
    /// write every later one fails with BROKEN_PIPE.
    void write_async(korvane_buf_t buffer, korvane_buf_len_t length, write_handler_t callback) override;
    /// As write() and write_async(), every piece handed to the system in
    /// one call where it takes them all (a frame's header and payload, or a
    /// batch of frames, cost one send).
    korvane_buf_len_t write_gather(const ConstBuffer* pieces, std::size_t count, StatusCode* status) override;
    void write_gather_async(const ConstBuffer* pieces, std::size_t count, write_handler_t callback) override;
    /// One non-blocking send of up to 8 pieces, under the lock close() takes,
    /// so that it never reaches a descriptor that closed meanwhile.
    std::size_t write_gather_ahead(const ConstBuffer* pieces, std::size_t count) noexcept override;
    /// Queues `work` on the loop shared by all TCP transports.
    void post(std::function<void()> work) override;
    /// Closes listener and connection; pending operations complete with
    /// OPERATION_ABORTED on the loop. Reports only a failure to close the
    /// connection's descriptor. May be called on any thread while
    /// asynchronous operations are outstanding.
    StatusCode close() override;
    /// Deadline of each later read, blocking or asynchronous; an expired
    /// read reports -1 TIMEOUT "Read timed out" (before any byte arrived the
    /// connection stays usable). The owner of the read direction sets it.
    void read_deadline(clock_t::time_point deadline) override;
    /// The same for writes ("Write timed out"; the stream is then at an
    /// unknown point).
    void write_deadline(clock_t::time_point deadline) override;
    /// Bounds resolution and connect of each later connect and connect_async
    /// ("Connect timed out"); 0 for none. A plain TCP connection has no
    /// handshake, so handshake_timeout() keeps the default and does nothing.
    void connect_timeout(std::chrono::milliseconds timeout) override;
    /// True: reads, writes and connects honour their deadlines.
    bool bounds_waits() const override;
    /// Runs the loop shared by all TCP transports on the calling thread until
    /// stop() or until no work is left. OKAY, or the loop's error.
    StatusCode start() override;
    /// Makes every thread in start() of any TCP transport return once its
    /// current handler has finished; pending work stays queued.
    void stop() override;

protected:
    /// Takes over a connected socket of `m_io_service` (used by accept).
    explicit TCPTransport(asio::ip::tcp::socket remote_socket);

    /// Applies the keep-alive timing to `fd` when `m_keepAliveSec` > 0; false
    /// at the first option the system refuses.
    bool setsockopts(int fd);

    static asio::io_service m_io_service;

    asio::ip::tcp::socket m_socket;
    asio::ip::tcp::endpoint m_endpoint;
    asio::ip::tcp::acceptor m_acceptor;
    int m_keepAliveSec;
    int m_keepAliveProbeCount;
    int m_keepAliveProbeInterval;

private:
    void set_client_options();
    std::unique_ptr<Transport> adopt(asio::ip::tcp::socket& socket, StatusCode& status);

    // The connect_async still resolving, so that close() can abandon it
    // before it reaches the connection.
    struct ConnectAttempt;
    std::weak_ptr<ConnectAttempt> m_connect_attempt;
    void arm_connect_timer(const std::shared_ptr<ConnectAttempt>& attempt);
    void resolved(const std::shared_ptr<ConnectAttempt>& attempt, asio::error_code error,
                  asio::ip::tcp::resolver::results_type results, const connect_handler_t& callback);
    void connected(const std::shared_ptr<ConnectAttempt>& attempt, const asio::error_code& error, bool exhausted,
                   const connect_handler_t& callback);
    StatusCode end_attempt(ConnectAttempt& attempt, const asio::error_code& error);

    // Accepts waiting out descriptor exhaustion, and the pause before the
    // next one (see retry_accept_later); under m_mutex.
    std::vector<std::weak_ptr<asio::steady_timer>> m_accept_retries;
    std::chrono::milliseconds m_accept_delay{0};
    bool retry_accept_later(const accept_handler_t& callback, unsigned epoch);

    // Deadlines of later reads and writes, and the connect bound (0: none).
    clock_t::time_point m_read_deadline = clock_t::time_point::max();
    clock_t::time_point m_write_deadline = clock_t::time_point::max();
    std::chrono::milliseconds m_connect_timeout{0};

    // Set when an asynchronous read met the end of the stream or a failure,
    // and when an asynchronous write failed: later operations in that
    // direction then complete at once (see read_async). Cleared by a new
    // connection and by close().
    std::atomic<bool> m_read_ended{false};
    std::atomic<bool> m_write_failed{false};
    void reset_directions();

    // asio's sockets must not be used from two threads at once, yet an
    // asynchronous transfer starts its next step from whichever loop thread
    // completed the last one, while close() may come from any thread. Every
    // step, and close(), holds this lock; a step that finds the connection
    // closed since its transfer began (m_closes moved on) reports an abort.
    std::mutex m_mutex;
    unsigned m_closes = 0;
    struct Transfer;
    unsigned current_epoch();
    void step(const std::shared_ptr<Transfer>& transfer);
    void arm_deadline(const std::shared_ptr<Transfer>& transfer, clock_t::time_point deadline);
    void end(const std::shared_ptr<Transfer>& transfer, const asio::error_code& error);
    void start_write(std::shared_ptr<Transfer> transfer, write_handler_t callback);
    /// Reports a write that cannot start, on the loop as every completion.
    void fail_write_later(const write_handler_t& callback, StatusCode status);
};

} // namespace korvane
