// Deadlines for the blocking calls of the stream transports: how long poll(2)
// may wait, and transfers and connects that give up when the time is out.
#pragma once

#include "transport/AsioConfig.hpp"

#include <asio.hpp>

#include <chrono>
#include <string>

#include "transport/Transport.hpp"

namespace korvane {
namespace detail {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point NO_DEADLINE = Clock::time_point::max();

/// `timeout` from now; NO_DEADLINE for 0 (or less).
Clock::time_point deadline_after(std::chrono::milliseconds timeout);

/// Waits until `fd` is ready for `events` (or has an error or hang-up for
/// the next system call to report); false once `deadline` passed first.
bool wait_ready(int fd, short events, Clock::time_point deadline);

/// TRANSPORT_STATUS_TIMEOUT with "<what> timed out".
Transport::StatusCode timed_out(const char* what);

/// One blocking read (`reading`) or write of `length` bytes on `fd` that
/// gives up at `deadline` ("Read timed out", "Write timed out"). Reads move
/// one receive unless `all`. The descriptor's own blocking mode is left
/// alone, so an asynchronous operation may be outstanding on it.
korvane_buf_len_t bounded_transfer(int fd, char* data, std::size_t length, bool reading, bool all,
                                   Clock::time_point deadline, Transport::StatusCode& status);

/// Blocking resolve and connect of `socket` that gives up at `deadline`
/// ("Connect timed out"); other failures as for connect_blocking. A name
/// lookup still running at the deadline finishes on a thread of its own.
Transport::StatusCode connect_within(asio::ip::tcp::socket& socket, const std::string& address,
                                     Transport::port_t port, Clock::time_point deadline);

} // namespace detail
} // namespace korvane
