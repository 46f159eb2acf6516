// Helpers for the fault-injection tests: a listening BasicSocket, a proxy in
// front of it with the faults a case asks for, and a client connected through
// the proxy; where each frame starts on the wire; bounded receives. Every wait
// has a deadline, and sockets are kept until the event loop has drained.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "socket/SocketSupport.hpp"
#include "support/Certificates.hpp"
#include "support/FaultProxy.hpp"
#include "transport/TLSTransport.hpp"

namespace korvane {
namespace testing {

/// Bytes each end sends for the key exchange: one frame with a 32-byte key.
constexpr std::uint64_t KEY_FRAME = 8 + 32;
/// Deadline for a wait that should end at once (an end of stream already on
/// its way); generous enough for a sanitizer build on a busy machine.
constexpr std::chrono::milliseconds PROMPT{5000};

inline bool encrypts(Stages stages)
{
    return stages != Stages::None && stages != Stages::Compression;
}

/// The transport under the sockets of a case.
enum class Wire { Tcp, Tls };

inline const char* name(Wire wire)
{
    return wire == Wire::Tcp ? "Tcp" : "Tls";
}

/// A socket over `wire` with `stages`; a TLS listener presents the test
/// server chain, a TLS client does not verify it.
inline Socket staged_socket(Stages stages, Wire wire = Wire::Tcp, bool listener = false)
{
    Socket socket;
    if (wire == Wire::Tcp) {
        socket = tcp_socket();
    } else if (listener) {
        socket = BasicSocket::create(std::make_unique<TLSTransport>(test_pki().server_chain, test_pki().server_key));
    } else {
        socket = BasicSocket::create(std::make_unique<TLSTransport>());
    }
    configure(socket->pipeline(), stages, KeyPair());
    return socket;
}

/// Where each of `messages` begins in one direction's stream, and where the
/// stream ends after the last: the key frame first when `stages` encrypt,
/// then one 8-byte header and the encoded body per message. Encoded sizes
/// come from a pipeline of the same stages (sealing and compressing do not
/// depend on the key).
inline std::vector<std::uint64_t> frame_offsets(Stages stages, const std::vector<Message>& messages)
{
    Pipeline probe;
    configure(probe, stages, KeyPair());
    std::vector<std::uint64_t> offsets{encrypts(stages) ? KEY_FRAME : 0};
    for (const Message& message : messages) {
        Status status;
        const Message encoded = probe.encode(Message(message), &status);
        EXPECT_FALSE(encoded.null()) << status;
        offsets.push_back(offsets.back() + 8 + static_cast<std::uint64_t>(encoded.length()));
    }
    return offsets;
}

/// Messages of the given sizes with random (incompressible) bytes.
inline std::vector<Message> random_messages(const std::vector<korvane_buf_len_t>& sizes)
{
    std::vector<Message> messages;
    for (korvane_buf_len_t size : sizes) {
        messages.push_back(random_message(size));
    }
    return messages;
}

/// Binds `listener` on 127.0.0.1 and a port of the kernel's choice, and
/// returns the port (0, a failure recorded, when that cannot be done).
inline std::uint16_t bind_any_port(SocketImpl& listener, SocketImpl& bound)
{
    const Status status = listener.bind(0, LOCALHOST);
    const std::uint16_t port = status.code() >= 0 ? bound_port(bound) : 0;
    EXPECT_NE(0, port) << "no port to listen on: " << status;
    return port;
}

inline std::uint16_t bind_any_port(SocketImpl& listener)
{
    return bind_any_port(listener, listener);
}

/// A client and a server BasicSocket joined through a FaultProxy.
struct ProxiedLink : SocketPair {
    Wire wire = Wire::Tcp;
    std::unique_ptr<FaultProxy> proxy;
};

/// A listener with `stages` on a port of its own and a proxy in front of it; the
/// caller adds faults to the proxy before connecting.
inline ProxiedLink listen_behind_proxy(Stages stages, Wire wire = Wire::Tcp)
{
    ProxiedLink link;
    link.wire = wire;
    link.listener = staged_socket(stages, wire, true);
    const std::uint16_t port = bind_any_port(*link.listener);
    link.proxy = std::make_unique<FaultProxy>(port);
    EXPECT_TRUE(link.proxy->ok());
    return link;
}

/// Connects a client with `stages` through the proxy and accepts on a helper
/// thread, both blocking (key exchange included). A call still waiting at
/// the deadline is released by closing, and `in_time` turns false.
inline void join_blocking(ProxiedLink& link, Stages stages)
{
    link.client = staged_socket(stages, link.wire);
    join_blocking(link, LOCALHOST, link.proxy->port());
}

/// The same with connect(callback) and accept_async; a loop of at least two
/// threads must run (each exchange blocks one).
inline void join_async(ProxiedLink& link, Stages stages)
{
    link.client = staged_socket(stages, link.wire);
    join_async(link, LOCALHOST, link.proxy->port());
}

inline void join(ProxiedLink& link, Stages stages, bool async)
{
    if (async) {
        join_async(link, stages);
    } else {
        join_blocking(link, stages);
    }
}

/// One blocking receive under a watchdog that closes the socket at the
/// deadline; nothing when the deadline passed.
inline std::optional<std::pair<Message, Status>> recv_bounded(SocketImpl& socket,
                                                              std::chrono::milliseconds deadline = DEADLINE)
{
    Watchdog watchdog([&socket] { socket.close(); }, deadline);
    Status status;
    Message message = socket.recv(&status);
    if (watchdog.fired()) {
        return std::nullopt;
    }
    return std::make_pair(std::move(message), status);
}

/// One receive, blocking or through recv(callback).
inline std::optional<std::pair<Message, Status>> receive(SocketImpl& socket, bool async,
                                                         std::chrono::milliseconds deadline = DEADLINE)
{
    if (!async) {
        return recv_bounded(socket, deadline);
    }
    auto done = std::make_shared<Completion<std::pair<Message, Status>>>();
    socket.recv([done](SocketImpl&, Message message, Status status) {
        done->set(std::make_pair(std::move(message), status));
    });
    return done->wait(deadline);
}

inline std::string describe(const std::optional<std::pair<Message, Status>>& got)
{
    if (!got) {
        return "nothing before the deadline";
    }
    std::ostringstream out;
    out << (got->first.null() ? "null" : std::to_string(got->first.length()) + " bytes") << ", " << got->second;
    return out.str();
}

} // namespace testing
} // namespace korvane
