// A blocking byte stream over UDT (the reliable UDP-based protocol of libudt,
// stream mode), IPv4 only. It has no event loop: every asynchronous operation
// and start() answer at once with "Unsupported operation".
#pragma once

#include <memory>
#include <string>

#include "transport/Transport.hpp"

namespace korvane {

class UDTTransport : public Transport {
public:
    /// The UDT library's socket handle (an int there); kept as a plain alias so
    /// that users of this header need no UDT headers.
    using UDTSOCKET = int;

    /// Unconnected; UDP send and receive buffers of 65536 bytes on every socket
    /// that connect() or bind() creates. Initialises the UDT library when this
    /// is the process's first live UDT transport. Thread-safe.
    UDTTransport();
    /// The same with chosen UDP send and receive buffer sizes in bytes; 0 (or
    /// less) keeps the UDT library's own default for that buffer, which on
    /// loopback loses far fewer packets than 65536.
    UDTTransport(int udp_send_buffer, int udp_receive_buffer);
    /// Closes (result discarded); releases the UDT library with the last live
    /// UDT transport. Thread-safe.
    ~UDTTransport() override;

    UDTTransport(const UDTTransport&) = delete;
    UDTTransport(UDTTransport&&) = delete;
    UDTTransport& operator=(const UDTTransport&) = delete;
    UDTTransport& operator=(UDTTransport&&) = delete;

    /// Blocking. Resolves `address` (IPv4 only) and connects to the first
    /// result. TRANSPORT_STATUS_HOST_NOT_FOUND "Couldn't resolve hostname:
    /// <address>", or the UDT library's error and text.
    StatusCode connect(std::string address, port_t port) override;
    /// Calls `callback` with TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED on the
    /// calling thread, before returning.
    void connect_async(std::string address, port_t port, connect_handler_t callback) override;
    /// Blocking. Binds `address` ("*": every IPv4 interface) and `port` and
    /// listens (backlog BACKLOG). Statuses as for connect().
    StatusCode bind(port_t port, std::string address) override;
    /// Blocks until a connection arrives; the caller owns the returned
    /// transport. Null on failure, with the UDT library's error in `status`.
    std::unique_ptr<Transport> accept(StatusCode* status) override;
    /// Calls `callback` with a null transport and TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED
    /// on the calling thread, before returning.
    void accept_async(accept_handler_t callback) override;
    /// Blocking. Count read (1..length, exactly length with `all`), 0 with
    /// TRANSPORT_STATUS_OKAY once the connection is lost or closed by the peer
    /// (also after part of an `all` read), -1 with the UDT library's error.
    korvane_buf_len_t read(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status, bool all) override;
    /// Calls `callback` with count 0 and TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED
    /// on the calling thread, before returning.
    void read_async(korvane_buf_t buffer, korvane_buf_len_t length, read_handler_t callback, bool all) override;
    /// Blocking write of all `length` bytes: `length`, 0 once the connection is
    /// lost (status untouched), -1 with the UDT library's error in `status`.
    korvane_buf_len_t write(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status) override;
    /// Calls `callback` with count -1 and TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED
    /// on the calling thread, before returning.
    void write_async(korvane_buf_t buffer, korvane_buf_len_t length, write_handler_t callback) override;
    /// Closes the UDT socket. TRANSPORT_STATUS_OKAY also when there was none
    /// or it is already closed; otherwise the UDT library's error.
    StatusCode close() override;
    /// Deadline of each later blocking read, applied through the UDT
    /// library's receive timeout with the time left before each call: -1
    /// TIMEOUT "Read timed out" (before any byte the connection stays usable).
    void read_deadline(clock_t::time_point deadline) override;
    /// The same for writes, through the send timeout ("Write timed out").
    void write_deadline(clock_t::time_point deadline) override;
    /// True for reads and writes. connect() is bounded by the UDT library's
    /// own connect limit instead: connect_timeout() and handshake_timeout()
    /// keep the defaults and do nothing (UDT has no handshake of ours).
    bool bounds_waits() const override;
    /// There is no loop to run: TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED at once.
    StatusCode start() override;
    /// Does nothing.
    void stop() override;

protected:
    /// Adopts a socket returned by the UDT library's accept.
    explicit UDTTransport(UDTSOCKET remote_socket);

    /// Count one more live transport, starting the UDT library on the first.
    static void acquire_library();
    /// Count one less, releasing the UDT library with the last.
    static void release_library();
    /// Creates m_socket for `family`/`type`/`protocol` with the chosen UDP buffers.
    void open_socket(int family, int type, int protocol);
    /// Whether the UDT call that just failed met the end of the connection.
    bool lost_connection() const;

    static const korvane_size_t BACKLOG;
    /// Live UDT transports in the process; guarded by a lock in the source.
    static korvane_size_t m_reference_count;

    UDTSOCKET m_socket;
    /// Between a successful connect (or accept) and close(): the UDT library
    /// discards a connection about a second after the peer closed it, and an
    /// invalid handle then means end of stream rather than a caller's mistake.
    bool m_connected;
    int m_udp_send_buffer;
    int m_udp_receive_buffer;

private:
    bool bound_next_call(int option, clock_t::time_point deadline, bool& bounded);

    clock_t::time_point m_read_deadline = clock_t::time_point::max();
    clock_t::time_point m_write_deadline = clock_t::time_point::max();
    // Whether the socket carries a receive or send timeout of ours.
    bool m_read_bounded = false;
    bool m_write_bounded = false;
};

} // namespace korvane
