// Deadline-bounded blocking calls. asio's synchronous operations wait with
// poll(2) and no limit once the descriptor is non-blocking, so bounded calls
// work on the descriptor directly.
#include "transport/Deadline.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "transport/AsioError.hpp"
#include "transport/StreamPlumbing.hpp"

namespace korvane {
namespace detail {

using Status = Transport::StatusCode;
using tcp = asio::ip::tcp;

Clock::time_point deadline_after(std::chrono::milliseconds timeout)
{
    return timeout.count() > 0 ? Clock::now() + timeout : NO_DEADLINE;
}

bool wait_ready(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        int wait = -1;
        if (deadline != NO_DEADLINE) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                return false;
            }
            wait = left > 1000000 ? 1000000 : static_cast<int>(left);
        }
        pollfd wanted{fd, events, 0};
        const int ready = ::poll(&wanted, 1, wait);
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            return true;
        }
    }
}

Status timed_out(const char* what)
{
    return Status(Status::TRANSPORT_STATUS_TIMEOUT, std::string(what) + " timed out");
}

korvane_buf_len_t bounded_transfer(int fd, char* data, std::size_t length, bool reading, bool all,
                                   Clock::time_point deadline, Status& status)
{
    std::size_t done = 0;
    while (done < length) {
        if (!wait_ready(fd, reading ? POLLIN : POLLOUT, deadline)) {
            status = timed_out(reading ? "Read" : "Write");
            return -1;
        }
        const ssize_t moved = reading ? ::recv(fd, data + done, length - done, MSG_DONTWAIT)
                                      : ::send(fd, data + done, length - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (moved < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (moved <= 0) {
            const asio::error_code error =
                moved == 0 ? asio::error_code(asio::error::eof) : asio::error_code(errno, asio::system_category());
            return transfer_result(error, done, status);
        }
        done += static_cast<std::size_t>(moved);
        if (reading && !all) {
            break;
        }
    }
    return transfer_result(asio::error_code(), done, status);
}

namespace {

// getaddrinfo cannot be interrupted: the lookup runs on a thread of its own
// that shares this state, and a caller that stops waiting leaves it behind.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    asio::error_code error;
    tcp::resolver::results_type results;
};

asio::error_code resolve_within(const std::string& address, Transport::port_t port, Clock::time_point deadline,
                                tcp::resolver::results_type& results)
{
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, address, port] {
        asio::io_context private_context;
        tcp::resolver resolver(private_context);
        asio::error_code error;
        auto found = resolver.resolve(address, std::to_string(port), RESOLVE_FLAGS, error);
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->error = error;
        lookup->results = std::move(found);
        lookup->done = true;
        lookup->done_cv.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done_cv.wait_until(lock, deadline, [&] { return lookup->done; })) {
        return asio::error::timed_out;
    }
    results = lookup->results;
    return lookup->error;
}

asio::error_code connect_endpoint(tcp::socket& socket, const tcp::endpoint& endpoint, Clock::time_point deadline)
{
    asio::error_code error;
    socket.close(error);
    if (socket.open(endpoint.protocol(), error)) {
        return error;
    }
    const int fd = socket.native_handle();
    socket.native_non_blocking(true, error);
    if (::connect(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
        int failure = errno;
        if (failure == EINPROGRESS) {
            if (!wait_ready(fd, POLLOUT, deadline)) {
                socket.close(error);
                return asio::error::timed_out;
            }
            socklen_t size = sizeof failure;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size);
        }
        if (failure != 0) {
            socket.close(error);
            return asio::error_code(failure, asio::system_category());
        }
    }
    socket.native_non_blocking(false, error);
    return asio::error_code();
}

} // namespace

Status connect_within(tcp::socket& socket, const std::string& address, Transport::port_t port,
                      Clock::time_point deadline)
{
    tcp::resolver::results_type endpoints;
    asio::error_code error = resolve_within(address, port, deadline, endpoints);
    if (error == asio::error::timed_out) {
        return timed_out("Connect");
    }
    if (error) {
        return status_from("resolve", error);
    }
    error = asio::error::not_found;
    for (const auto& entry : endpoints) {
        error = connect_endpoint(socket, entry.endpoint(), deadline);
        if (error == asio::error::timed_out) {
            return timed_out("Connect");
        }
        if (!error) {
            return Status();
        }
    }
    return status_from("connect", error);
}

} // namespace detail
} // namespace korvane
