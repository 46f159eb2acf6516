// TCP keep-alive timing, shared by the TCP and TLS transports so that both
// bound a silent peer in exactly the same way.
#pragma once

namespace korvane {
namespace detail {

/// Applies the keep-alive timing to the connected TCP socket `fd`: probes
/// start after `idleSec` seconds of silence, `probeCount` unanswered probes
/// `probeInterval` seconds apart drop the connection, and unacknowledged data
/// gives up after the same total time (TCP_USER_TIMEOUT). Does nothing and
/// returns true when `idleSec` is below 1; otherwise false at the first
/// setsockopt that fails (the remaining options are then not set).
bool apply_keep_alive(int fd, int idleSec, int probeCount, int probeInterval);

} // namespace detail
} // namespace korvane
