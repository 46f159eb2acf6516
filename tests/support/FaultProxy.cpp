// The fault-injecting proxy: one thread, non-blocking sockets and poll(). A
// direction reads only up to its next fault's offset, so every fault acts at
// exactly its byte whatever the peers' write sizes; a byte is read only once
// the previous chunk has been written, so the proxy never holds more than one
// chunk per direction and a slow reader slows the writer as it would without
// the proxy.
#include "support/FaultProxy.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace korvane {
namespace testing {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t CHUNK = 65536;
constexpr int CONNECT_DEADLINE_SEC = 2;

bool would_block()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

/// A blocking connect to the real server, bounded by SO_SNDTIMEO, then
/// switched to non-blocking; -1 on failure.
int connect_target(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    timeval limit{CONNECT_DEADLINE_SEC, 0};
    sockaddr_in address = loopback(port);
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool is_barrier(const Fault& fault)
{
    return fault.kind != Fault::Kind::Flip;
}

} // namespace

std::uint64_t ProxyState::forwarded(Direction direction) const
{
    std::uint64_t total = 0;
    for (const Connection& connection : connections) {
        total += connection.forwarded[static_cast<int>(direction)];
    }
    return total;
}

bool ProxyState::any_stalled() const
{
    return std::any_of(connections.begin(), connections.end(),
                       [](const Connection& c) { return c.stalled[0] || c.stalled[1]; });
}

struct FaultProxy::Pair {
    // One direction: the faults still ahead of it, the chunk in transit and
    // how far the stream has got.
    struct Flow {
        std::vector<Fault> barriers; // Cut, Stall, Truncate, by offset
        std::vector<Fault> flips;
        std::vector<unsigned char> chunk;
        std::size_t head = 0;        // bytes of `chunk` already written
        std::uint64_t read = 0;      // bytes taken from the source
        std::uint64_t forwarded = 0; // bytes written to the destination
        bool source_ended = false;
        bool dropping = false; // truncated: read and discard
        bool write_shut = false;
        bool stalled = false;
        Clock::time_point stall_until;

        std::size_t pending() const { return chunk.size() - head; }
        bool wants_read() const { return !source_ended && pending() == 0 && !stalled; }
    };

    std::size_t index = 0;
    int fd[2] = {-1, -1}; // by Direction: the side that direction reads from
    Flow flow[2];
    bool closed = false;
    bool cut = false;

    int source(int direction) const { return fd[direction]; }
    int destination(int direction) const { return fd[1 - direction]; }
};

FaultProxy::FaultProxy(std::uint16_t target_port) : m_target(target_port), m_buffer(CHUNK)
{
    if (::pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    m_port = ntohs(address.sin_port);
    m_listener = fd;
    m_thread = std::thread([this] { run(); });
}

FaultProxy::~FaultProxy()
{
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        wake();
        m_thread.join();
    }
    for (int fd : {m_listener, m_wake[0], m_wake[1]}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void FaultProxy::add(Direction direction, Fault fault, int connection)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Rule rule{direction, fault, connection};
        m_rules.push_back(rule);
        for (auto& pair : m_pairs) {
            if (!pair->closed) {
                apply(*pair, rule);
            }
        }
    }
    wake();
}

void FaultProxy::apply(Pair& pair, const Rule& rule)
{
    if (rule.connection != EVERY_CONNECTION && static_cast<std::size_t>(rule.connection) != pair.index) {
        return;
    }
    Pair::Flow& flow = pair.flow[static_cast<int>(rule.direction)];
    if (!is_barrier(rule.fault)) {
        flow.flips.push_back(rule.fault);
        return;
    }
    const auto later = std::upper_bound(flow.barriers.begin(), flow.barriers.end(), rule.fault,
                                        [](const Fault& a, const Fault& b) { return a.offset < b.offset; });
    flow.barriers.insert(later, rule.fault);
}

void FaultProxy::release()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto is_stall = [](const Fault& fault) { return fault.kind == Fault::Kind::Stall; };
        m_rules.erase(std::remove_if(m_rules.begin(), m_rules.end(),
                                     [&](const Rule& rule) { return is_stall(rule.fault); }),
                      m_rules.end());
        for (auto& pair : m_pairs) {
            for (Pair::Flow& flow : pair->flow) {
                flow.barriers.erase(std::remove_if(flow.barriers.begin(), flow.barriers.end(), is_stall),
                                    flow.barriers.end());
                flow.stalled = false;
            }
        }
    }
    wake();
}

ProxyState FaultProxy::state() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

bool FaultProxy::wait_until(const std::function<bool(const ProxyState&)>& predicate,
                            std::chrono::milliseconds deadline) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, deadline, [&] { return predicate(m_state); });
}

void FaultProxy::wake()
{
    const char byte = 0;
    // A full pipe already holds a wake-up: nothing is lost when this fails.
    [[maybe_unused]] const ssize_t ignored = ::write(m_wake[1], &byte, 1);
}

void FaultProxy::run()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop) {
                break;
            }
        }
        poll_once();
        accept_connections();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto& pair : m_pairs) {
                if (!pair->closed) {
                    step(*pair);
                }
            }
            publish();
        }
        m_changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& pair : m_pairs) {
            close_pair(*pair, false);
        }
        publish();
    }
    m_changed.notify_all();
}

// Sleeps until a socket is ready, a timed stall ends, or the owner wakes us.
void FaultProxy::poll_once()
{
    std::vector<pollfd> fds{{m_wake[0], POLLIN, 0}, {m_listener, POLLIN, 0}};
    int timeout = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Clock::time_point now = Clock::now();
        for (auto& pair : m_pairs) {
            if (pair->closed) {
                continue;
            }
            short events[2] = {0, 0}; // by side
            for (int d = 0; d < 2; ++d) {
                const Pair::Flow& flow = pair->flow[d];
                if (flow.wants_read()) {
                    events[d] |= POLLIN;
                }
                if (flow.pending() > 0) {
                    events[1 - d] |= POLLOUT;
                }
                if (flow.stalled && flow.stall_until != Clock::time_point::max()) {
                    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(flow.stall_until - now);
                    const int wait = static_cast<int>(std::max<long long>(0, left.count() + 1));
                    timeout = timeout < 0 ? wait : std::min(timeout, wait);
                }
            }
            // A side with nothing asked of it stays out: a hung-up socket
            // would otherwise wake us for ever.
            for (int side = 0; side < 2; ++side) {
                fds.push_back({events[side] != 0 ? pair->fd[side] : -1, events[side], 0});
            }
        }
    }
    if (::poll(fds.data(), fds.size(), timeout) > 0 && (fds[0].revents & POLLIN) != 0) {
        char drain[64];
        while (::read(m_wake[0], drain, sizeof drain) > 0) {
        }
    }
}

void FaultProxy::accept_connections()
{
    for (;;) {
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        const int server = connect_target(m_target);
        std::lock_guard<std::mutex> lock(m_mutex);
        auto pair = std::make_unique<Pair>();
        pair->index = m_pairs.size();
        pair->fd[static_cast<int>(Direction::ClientToServer)] = client;
        pair->fd[static_cast<int>(Direction::ServerToClient)] = server;
        for (const Rule& rule : m_rules) {
            apply(*pair, rule);
        }
        if (server < 0) {
            close_pair(*pair, false);
        }
        m_pairs.push_back(std::move(pair));
    }
}

// Moves one pair as far as it can go without blocking, direction by direction.
void FaultProxy::step(Pair& pair)
{
    std::vector<unsigned char>& buffer = m_buffer;
    for (int d = 0; d < 2 && !pair.closed; ++d) {
        Pair::Flow& flow = pair.flow[d];
        for (;;) {
            if (flow.pending() == 0 && !flow.dropping && !flow.barriers.empty() &&
                flow.forwarded >= flow.barriers.front().offset) {
                const Fault fault = flow.barriers.front();
                if (fault.kind == Fault::Kind::Cut) {
                    close_pair(pair, true);
                    return;
                }
                if (fault.kind == Fault::Kind::Truncate) {
                    ::shutdown(pair.destination(d), SHUT_WR);
                    flow.write_shut = true;
                    flow.dropping = true;
                    flow.barriers.clear();
                    continue;
                }
                if (!flow.stalled) {
                    flow.stalled = true;
                    flow.stall_until = fault.duration.count() > 0 ? Clock::now() + fault.duration
                                                                  : Clock::time_point::max();
                }
                if (Clock::now() < flow.stall_until) {
                    break;
                }
                flow.stalled = false;
                flow.barriers.erase(flow.barriers.begin());
                continue;
            }
            if (flow.pending() > 0) {
                const ssize_t sent = ::send(pair.destination(d), flow.chunk.data() + flow.head, flow.pending(),
                                            MSG_NOSIGNAL | MSG_DONTWAIT);
                if (sent < 0 && would_block()) {
                    break;
                }
                if (sent <= 0) {
                    close_pair(pair, false);
                    return;
                }
                flow.head += static_cast<std::size_t>(sent);
                flow.forwarded += static_cast<std::uint64_t>(sent);
                continue;
            }
            if (flow.source_ended) {
                if (!flow.write_shut) {
                    ::shutdown(pair.destination(d), SHUT_WR);
                    flow.write_shut = true;
                }
                break;
            }
            std::size_t limit = CHUNK;
            if (!flow.dropping && !flow.barriers.empty()) {
                limit = static_cast<std::size_t>(
                    std::min<std::uint64_t>(limit, flow.barriers.front().offset - flow.read));
            }
            const ssize_t got = ::recv(pair.source(d), buffer.data(), limit, MSG_DONTWAIT);
            if (got < 0 && would_block()) {
                break;
            }
            if (got < 0) {
                close_pair(pair, false);
                return;
            }
            if (got == 0) {
                flow.source_ended = true;
                continue;
            }
            const auto count = static_cast<std::uint64_t>(got);
            if (!flow.dropping) {
                for (const Fault& flip : flow.flips) {
                    if (flip.offset >= flow.read && flip.offset < flow.read + count) {
                        buffer[static_cast<std::size_t>(flip.offset - flow.read)] ^= flip.mask;
                    }
                }
                flow.chunk.assign(buffer.begin(), buffer.begin() + got);
                flow.head = 0;
            }
            flow.read += count;
        }
    }
    if (!pair.closed && pair.flow[0].write_shut && pair.flow[1].write_shut && pair.flow[0].source_ended &&
        pair.flow[1].source_ended) {
        close_pair(pair, false);
    }
}

void FaultProxy::close_pair(Pair& pair, bool cut)
{
    for (int& fd : pair.fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    pair.cut = pair.cut || cut;
    pair.closed = true;
    for (Pair::Flow& flow : pair.flow) {
        flow.stalled = false;
    }
}

void FaultProxy::publish()
{
    m_state.connections.resize(m_pairs.size());
    for (std::size_t i = 0; i < m_pairs.size(); ++i) {
        const Pair& pair = *m_pairs[i];
        ProxyState::Connection& connection = m_state.connections[i];
        for (int d = 0; d < 2; ++d) {
            connection.forwarded[d] = pair.flow[d].forwarded;
            connection.stalled[d] = pair.flow[d].stalled;
        }
        connection.cut = pair.cut;
        connection.closed = pair.closed;
    }
}

} // namespace testing
} // namespace korvane
