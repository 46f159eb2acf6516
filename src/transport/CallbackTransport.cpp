// Callback transport: the application's plain results turned into statuses.
#include "transport/CallbackTransport.hpp"

#include <exception>
#include <utility>

namespace korvane {

using Status = Transport::StatusCode;

namespace {

Status unsupported()
{
    return Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Unsupported operation");
}

Status failure(Status::transport_status_code_t code)
{
    return Status(code, std::string());
}

// A callback that reports more bytes than it was offered has either written
// past the buffer or miscounted; either way the count cannot be passed on.
Status overcount()
{
    return Status(Status::TRANSPORT_STATUS_UNKNOWN, "Read callback reported more bytes than offered");
}

void report(Status* status, Status value)
{
    if (status != nullptr) {
        *status = std::move(value);
    }
}

// Callbacks are asked not to throw; should one do so anyway, the operation
// still reports a status instead of letting the exception out (the destructor
// calls the close callback).
template <typename Call>
Status guarded(Call call)
{
    try {
        return call();
    } catch (const std::exception& error) {
        return Status(Status::TRANSPORT_STATUS_UNKNOWN, error.what());
    } catch (...) {
        return failure(Status::TRANSPORT_STATUS_UNKNOWN);
    }
}

} // namespace

CallbackTransport::CallbackTransport() = default;

CallbackTransport::CallbackTransport(connect_callback_t connect, read_callback_t read, write_callback_t write,
                                     close_callback_t close)
    : m_connect_callback(std::move(connect)), m_read_callback(std::move(read)), m_write_callback(std::move(write)),
      m_close_callback(std::move(close))
{
}

CallbackTransport::~CallbackTransport()
{
    close();
}

Status CallbackTransport::connect(std::string address, port_t port)
{
    if (!m_connect_callback) {
        return failure(Status::TRANSPORT_STATUS_INVALID_ARGUMENT);
    }
    return guarded([&] {
        return m_connect_callback(address, static_cast<int>(port)) ? Status()
                                                                   : failure(Status::TRANSPORT_STATUS_NOT_CONNECTED);
    });
}

korvane_buf_len_t CallbackTransport::read(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status, bool all)
{
    if (!m_read_callback) {
        report(status, failure(Status::TRANSPORT_STATUS_INVALID_ARGUMENT));
        return -1;
    }
    char* const bytes = static_cast<char*>(buffer);
    long shared = 0;
    korvane_buf_len_t total = 0;
    while (total < length) {
        long result = -1;
        const Status outcome = guarded([&] {
            result = m_read_callback(bytes + total, static_cast<long>(length - total), shared);
            return Status();
        });
        if (!outcome) {
            report(status, outcome);
            return -1;
        }
        if (result < 0 || (result == 0 && all)) {
            report(status, failure(Status::TRANSPORT_STATUS_UNKNOWN));
            return result;
        }
        if (result > length - total) {
            report(status, overcount());
            return -1;
        }
        total += result;
        if (!all) {
            break;
        }
    }
    report(status, Status());
    return total;
}

korvane_buf_len_t CallbackTransport::write(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status)
{
    if (!m_write_callback) {
        report(status, failure(Status::TRANSPORT_STATUS_INVALID_ARGUMENT));
        return -1;
    }
    long result = -1;
    const Status outcome = guarded([&] {
        result = m_write_callback(buffer, static_cast<long>(length));
        return Status();
    });
    if (!outcome) {
        report(status, outcome);
        return -1;
    }
    report(status, result < 0 ? failure(Status::TRANSPORT_STATUS_UNKNOWN) : Status());
    return result;
}

Status CallbackTransport::close()
{
    if (!m_close_callback) {
        return failure(Status::TRANSPORT_STATUS_INVALID_ARGUMENT);
    }
    return guarded([&] {
        m_close_callback();
        return Status();
    });
}

Status CallbackTransport::bind(port_t, std::string)
{
    return unsupported();
}

std::unique_ptr<Transport> CallbackTransport::accept(StatusCode* status)
{
    report(status, unsupported());
    return nullptr;
}

Status CallbackTransport::start()
{
    return unsupported();
}

void CallbackTransport::stop() {}

void CallbackTransport::connect_async(std::string, port_t, connect_handler_t callback)
{
    callback(*this, unsupported());
}

void CallbackTransport::accept_async(accept_handler_t callback)
{
    callback(*this, nullptr, unsupported());
}

void CallbackTransport::read_async(korvane_buf_t buffer, korvane_buf_len_t length, read_handler_t callback, bool)
{
    callback(*this, 0, buffer, length, unsupported());
}

void CallbackTransport::write_async(korvane_buf_t, korvane_buf_len_t, write_handler_t callback)
{
    callback(*this, -1, unsupported());
}

} // namespace korvane
