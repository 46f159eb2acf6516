// A byte stream carried inside TLS 1.2 over a TCP connection. Listeners
// present a PEM certificate chain and key and never ask for client
// certificates; clients present none and, when built to verify, check the
// server's chain against the default trust store and its names against the
// host they connected to. All TLS transports of a process share one event
// loop of their own, separate from the TCP transports' loop.
#pragma once

#include "transport/AsioConfig.hpp"

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "transport/Transport.hpp"

namespace korvane {

namespace detail {
struct OperationDeadline;
}

class TLSTransport : public Transport {
public:
    /// A client that does not verify the server. Throws std::system_error
    /// ("context", "set_default_verify_paths") when OpenSSL cannot set up the
    /// TLS context; no other operation throws.
    TLSTransport();
    /// A listener presenting the PEM chain `certificate` and PEM key `key`
    /// (read by bind()). Throws like TLSTransport().
    TLSTransport(const std::string& certificate, const std::string& key);
    /// A listener with keep-alive timing applied to every accepted connection.
    TLSTransport(int keepAliveSec, int keepAliveProbeCount, int keepAliveInterval, const std::string& certificate,
                 const std::string& key);
    /// A client; with `verifyCertificate` the server must present a chain
    /// trusted by the default verify paths, issued for the connected host.
    explicit TLSTransport(bool verifyCertificate);
    /// A client with keep-alive timing applied to its connections.
    TLSTransport(int keepAliveSec, int keepAliveProbeCount, int keepAliveInterval, bool verifyCertificate);
    /// Adopts a connection accepted by a listener whose TLS context is
    /// `context`; the session is set up by a server handshake afterwards and
    /// keeps that context alive, so the listener may go first.
    TLSTransport(asio::ip::tcp::socket remote_socket, asio::ssl::context& context);
    /// A lone path would otherwise turn into `verifyCertificate` = true.
    explicit TLSTransport(const char*) = delete;
    TLSTransport(int, int, int, const char*) = delete;
    /// Closes first (see close(): bounded, never waits for ever on the peer).
    ~TLSTransport() override;

    TLSTransport(const TLSTransport&) = delete;
    TLSTransport(TLSTransport&&) = delete;
    TLSTransport& operator=(const TLSTransport&) = delete;
    TLSTransport& operator=(TLSTransport&&) = delete;

    /// Blocking resolve, TCP connect and client handshake. Failures carry the
    /// step: "resolve: ", "connect: ", "set_option: " or "handshake: " (a
    /// refused certificate is TRANSPORT_STATUS_UNKNOWN "handshake: ...").
    /// An open connection is closed first.
    StatusCode connect(std::string address, port_t port) override;
    /// The same without blocking; `callback` runs once on a thread inside
    /// start(), with the error's own text (no step name) on failure.
    void connect_async(std::string address, port_t port, connect_handler_t callback) override;
    /// Listens on the numeric `address` ("*" for every interface) and loads
    /// the certificate chain and key. Fails with the step name ("open",
    /// "set_option", "bind", "listen", "use_certificate_chain_file",
    /// "use_private_key_file"); after a certificate or key failure the
    /// listener is already listening.
    StatusCode bind(port_t port, std::string address) override;
    /// Blocks for one connection and its server handshake. A peer that has
    /// not finished its handshake within the handshake timeout is dropped and
    /// the next connection taken. Null on failure: "accept: ..." with the
    /// mapped code, or a failed handshake as TRANSPORT_STATUS_OPERATION_ABORTED
    /// with the error's text.
    std::unique_ptr<Transport> accept(StatusCode* status) override;
    /// Queues one accept and returns at once. While handshakes run the
    /// listener keeps accepting for queued callers (at most 64 handshakes at
    /// once); each `callback` runs once on a thread inside start(), in the
    /// order handshakes finish, with the new transport (owned by the callback)
    /// or null and the mapped status (TIMEOUT "TLS handshake timed out").
    /// Out of descriptors or memory, the listener waits (10 ms doubling to
    /// 1 s) and tries again instead of reporting; so does accept().
    void accept_async(accept_handler_t callback) override;
    /// Blocking read of plaintext (see Transport::read). The peer's TLS close
    /// is 0 with TRANSPORT_STATUS_OKAY; a connection dropped without one is -1
    /// with "stream truncated".
    korvane_buf_len_t read(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status, bool all) override;
    /// The same read; `callback` runs on a thread inside start(). One read and
    /// one write may be outstanding together; their steps never overlap. Do
    /// not mix them with blocking reads or writes at the same time.
    void read_async(korvane_buf_t buffer, korvane_buf_len_t length, read_handler_t callback, bool all) override;
    /// Blocking write of all `length` bytes; `status` is written only on failure.
    korvane_buf_len_t write(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status) override;
    /// The same write; `callback` runs on a thread inside start().
    void write_async(korvane_buf_t buffer, korvane_buf_len_t length, write_handler_t callback) override;
    /// Stops listening, sends the TLS close alert, waits briefly (never for
    /// ever) for the peer to close and closes the connection. Pending
    /// asynchronous operations complete with TRANSPORT_STATUS_OPERATION_ABORTED;
    /// let them run before connecting this transport again. May be called on
    /// any thread while asynchronous operations are outstanding: the session
    /// is then closed in this transport's strand (at most 200 ms wait for it).
    StatusCode close() override;
    /// Queues `work` on the loop shared by all TLS transports.
    void post(std::function<void()> work) override;
    /// Deadline of each later read: blocking reads use what OpenSSL already
    /// holds first, then wait for input only until the deadline. Expiry is -1
    /// TIMEOUT "Read timed out"; before any byte the session stays usable.
    void read_deadline(clock_t::time_point deadline) override;
    /// The same for writes ("Write timed out"; the stream is then at an
    /// unknown point and should be closed).
    void write_deadline(clock_t::time_point deadline) override;
    /// Bounds resolution and TCP connect of later connects ("Connect timed
    /// out"); 0 (the default) for none.
    void connect_timeout(std::chrono::milliseconds timeout) override;
    /// Bounds the TLS handshake of later connects and of connections accepted
    /// from now on ("TLS handshake timed out"); 10 s by default, 0 for none.
    /// Accepted transports inherit this bound and the connect bound.
    void handshake_timeout(std::chrono::milliseconds timeout) override;
    /// True: reads, writes, connects and handshakes honour their bounds.
    bool bounds_waits() const override;
    /// Runs the TLS transports' event loop on the calling thread until stop()
    /// or until no work is left.
    StatusCode start() override;
    /// Stops the event loop of every TLS transport.
    void stop() override;

protected:
    TLSTransport(int keepAliveSec, int keepAliveProbeCount, int keepAliveInterval, const std::string& certificate,
                 const std::string& key, bool verifyCertificate);

    /// Applies this transport's keep-alive timing to the socket `fd`.
    bool setsockopts(int fd);
    /// The fixed TLS 1.2 cipher list, on m_ssl_context.
    void setCipherList();

    static asio::io_service m_io_service;

    asio::ssl::context m_ssl_context;
    asio::ip::tcp::socket m_socket;
    asio::ssl::stream<asio::ip::tcp::socket&> m_ssl_socket;
    asio::ip::tcp::endpoint m_endpoint;
    asio::ip::tcp::acceptor m_acceptor;
    std::string m_certificate;
    std::string m_key;
    int m_keepAliveSec;
    int m_keepAliveProbeCount;
    int m_keepAliveProbeInterval;

private:
    struct ConnectAttempt;
    struct Handshake;
    struct AcceptQueue;
    struct Delivery;

    std::shared_ptr<detail::OperationDeadline> arm(clock_t::time_point deadline);
    void bound_attempt(const std::shared_ptr<ConnectAttempt>& attempt, const char* step,
                       std::chrono::milliseconds bound);
    void finish_attempt(ConnectAttempt& attempt, StatusCode status, const connect_handler_t& callback);
    asio::error_code handshake_within(asio::ssl::stream_base::handshake_type side);
    void open_accept_queue();
    void release_accept_queue();
    void start_accept(const std::shared_ptr<AcceptQueue>& queue);
    bool retry_later(const std::shared_ptr<AcceptQueue>& queue);
    void begin_handshake(const std::shared_ptr<AcceptQueue>& queue, asio::ip::tcp::socket socket,
                         std::vector<Delivery>& deliveries);
    static void pump(const std::shared_ptr<AcceptQueue>& queue);
    static void accepted(const std::shared_ptr<AcceptQueue>& queue, const std::shared_ptr<asio::ip::tcp::socket>& socket,
                         unsigned generation, const asio::error_code& ec);
    static void shaken(const std::shared_ptr<AcceptQueue>& queue, const std::shared_ptr<Handshake>& handshake,
                       const asio::error_code& ec);
    static void deliver(TLSTransport& listener, std::vector<Delivery>& deliveries);
    asio::error_code tune_client_socket();
    void tune_accepted_socket(asio::ip::tcp::socket& socket);
    StatusCode load_certificate_and_key();
    asio::error_code expect_server_identity(const std::string& host);
    void connected_async(const std::shared_ptr<ConnectAttempt>& attempt, const asio::error_code& ec, bool exhausted,
                         const std::string& address, const connect_handler_t& callback);
    std::unique_ptr<TLSTransport> adopt(asio::ip::tcp::socket socket, StatusCode& failure);
    std::unique_ptr<TLSTransport> accept_connection(StatusCode& result);
    void renew_session() noexcept;
    void close_listener();
    void send_close_notify();
    StatusCode close_connection();
    StatusCode close_in_strand();

    // Asynchronous reads and writes between their start and their completion:
    // while any is, close() from outside the strand runs in the strand.
    std::atomic<int> m_outstanding{0};
    // Set while an asynchronous write is in flight: the close alert must not
    // be spliced into the middle of a record on the wire.
    std::atomic<bool> m_write_in_flight{false};
    // Counts closes of the connection. An asynchronous operation that was
    // already between two steps when close() ran fails on the closed socket
    // with some other error, or (a connect still resolving) would open it
    // again; comparing counts reports it as aborted instead.
    std::atomic<unsigned> m_closes{0};
    // Set when an asynchronous read met the end of the stream or a failure,
    // and when an asynchronous write failed: later operations in that
    // direction then complete at once (see read_async). Cleared with every
    // close of the connection, which every connect begins with.
    std::atomic<bool> m_read_ended{false};
    std::atomic<bool> m_write_failed{false};
    // Serialises the asynchronous steps of this transport's TLS session.
    asio::strand<asio::io_service::executor_type> m_strand{asio::make_strand(m_io_service)};

    // Deadlines of later reads and writes; the connect and handshake bounds.
    clock_t::time_point m_read_deadline = clock_t::time_point::max();
    clock_t::time_point m_write_deadline = clock_t::time_point::max();
    std::chrono::milliseconds m_connect_timeout{0};
    std::chrono::milliseconds m_handshake_timeout{std::chrono::seconds(10)};
    // The accept side of a listener, shared with its pending handshakes.
    std::shared_ptr<AcceptQueue> m_accepts;
};

} // namespace korvane
