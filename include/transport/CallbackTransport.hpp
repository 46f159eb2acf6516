// A transport whose byte carriage the application supplies: four callbacks
// connect, read, write and close, all run synchronously on the calling thread.
// Listening, accepting and every asynchronous operation are unsupported.
//
// Deadlines: the library cannot interrupt a callback, so nothing here is
// bounded (bounds_waits() is false; the deadline calls keep the defaults and
// do nothing). A read or write callback that may wait must bound itself, for
// example by returning a negative number once its own deadline passed, which
// the caller sees as a failed read or write.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "transport/Transport.hpp"

namespace korvane {

class CallbackTransport : public Transport {
public:
    /// Opens the medium to (address, port); true once open.
    using connect_callback_t = std::function<bool(const std::string&, int)>;
    /// Places up to the given number of bytes at the pointer and returns how
    /// many (0 or more), or a negative number on failure. The `long` is set to
    /// 0 at the start of each read() and shared by that read's calls.
    using read_callback_t = std::function<long(void*, long, long&)>;
    /// Takes up to the given number of bytes; returns how many, or a negative
    /// number on failure.
    using write_callback_t = std::function<long(void*, long)>;
    using close_callback_t = std::function<void()>;

    /// No callbacks: every operation that needs one reports TRANSPORT_STATUS_INVALID_ARGUMENT.
    CallbackTransport();
    /// Keeps copies of the callbacks; any may be empty.
    CallbackTransport(connect_callback_t connect, read_callback_t read, write_callback_t write,
                      close_callback_t close);
    /// Calls close(), so the close callback runs again at destruction.
    ~CallbackTransport() override;

    CallbackTransport(const CallbackTransport&) = delete;
    CallbackTransport(CallbackTransport&&) = delete;
    CallbackTransport& operator=(const CallbackTransport&) = delete;
    CallbackTransport& operator=(CallbackTransport&&) = delete;

    /// Calls the connect callback once: OKAY when it returns true, else
    /// TRANSPORT_STATUS_NOT_CONNECTED (empty text).
    StatusCode connect(std::string address, port_t port) override;
    /// Calls `callback` with TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED before returning.
    void connect_async(std::string address, port_t port, connect_handler_t callback) override;
    /// TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED.
    StatusCode bind(port_t port, std::string address) override;
    /// Null, with TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED in `status`.
    std::unique_ptr<Transport> accept(StatusCode* status) override;
    /// Calls `callback` with a null transport and TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED
    /// before returning.
    void accept_async(accept_handler_t callback) override;
    /// Without `all`: one callback call, its count returned (0 is a successful
    /// empty read). With `all`: calls until `length` bytes arrived; a result of
    /// 0 is a failure. A negative result is returned as it is, with
    /// TRANSPORT_STATUS_UNKNOWN; OKAY is written on success. A result above
    /// what the call was offered is a failure too: -1, TRANSPORT_STATUS_UNKNOWN,
    /// "Read callback reported more bytes than offered".
    korvane_buf_len_t read(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status, bool all) override;
    /// Calls `callback` with count 0 and TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED
    /// before returning.
    void read_async(korvane_buf_t buffer, korvane_buf_len_t length, read_handler_t callback, bool all) override;
    /// One callback call (also for length 0), whose result is returned as it is,
    /// even a partial count: OKAY in `status` when not negative,
    /// TRANSPORT_STATUS_UNKNOWN otherwise.
    korvane_buf_len_t write(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status) override;
    /// Calls `callback` with count -1 and TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED
    /// before returning.
    void write_async(korvane_buf_t buffer, korvane_buf_len_t length, write_handler_t callback) override;
    /// Calls the close callback, every time it is called.
    StatusCode close() override;
    /// There is no loop to run: TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED at once.
    StatusCode start() override;
    /// Does nothing.
    void stop() override;

protected:
    connect_callback_t m_connect_callback;
    read_callback_t m_read_callback;
    write_callback_t m_write_callback;
    close_callback_t m_close_callback;
};

} // namespace korvane
