// One-way throughput of whole messages on loopback: a multiplexed socket over
// 1, 2 and 4 TCP connections beside a single basic socket, for 1 KiB, 64 KiB
// and 1 MiB messages. The basic socket sends blocking (one frame in flight,
// its only mode); the multiplexed socket keeps up to 4 MiB, and at least two
// frames per connection, queued or in flight through asynchronous sends, with
// one or two threads in the event loop. Receivers block in recv on their own
// thread.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "socket/BasicSocket.hpp"
#include "socket/MultiplexedSocket.hpp"
#include "transport/TCPTransport.hpp"

namespace {

using namespace korvane;
using Status = Transport::StatusCode;

constexpr korvane_buf_len_t BATCH_BYTES = 16 << 20;
constexpr korvane_buf_len_t WINDOW_BYTES = 4 << 20;

std::uint16_t free_port()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::fprintf(stderr, "no free port\n");
        std::exit(1);
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

Socket tcp_socket()
{
    return BasicSocket::create(std::make_unique<TCPTransport>());
}

// A count that one thread waits on, woken only once its target is reached
// (a wake-up per message would measure the benchmark, not the socket), with a
// deadline so that a broken run ends.
class Counter {
public:
    void add()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (++m_count == m_target) {
            m_cv.notify_all();
        }
    }
    bool wait_until(long target)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_target = target;
        return m_cv.wait_for(lock, std::chrono::seconds(30), [&] { return m_count >= target; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    long m_count = 0;
    long m_target = -1;
};

// Frames the sender may have queued or in flight. A sender that finds it
// full sleeps until half of it is free again.
class Window {
public:
    explicit Window(long size) : m_free(size), m_size(size) {}
    void acquire()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_free == 0) {
            m_waiting = true;
            m_cv.wait_for(lock, std::chrono::seconds(30), [&] { return m_free >= (m_size + 1) / 2; });
        }
        --m_free;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_free;
        if ((m_waiting && m_free >= (m_size + 1) / 2) || (m_draining && m_free == m_size)) {
            m_waiting = false;
            m_cv.notify_all();
        }
    }
    bool drained()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_draining = true;
        const bool done = m_cv.wait_for(lock, std::chrono::seconds(30), [&] { return m_free == m_size; });
        m_draining = false;
        return done;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    long m_free;
    const long m_size;
    bool m_waiting = false;
    bool m_draining = false;
};

// Receives until a one-byte message (or a failure) ends the stream.
std::thread drain(SocketImpl& socket, Counter& received)
{
    return std::thread([&socket, &received] {
        for (;;) {
            Message m = socket.recv(nullptr);
            if (m.null() || m.length() == 1) {
                return;
            }
            received.add();
        }
    });
}

void finish(SocketImpl& sender, std::thread& receiver)
{
    sender.send(Message("!", 1));
    receiver.join();
}

void report(benchmark::State& state, korvane_buf_len_t size, long batch)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * batch * size);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * batch);
}

void basic_socket(benchmark::State& state)
{
    const korvane_buf_len_t size = state.range(0);
    const long batch = std::max<long>(1, BATCH_BYTES / size);
    const std::uint16_t port = free_port();
    Socket listener = tcp_socket();
    Socket server;
    if (!listener->bind(port, "127.0.0.1")) {
        state.SkipWithError("bind failed");
        return;
    }
    std::thread acceptor([&] { server = listener->accept(nullptr); });
    Socket client = tcp_socket();
    const Status connected = client->connect("127.0.0.1", port);
    acceptor.join();
    if (!connected || !server) {
        state.SkipWithError("connect failed");
        return;
    }
    Counter received;
    std::thread receiver = drain(*server, received);
    Message message(size);
    long target = 0;
    for (auto _ : state) {
        for (long i = 0; i < batch; ++i) {
            client->send(message);
        }
        received.wait_until(target += batch);
    }
    finish(*client, receiver);
    report(state, size, batch);
}

// A listening multiplexed socket with two threads in its start(), one client
// over `connections` TCP connections, and the server end it was accepted as.
struct MultiplexedLink {
    MultiplexedLink(std::size_t connections, int loop_threads)
    {
        const std::uint16_t port = free_port();
        std::vector<Socket> one;
        one.push_back(tcp_socket());
        listener = MultiplexedSocket::create(std::move(one));
        listener->bind(port, "127.0.0.1");
        Counter accepted;
        listener->accept_async([&](SocketImpl&, Socket s, Status) {
            server = std::move(s);
            accepted.add();
        });
        for (int i = 0; i < loop_threads; ++i) {
            loop.emplace_back([this] { listener->start(); });
        }
        std::vector<Socket> sockets;
        for (std::size_t i = 0; i < connections; ++i) {
            sockets.push_back(tcp_socket());
        }
        client = MultiplexedSocket::create(std::move(sockets));
        ok = client->connect("127.0.0.1", port).code() >= 0 && accepted.wait_until(1) && server;
    }

    ~MultiplexedLink()
    {
        // Closing everything leaves the loop without work: its threads return.
        for (Socket* socket : {&client, &server, &listener}) {
            if (*socket) {
                (*socket)->close();
            }
        }
        for (std::thread& thread : loop) {
            thread.join();
        }
    }

    Socket listener;
    Socket server;
    Socket client;
    std::vector<std::thread> loop;
    bool ok = false;
};

void multiplexed_socket(benchmark::State& state)
{
    const korvane_buf_len_t size = state.range(0);
    const auto connections = static_cast<std::size_t>(state.range(1));
    const long batch = std::max<long>(1, BATCH_BYTES / size);
    MultiplexedLink link(connections, static_cast<int>(state.range(2)));
    if (!link.ok) {
        state.SkipWithError("connect failed");
        return;
    }
    Counter received;
    Window window(std::max<long>(static_cast<long>(2 * connections), WINDOW_BYTES / size));
    std::thread receiver = drain(*link.server, received);
    Message message(size);
    long target = 0;
    for (auto _ : state) {
        for (long i = 0; i < batch; ++i) {
            window.acquire();
            link.client->send(message, [&window](SocketImpl&, Status) { window.release(); });
        }
        received.wait_until(target += batch);
    }
    window.drained();
    finish(*link.client, receiver);
    report(state, size, batch);
}

// On a shared machine the best of several repetitions (--benchmark_repetitions)
// says more about what the code can do than the mean.
double best(const std::vector<double>& values)
{
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

} // namespace

BENCHMARK(basic_socket)
    ->ArgName("bytes")
    ->Arg(1 << 10)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->UseRealTime()
    ->ComputeStatistics("best", best)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(multiplexed_socket)
    ->ArgNames({"bytes", "connections", "loop_threads"})
    ->ArgsProduct({{1 << 10, 64 << 10, 1 << 20}, {1, 2, 4}, {1, 2}})
    ->UseRealTime()
    ->ComputeStatistics("best", best)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
