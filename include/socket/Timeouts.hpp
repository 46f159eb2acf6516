// How long a socket waits on its peer. Every field is a bound on one step;
// 0 means no limit. Set them with SocketImpl::timeouts(); sockets accepted
// from a listener start with the listener's.
#pragma once

#include <chrono>

namespace korvane {

struct Timeouts {
    std::chrono::milliseconds connect{0};                          // resolution + transport connect
    std::chrono::milliseconds handshake{std::chrono::seconds(10)}; // TLS handshake, key exchange, multiplexed id frame / group assembly
    std::chrono::milliseconds send{0};                             // one whole message
    std::chrono::milliseconds recv{0};                             // one whole message
};

} // namespace korvane
