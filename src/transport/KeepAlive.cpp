// TCP keep-alive timing for the TCP and TLS transports.
#include "transport/KeepAlive.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdint>
#include <limits>

namespace korvane {
namespace detail {

namespace {

bool set_tcp_option(int fd, int name, int value)
{
    return ::setsockopt(fd, IPPROTO_TCP, name, &value, sizeof value) == 0;
}

// Milliseconds before unacknowledged data gives up: the whole probing period.
// Computed wide and clamped, so that absurd settings cannot wrap around to a
// short timeout; a negative period stays negative and the kernel refuses it.
int user_timeout_ms(int idleSec, int probeCount, int probeInterval)
{
    const std::int64_t seconds = static_cast<std::int64_t>(probeInterval) * probeCount + idleSec;
    if (seconds < 0) {
        return -1;
    }
    if (seconds > std::numeric_limits<int>::max() / 1000) {
        return std::numeric_limits<int>::max();
    }
    return static_cast<int>(seconds * 1000);
}

} // namespace

bool apply_keep_alive(int fd, int idleSec, int probeCount, int probeInterval)
{
    if (idleSec < 1) {
        return true;
    }
    return set_tcp_option(fd, TCP_USER_TIMEOUT, user_timeout_ms(idleSec, probeCount, probeInterval)) &&
           set_tcp_option(fd, TCP_KEEPIDLE, idleSec) && set_tcp_option(fd, TCP_KEEPINTVL, probeInterval) &&
           set_tcp_option(fd, TCP_KEEPCNT, probeCount);
}

} // namespace detail
} // namespace korvane
