// What is special to the TCP transport: step names in failure texts, the
// listener rules, socket options on each side, and the shared event loop.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <functional>
#include <thread>

#include "Conformance.hpp"
#include "support/Loopback.hpp"
#include "transport/TCPTransport.hpp"

#include <asio/post.hpp>

namespace korvane {
namespace testing {
namespace {

/// Reaches the protected parts of any TCPTransport, including accepted ones.
struct Peek : TCPTransport {
    static TCPTransport& tcp(Transport& transport) { return dynamic_cast<TCPTransport&>(transport); }
    static int fd(Transport& transport) { return (tcp(transport).*(&Peek::m_socket)).native_handle(); }
    static int keep_alive_sec(Transport& transport) { return tcp(transport).*(&Peek::m_keepAliveSec); }
    static int probe_count(Transport& transport) { return tcp(transport).*(&Peek::m_keepAliveProbeCount); }
    static int probe_interval(Transport& transport) { return tcp(transport).*(&Peek::m_keepAliveProbeInterval); }
    static asio::io_service& loop() { return m_io_service; }
};

int option(int fd, int level, int name)
{
    int value = -1;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, level, name, &value, &length) != 0) {
        return -1;
    }
    return value;
}

bool starts_with(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

/// A bound listener on a loopback port of the kernel's choice.
struct Listener {
    Listener(int keepAliveSec = 0, int count = 0, int interval = 0)
        : transport(keepAliveSec, count, interval), status(transport.bind(0, "127.0.0.1")),
          port(bound_port(transport))
    {
    }
    TCPTransport transport;
    Status status;
    Transport::port_t port;
};

struct Accepted {
    std::unique_ptr<Transport> transport;
    Status status;
};

TEST(TCPTransport, ConnectFailuresNameTheFailingStep)
{
    TCPTransport client;
    const SilentPort nobody;
    const Status refused = client.connect("127.0.0.1", nobody.port());
    EXPECT_EQ(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, refused.code());
    EXPECT_EQ("connect: Connection refused", refused.message());

    // The reserved .invalid domain never resolves; where no name server can
    // be reached the resolver reports a temporary failure instead.
    const Status unknown = client.connect("korvane-test.invalid", 80);
    EXPECT_TRUE(starts_with(unknown.message(), "resolve: ")) << unknown;
    EXPECT_TRUE(unknown.code() == Status::TRANSPORT_STATUS_HOST_NOT_FOUND ||
                unknown.code() == Status::TRANSPORT_STATUS_UNKNOWN)
        << unknown;
}

TEST(TCPTransport, AsynchronousConnectFailuresCarryTheBareErrorText)
{
    LoopRunner<TCPTransport> loop(2);
    TCPTransport refused_client, unknown_client;
    Completion<Status> refused, unknown;
    const SilentPort nobody;
    refused_client.connect_async("127.0.0.1", nobody.port(), [&](Transport& transport, Status status) {
        EXPECT_EQ(&refused_client, &transport);
        refused.set(status);
    });
    unknown_client.connect_async("korvane-test.invalid", 80, [&](Transport&, Status status) { unknown.set(status); });
    const auto first = refused.wait();
    const auto second = unknown.wait();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(Status(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, "Connection refused"), *first);
    EXPECT_NE(Status::TRANSPORT_STATUS_OKAY, second->code());
    EXPECT_FALSE(starts_with(second->message(), "resolve")) << *second;
}

TEST(TCPTransport, BindTakesOnlyNumericAddressesAndKeepsTheListenerOnFailure)
{
    Listener listener;
    ASSERT_EQ(Status(), listener.status);
    for (const char* address : {"localhost", "", "127.0.0.256", "::1::2"}) {
        const Status status = listener.transport.bind(0, address);
        EXPECT_EQ(Status(Status::TRANSPORT_STATUS_INVALID_ARGUMENT, "Invalid argument"), status) << address;
    }
    TCPTransport client;
    ASSERT_EQ(Status(), client.connect("127.0.0.1", listener.port));
    Status status;
    EXPECT_NE(nullptr, listener.transport.accept(&status)) << status;
}

TEST(TCPTransport, BusyPortIsRefusedAndTheFirstListenerStillAccepts)
{
    Listener listener;
    ASSERT_EQ(Status(), listener.status);
    const Status again = listener.transport.bind(listener.port, "127.0.0.1");
    EXPECT_EQ(Status::TRANSPORT_STATUS_ADDRESS_IN_USE, again.code());
    EXPECT_EQ("bind: Address already in use", again.message());
    TCPTransport other;
    EXPECT_EQ(Status::TRANSPORT_STATUS_ADDRESS_IN_USE, other.bind(listener.port, "127.0.0.1").code());

    TCPTransport client;
    ASSERT_EQ(Status(), client.connect("127.0.0.1", listener.port));
    Status status;
    auto accepted = listener.transport.accept(&status);
    ASSERT_NE(nullptr, accepted) << status;
    char byte = 'k';
    EXPECT_EQ(1, client.write(&byte, 1, nullptr));
    EXPECT_EQ(1, accepted->read(&byte, 1, &status, true)) << status;
}

TEST(TCPTransport, RebindingMovesTheListener)
{
    Listener listener;
    ASSERT_EQ(Status(), listener.status);
    ASSERT_EQ(Status(), listener.transport.bind(0, "127.0.0.1"));
    const auto second_port = bound_port(listener.transport);

    TCPTransport client;
    EXPECT_EQ(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, client.connect("127.0.0.1", listener.port).code());
    ASSERT_EQ(Status(), client.connect("127.0.0.1", second_port));
    Status status;
    EXPECT_NE(nullptr, listener.transport.accept(&status)) << status;
}

TEST(TCPTransport, WildcardListensOnIPv6AndMappedIPv4)
{
    TCPTransport listener;
    ASSERT_EQ(Status(), listener.bind(0, "*"));
    const auto port = bound_port(listener);

    std::vector<std::string> addresses = {"::1"};
    std::ifstream v6only("/proc/sys/net/ipv6/bindv6only");
    int only = 0;
    if (!(v6only >> only) || only == 0) {
        addresses.push_back("127.0.0.1");
    }
    for (const auto& address : addresses) {
        TCPTransport client;
        ASSERT_EQ(Status(), client.connect(address, port)) << address;
        Status status;
        EXPECT_NE(nullptr, listener.accept(&status)) << address << ": " << status;
    }
}

TEST(TCPTransport, AcceptWithoutBindReportsABadDescriptor)
{
    TCPTransport unbound;
    Status status;
    EXPECT_EQ(nullptr, unbound.accept(&status));
    EXPECT_EQ(Status::TRANSPORT_STATUS_BAD_DESCRIPTOR, status.code());
    EXPECT_EQ("accept: Bad file descriptor", status.message());
    EXPECT_EQ(nullptr, unbound.accept(nullptr));

    LoopRunner<TCPTransport> loop(1);
    Completion<Accepted> done;
    unbound.accept_async(
        [&](Transport&, std::unique_ptr<Transport> accepted, Status result) { done.set({std::move(accepted), result}); });
    auto result = done.wait();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(nullptr, result->transport);
    EXPECT_EQ(Status(Status::TRANSPORT_STATUS_BAD_DESCRIPTOR, "Bad file descriptor"), result->status);
}

void expect_keep_alive(int fd, int idle, int interval, int count)
{
    EXPECT_EQ(1, option(fd, SOL_SOCKET, SO_KEEPALIVE));
    EXPECT_EQ(idle, option(fd, IPPROTO_TCP, TCP_KEEPIDLE));
    EXPECT_EQ(interval, option(fd, IPPROTO_TCP, TCP_KEEPINTVL));
    EXPECT_EQ(count, option(fd, IPPROTO_TCP, TCP_KEEPCNT));
    EXPECT_EQ((interval * count + idle) * 1000, option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT));
}

TEST(TCPTransport, KeepAliveTimingReachesBothSidesAndNoDelayBoth)
{
    LoopRunner<TCPTransport> loop(2);
    Listener listener(40, 3, 7);
    ASSERT_EQ(Status(), listener.status);

    TCPTransport client(30, 4, 5);
    ASSERT_EQ(Status(), client.connect("127.0.0.1", listener.port));
    expect_keep_alive(Peek::fd(client), 30, 5, 4);
    EXPECT_NE(0, option(Peek::fd(client), IPPROTO_TCP, TCP_NODELAY));

    Status status;
    auto blocking = listener.transport.accept(&status);
    ASSERT_NE(nullptr, blocking) << status;

    TCPTransport async_client(30, 4, 5);
    Completion<Accepted> done;
    listener.transport.accept_async(
        [&](Transport&, std::unique_ptr<Transport> accepted, Status result) { done.set({std::move(accepted), result}); });
    ASSERT_EQ(Status(), async_client.connect("127.0.0.1", listener.port));
    auto asynchronous = done.wait();
    ASSERT_TRUE(asynchronous && asynchronous->transport) << (asynchronous ? asynchronous->status : Status());

    for (Transport* accepted : {blocking.get(), asynchronous->transport.get()}) {
        // The listener's timing went onto the socket, not into the new object.
        expect_keep_alive(Peek::fd(*accepted), 40, 7, 3);
        EXPECT_NE(0, option(Peek::fd(*accepted), IPPROTO_TCP, TCP_NODELAY));
        EXPECT_EQ(0, Peek::keep_alive_sec(*accepted));
        EXPECT_EQ(0, Peek::probe_count(*accepted));
        EXPECT_EQ(0, Peek::probe_interval(*accepted));
    }
}

TEST(TCPTransport, DefaultClientKeepsTheSystemTimingButGetsLargeBuffers)
{
    Listener listener;
    ASSERT_EQ(Status(), listener.status);
    TCPTransport client;
    ASSERT_EQ(Status(), client.connect("127.0.0.1", listener.port));

    // A fresh socket shows the system defaults, and what the system makes of
    // an 8 MiB buffer request.
    const int fresh = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fresh, 0);
    const int default_idle = option(fresh, IPPROTO_TCP, TCP_KEEPIDLE);
    const int request = 0x800000;
    ::setsockopt(fresh, SOL_SOCKET, SO_SNDBUF, &request, sizeof request);
    ::setsockopt(fresh, SOL_SOCKET, SO_RCVBUF, &request, sizeof request);
    const int send_buffer = option(fresh, SOL_SOCKET, SO_SNDBUF);
    const int receive_buffer = option(fresh, SOL_SOCKET, SO_RCVBUF);
    ::close(fresh);

    const int fd = Peek::fd(client);
    EXPECT_EQ(1, option(fd, SOL_SOCKET, SO_KEEPALIVE));
    EXPECT_EQ(default_idle, option(fd, IPPROTO_TCP, TCP_KEEPIDLE));
    EXPECT_EQ(0, option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT));
    EXPECT_EQ(send_buffer, option(fd, SOL_SOCKET, SO_SNDBUF));
    EXPECT_EQ(receive_buffer, option(fd, SOL_SOCKET, SO_RCVBUF));
}

TEST(TCPTransport, AsynchronousConnectAndAcceptCarryData)
{
    LoopRunner<TCPTransport> loop(2);
    Listener listener;
    ASSERT_EQ(Status(), listener.status);
    Completion<Accepted> accepted;
    Completion<Status> connected;
    listener.transport.accept_async([&](Transport& transport, std::unique_ptr<Transport> server, Status status) {
        EXPECT_EQ(&listener.transport, &transport);
        accepted.set({std::move(server), status});
    });
    TCPTransport client;
    client.connect_async("localhost", listener.port, [&](Transport&, Status status) { connected.set(status); });
    const auto connect_status = connected.wait();
    auto server = accepted.wait();
    ASSERT_TRUE(connect_status && server);
    ASSERT_EQ(Status(), *connect_status);
    ASSERT_NE(nullptr, server->transport) << server->status;
    EXPECT_NE(0, option(Peek::fd(client), IPPROTO_TCP, TCP_NODELAY));

    auto bytes = pattern(1000, 11);
    std::vector<unsigned char> got(1000);
    auto reading = read_later(*server->transport, got.data(), 1000, true);
    auto writing = write_later(client, bytes.data(), 1000);
    const auto wrote = writing->wait();
    const auto read = reading->wait();
    ASSERT_TRUE(wrote && read);
    EXPECT_EQ(1000, wrote->count);
    EXPECT_EQ(1000, read->count);
    EXPECT_EQ(bytes, got);
}

TEST(TCPTransport, CloseAbortsAPendingAccept)
{
    LoopRunner<TCPTransport> loop(1);
    Listener listener;
    ASSERT_EQ(Status(), listener.status);
    Completion<Accepted> done;
    listener.transport.accept_async(
        [&](Transport&, std::unique_ptr<Transport> accepted, Status result) { done.set({std::move(accepted), result}); });
    EXPECT_EQ(Status(), listener.transport.close());
    auto result = done.wait();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(nullptr, result->transport);
    EXPECT_EQ(Status::TRANSPORT_STATUS_OPERATION_ABORTED, result->status.code()) << result->status;

    TCPTransport client;
    EXPECT_EQ(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, client.connect("127.0.0.1", listener.port).code());
}

TEST(TCPTransport, CloseAbortsAConnectStillResolving)
{
    // No loop runs yet, so the resolution cannot have been delivered when
    // close() comes: the connect must not go ahead afterwards.
    Listener listener;
    ASSERT_EQ(Status(), listener.status);
    TCPTransport client;
    Completion<Status> done;
    client.connect_async("127.0.0.1", listener.port, [&](Transport&, Status status) { done.set(status); });
    EXPECT_EQ(Status(), client.close());

    Completion<Status> returned;
    std::thread loop([&] { returned.set(client.start()); });
    const auto result = done.wait();
    if (!returned.wait()) {
        client.stop();
    }
    loop.join();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(Status::TRANSPORT_STATUS_OPERATION_ABORTED, result->code()) << *result;
    char byte = 0;
    EXPECT_EQ(-1, client.write(&byte, 1, nullptr));
}

TEST(TCPTransport, StopOnOneTransportEndsStartOfAnother)
{
    // A pending accept keeps the loop busy, so only stop() can end start().
    Listener listener;
    ASSERT_EQ(Status(), listener.status);
    Completion<Status> aborted;
    listener.transport.accept_async([&](Transport&, std::unique_ptr<Transport>, Status status) { aborted.set(status); });

    Completion<bool> running;
    asio::post(Peek::loop(), [&] { running.set(true); });
    Completion<Status> returned;
    TCPTransport runner, stopper;
    std::thread thread([&] { returned.set(runner.start()); });
    ASSERT_TRUE(running.wait()) << "start() did not run the loop";
    EXPECT_FALSE(returned.done());

    stopper.stop();
    const auto result = returned.wait();
    if (!result) {
        stopper.stop();
    }
    thread.join();
    ASSERT_TRUE(result.has_value()) << "start() kept running after stop()";
    EXPECT_EQ(Status(), *result);
    EXPECT_FALSE(aborted.done());

    // The accept stayed queued; the next start() delivers its abort and then
    // returns for want of work.
    listener.transport.close();
    EXPECT_EQ(Status(), runner.start());
    const auto abort = aborted.wait(std::chrono::milliseconds(0));
    ASSERT_TRUE(abort.has_value());
    EXPECT_EQ(Status::TRANSPORT_STATUS_OPERATION_ABORTED, abort->code());
}

TEST(TCPTransport, UnconnectedTransportFailsWithoutSideEffects)
{
    TCPTransport transport;
    char buffer[4] = {};
    EXPECT_EQ(-1, transport.write(buffer, 4, nullptr));
    Status status;
    EXPECT_EQ(-1, transport.write(buffer, 4, &status));
    EXPECT_EQ(Status::TRANSPORT_STATUS_BAD_DESCRIPTOR, status.code());
    EXPECT_EQ(-1, transport.read(buffer, 4, &status, false));
    EXPECT_EQ(Status(Status::TRANSPORT_STATUS_BAD_DESCRIPTOR, "Bad file descriptor"), status);
    EXPECT_EQ(0, transport.write(buffer, 0, nullptr));
    // A negative length would otherwise turn into an enormous buffer.
    EXPECT_EQ(-1, transport.read(buffer, -4, &status, true));
    EXPECT_EQ(Status::TRANSPORT_STATUS_INVALID_ARGUMENT, status.code());
    EXPECT_EQ(Status(), transport.close());
    EXPECT_EQ(Status(), transport.close());
}

TEST(TCPTransport, ConnectingAgainEndsTheEarlierConnection)
{
    Listener first, second;
    ASSERT_EQ(Status(), first.status);
    ASSERT_EQ(Status(), second.status);
    TCPTransport client;
    ASSERT_EQ(Status(), client.connect("127.0.0.1", first.port));
    Status status;
    auto old_server = first.transport.accept(&status);
    ASSERT_NE(nullptr, old_server) << status;

    ASSERT_EQ(Status(), client.connect("127.0.0.1", second.port));
    char byte = 0;
    {
        const int old_fd = Peek::fd(*old_server);
        Watchdog watchdog([old_fd] { ::shutdown(old_fd, SHUT_RDWR); });
        EXPECT_EQ(0, old_server->read(&byte, 1, &status, true));
        EXPECT_FALSE(watchdog.fired());
    }
    auto new_server = second.transport.accept(&status);
    ASSERT_NE(nullptr, new_server) << status;
    EXPECT_EQ(1, client.write(&byte, 1, &status));
    EXPECT_EQ(1, new_server->read(&byte, 1, &status, true));
}

TEST(TCPTransport, WritingToAVanishedPeerFailsWithoutASignal)
{
    auto pair = connect_pair(std::make_unique<TCPTransport>(), std::make_unique<TCPTransport>());
    ASSERT_TRUE(pair) << pair.status;
    pair.server->close();
    // The first writes may still be buffered; the reset follows quickly, and
    // without MSG_NOSIGNAL the process would die of SIGPIPE here.
    std::vector<unsigned char> chunk(1 << 16);
    Status status;
    long written = 0;
    for (int i = 0; i < 1000 && written >= 0; ++i) {
        written = pair.client->write(chunk.data(), static_cast<long>(chunk.size()), &status);
    }
    EXPECT_EQ(-1, written);
    EXPECT_TRUE(status.code() == Status::TRANSPORT_STATUS_BROKEN_PIPE ||
                status.code() == Status::TRANSPORT_STATUS_CONNECTION_RESET)
        << status;
}

std::chrono::nanoseconds process_cpu_time()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Out of descriptors, a listener waits and tries again rather than spinning,
// even for a caller that re-arms from its callback; the connection that waited
// in the backlog is taken once descriptors are back.
TEST(TCPTransport, AcceptBacksOffWhileDescriptorsAreExhausted)
{
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers probe memory through a pipe of their own, which the
    // exhausted descriptor table refuses: they would report bad objects.
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
    LoopRunner<TCPTransport> loop(2);
    Listener listener;
    ASSERT_EQ(Status(), listener.status);
    std::atomic<int> failures{0};
    Completion<Accepted> done;
    std::function<void()> arm = [&] {
        listener.transport.accept_async([&](Transport&, std::unique_ptr<Transport> accepted, Status status) {
            if (!accepted && status.code() != Status::TRANSPORT_STATUS_OPERATION_ABORTED && ++failures < 1000000) {
                arm();
                return;
            }
            done.set({std::move(accepted), status});
        });
    };
    RawSocket client(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(listener.port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    rlimit saved{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
    const int lowest_free = ::dup(0); // every descriptor below it is taken
    ::close(lowest_free);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &tight));
    const bool connected = ::connect(client.fd(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    arm();
    const auto cpu_before = process_cpu_time();
    const bool accepted_while_exhausted = done.wait(std::chrono::milliseconds(300)).has_value();
    const auto cpu_spent = process_cpu_time() - cpu_before;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &saved));

    ASSERT_TRUE(connected);
    EXPECT_FALSE(accepted_while_exhausted);
    EXPECT_EQ(0, failures.load());
    EXPECT_LT(cpu_spent, std::chrono::milliseconds(150));
    const auto accepted = done.wait();
    ASSERT_TRUE(accepted.has_value());
    EXPECT_NE(nullptr, accepted->transport) << accepted->status;
}

} // namespace
} // namespace testing
} // namespace korvane
