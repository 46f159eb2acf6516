// The abstract byte-stream connection under every socket, and the status
// value that every operation of the library reports.
//
// Conventions shared by all transports:
//  - a successful read or write reports the bytes moved; -1 reports a failure
//    whose code and text are in the status;
//  - the peer's orderly close is a count of 0 with TRANSPORT_STATUS_OKAY;
//  - `status` out-parameters may be null;
//  - handlers run exactly once, on a thread inside start() (TCP, TLS), or
//    before the initiating call returns for operations a transport does not
//    offer ("Unsupported operation").
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <system_error>
#include <type_traits>

#include "Types.hpp"

namespace korvane {

class Transport {
public:
    /// Outcome of an operation: a code (0 success, negative failure) and a text.
    class StatusCode {
    public:
        enum transport_status_code_t : korvane_buf_len_t {
            TRANSPORT_STATUS_OKAY = 0, ///< success
            TRANSPORT_STATUS_UNKNOWN = -1, ///< a socket-layer error outside the table, or a callback that failed without saying why
            TRANSPORT_STATUS_ACCESS_DENIED = -2, ///< the system refused the address or port (EACCES)
            TRANSPORT_STATUS_ADDRESS_FAMILY_NOT_SUPPORTED = -3, ///< an address of a family the transport cannot use
            TRANSPORT_STATUS_ADDRESS_IN_USE = -4, ///< bind: something already listens there
            TRANSPORT_STATUS_ALREADY_CONNECTED = -5, ///< connect on a connected transport
            TRANSPORT_STATUS_ALREADY_STARTED = -6, ///< an operation of the same kind is already in progress (EALREADY)
            TRANSPORT_STATUS_BROKEN_PIPE = -7, ///< the peer went away mid-write, or a frame ended early ("Incomplete read")
            TRANSPORT_STATUS_CONNECTION_ABORTED = -8, ///< the connection was aborted locally
            TRANSPORT_STATUS_CONNECTION_REFUSED = -9, ///< connect: nobody listens at the address
            TRANSPORT_STATUS_CONNECTION_RESET = -10, ///< the peer reset the connection
            TRANSPORT_STATUS_BAD_DESCRIPTOR = -11, ///< an operation on a closed transport
            TRANSPORT_STATUS_HOST_UNREACHABLE = -12, ///< no route to the host, or an asynchronous connect that reached no address
            TRANSPORT_STATUS_HOST_NOT_FOUND = -13, ///< the name did not resolve ("Couldn't resolve hostname: ...")
            TRANSPORT_STATUS_INTERRUPTED = -14, ///< a system call was interrupted
            TRANSPORT_STATUS_INVALID_ARGUMENT = -15, ///< a bad address, length or buffer (names in bind, a callback's bad count)
            TRANSPORT_STATUS_NETWORK_DOWN = -16, ///< the network interface is down
            TRANSPORT_STATUS_NETWORK_RESET = -17, ///< the network dropped the connection
            TRANSPORT_STATUS_NETWORK_UNREACHABLE = -18, ///< no route to the network
            TRANSPORT_STATUS_NO_DESCRIPTORS = -19, ///< the process is out of file descriptors
            TRANSPORT_STATUS_NO_BUFFER_SPACE = -20, ///< the system is out of socket buffers
            TRANSPORT_STATUS_NO_MEMORY = -21, ///< an allocation failed: this connection fails, the process goes on
            TRANSPORT_STATUS_NO_PROTOCOL_OPTION = -22, ///< the system refused a socket option
            TRANSPORT_STATUS_NOT_CONNECTED = -23, ///< read, write or send before connect or after the peer left
            TRANSPORT_STATUS_OPERATION_ABORTED = -24, ///< close() cancelled the operation, or a TLS server handshake failed
            TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED = -25, ///< the transport or socket does not offer this ("Unsupported operation"), or the key exchange failed
            TRANSPORT_STATUS_SHUTDOWN = -26, ///< a multiplexed socket was closed or lost every connection ("Shutdown was triggered")
            TRANSPORT_STATUS_TIMEOUT = -27, ///< a deadline (Timeouts, keep-alive) ran out; the text names the step
            TRANSPORT_STATUS_NO_DATA = -28, ///< nothing to read where something was required
            TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR = -29, ///< an encoder stage failed (compression, sealing)
            TRANSPORT_STATUS_PIPELINE_DECODE_ERROR = -30, ///< a decoder stage refused the bytes (corrupt, forged, or a differing pipeline)
            TRANSPORT_STATUS_MSG_TOO_LARGE = -31, ///< a frame above 5242880 bytes, sent or announced by the peer
            TRANSPORT_STATUS_NAME_TOO_LONG = -32, ///< a host name or path too long for the system
            TRANSPORT_STATUS_NOT_SOCKET = -33, ///< the descriptor is not a socket
            TRANSPORT_STATUS_TRY_AGAIN = -34, ///< the system asks to retry later (EAGAIN)
        };

        /// Success: TRANSPORT_STATUS_OKAY with an empty text.
        StatusCode();
        StatusCode(transport_status_code_t code, const std::string& message);

        /// True on success (code not negative): `if (status)`. Explicit, so a
        /// status never turns into a number by accident.
        explicit operator bool() const;
        /// True for every failure (negative code).
        bool operator!() const;
        /// Equal when both the code and the text are equal.
        bool operator==(const StatusCode& other) const;
        bool operator!=(const StatusCode& other) const;
        /// Compares the numeric code, e.g. `status == TRANSPORT_STATUS_OKAY`.
        bool operator==(const korvane_buf_len_t& code) const;
        bool operator!=(const korvane_buf_len_t& code) const;

        std::string message() const;
        transport_status_code_t code() const;

    protected:
        std::string m_message;
        transport_status_code_t m_code;
    };

    using port_t = std::uint16_t;
    using connect_handler_t = std::function<void(Transport&, StatusCode)>;
    using accept_handler_t = std::function<void(Transport&, std::unique_ptr<Transport>, StatusCode)>;
    using read_handler_t = std::function<void(Transport&, long, void*, long, StatusCode)>;
    using write_handler_t = std::function<void(Transport&, long, StatusCode)>;

    virtual ~Transport() = default;

    /// Blocking connect to a host name or numeric address.
    virtual StatusCode connect(std::string address, port_t port) = 0;
    /// Starts a connect and returns at once; `callback` gets the outcome.
    virtual void connect_async(std::string address, port_t port, connect_handler_t callback) = 0;
    /// Listens on `address` ("*" for every interface) and `port`. Port first.
    virtual StatusCode bind(port_t port, std::string address) = 0;
    /// Blocks until one connection arrives; null on failure (reason in `status`).
    virtual std::unique_ptr<Transport> accept(StatusCode* status) = 0;
    /// Accepts one connection; call again to keep accepting.
    virtual void accept_async(accept_handler_t callback) = 0;
    /// Blocking read into the caller's buffer. `all`: exactly `length` bytes;
    /// otherwise whatever is available, at least one byte.
    virtual korvane_buf_len_t read(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status, bool all) = 0;
    /// The same read; the buffer must stay valid until `callback` ran.
    virtual void read_async(korvane_buf_t buffer, korvane_buf_len_t length, read_handler_t callback, bool all) = 0;
    /// Blocking write of all `length` bytes. `status` is written only on failure.
    virtual korvane_buf_len_t write(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status) = 0;
    /// Writes all `length` bytes; the buffer must stay valid until `callback` ran.
    virtual void write_async(korvane_buf_t buffer, korvane_buf_len_t length, write_handler_t callback) = 0;

    /// One piece of a gather write: `length` bytes at `data`.
    struct ConstBuffer {
        const void* data;
        korvane_buf_len_t length;
    };
    /// Blocking write of `count` pieces in order, as one run of bytes: the
    /// total, 0 at the end of the stream, or -1 with the reason in `status`
    /// (written only on failure). The default copies totals up to 64 KiB
    /// into one write and writes larger ones piece by piece; a transport that
    /// can hand every piece to the system at once overrides it.
    virtual korvane_buf_len_t write_gather(const ConstBuffer* pieces, std::size_t count, StatusCode* status);
    /// The same, asynchronously: `callback` runs once with the total or -1.
    /// The array is copied before this returns; the bytes it points at must
    /// stay valid until `callback` ran. The default copies them into one
    /// write_async.
    virtual void write_gather_async(const ConstBuffer* pieces, std::size_t count, write_handler_t callback);
    /// Hands the system what it takes of the pieces at once, without
    /// waiting, and returns how many bytes that was. Only while no other
    /// write is in flight; nothing is reported: a failure is left for the
    /// next write to meet. The default takes nothing (0), for transports
    /// that cannot write on the calling thread.
    virtual std::size_t write_gather_ahead(const ConstBuffer* pieces, std::size_t count) noexcept;
    /// Ends the connection and stops listening; pending asynchronous
    /// operations complete with TRANSPORT_STATUS_OPERATION_ABORTED.
    virtual StatusCode close() = 0;
    /// Runs this transport class's event loop on the calling thread until
    /// stop() or until no work is left.
    virtual StatusCode start() = 0;
    /// Stops the event loop for every transport of this class.
    virtual void stop() = 0;

    // Deadlines. A transport that can bound its waits overrides these; the
    // defaults bound nothing (see each transport's header for what it can).
    // An operation still waiting at its deadline fails with
    // TRANSPORT_STATUS_TIMEOUT; a read or write that moved some bytes before
    // it expired leaves the stream at an unknown point.
    using clock_t = std::chrono::steady_clock;
    /// Deadline of every read (blocking or asynchronous) started after this
    /// call, until it is set again; clock_t::time_point::max() for none. Set
    /// by whoever owns the read direction, never during a read.
    virtual void read_deadline(clock_t::time_point deadline);
    /// The same for writes.
    virtual void write_deadline(clock_t::time_point deadline);
    /// Bound on each later connect, name resolution included; 0 for none.
    virtual void connect_timeout(std::chrono::milliseconds timeout);
    /// Bound on the transport's own handshake (TLS) in each later connect
    /// and in each connection accepted from now on, which inherits it.
    virtual void handshake_timeout(std::chrono::milliseconds timeout);
    /// Whether this transport honours the four calls above.
    virtual bool bounds_waits() const;

    // Last among the virtual calls, so that the others keep their places.
    /// Has `work` run once on this transport's event loop, after this call
    /// returns: how an operation that needs no wait still completes on the
    /// loop. The default, for transports without a loop, runs it at once.
    /// Throws std::bad_alloc when the work cannot be queued.
    virtual void post(std::function<void()> work);
};

/// The "korvane" error category: value = a transport_status_code_t, message
/// = a fixed English text per code (a status's own text, which may name the
/// failing step, stays in StatusCode::message()). Codes with a POSIX
/// counterpart compare equal to it, e.g. `ec == std::errc::connection_refused`.
const std::error_category& korvane_category() noexcept;
/// `std::error_code ec = status.code();` goes through this (found by ADL).
std::error_code make_error_code(Transport::StatusCode::transport_status_code_t code) noexcept;
/// The error_code of a whole status; its text is then lost (keep message()).
std::error_code make_error_code(const Transport::StatusCode& status) noexcept;

/// Prints "CODE_NAME (code): text", for logs and test failures.
std::ostream& operator<<(std::ostream& out, const Transport::StatusCode& status);
/// The enumerator's name without its prefix, e.g. "CONNECTION_REFUSED".
const char* status_code_name(Transport::StatusCode::transport_status_code_t code);

} // namespace korvane

namespace std {
template <>
struct is_error_code_enum<korvane::Transport::StatusCode::transport_status_code_t> : true_type {
};
} // namespace std
