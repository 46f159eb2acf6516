// UDT transport on loopback: blocking exchange, end of stream, resolution,
// the library's own errors, and the process-wide library lifetime.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <udt/udt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

#include "support/Loopback.hpp"
#include "transport/UDTError.hpp"
#include "transport/UDTTransport.hpp"

namespace korvane {
namespace {

using Status = Transport::StatusCode;
using testing::DEADLINE;
using testing::Watchdog;
using testing::bound_port;

// Reaches the transport's protected state: its UDT handle and the live count.
struct UDTPeek : UDTTransport {
    static UDTSOCKET socket_of(Transport& transport)
    {
        return dynamic_cast<UDTTransport&>(transport).*(&UDTPeek::m_socket);
    }
    static korvane_size_t live() { return m_reference_count; }
};

std::vector<char> pattern(std::size_t size)
{
    std::vector<char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i * 31 + i / 4096 + 7);
    }
    return bytes;
}

// The UDT library changes a socket's state on a thread of its own; polled
// here with a deadline until `reached` says yes.
template <typename Reached>
bool library_state_reaches(UDTSOCKET socket, Reached reached)
{
    const auto until = std::chrono::steady_clock::now() + DEADLINE;
    while (!reached(UDT::getsockstate(socket))) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A connection the peer closed is dropped about a second later.
bool discarded_by_library(UDTSOCKET socket)
{
    return library_state_reaches(socket, [](UDTSTATUS state) { return state == CLOSED || state == NONEXIST; });
}

// A socket closed here stays known to the library until it is freed, a
// second or two later.
bool forgotten_by_library(UDTSOCKET socket)
{
    return library_state_reaches(socket, [](UDTSTATUS state) { return state == NONEXIST; });
}

// A listener on a loopback port of the kernel's choice, a client connected to it and the
// accepted end.
class UDTConnected : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(listener.bind(0, "127.0.0.1"), Status());
        m_port = testing::bound_port(listener);
        const Watchdog watchdog = guard();
        ASSERT_EQ(client.connect("127.0.0.1", m_port), Status());
        Status status(Status::TRANSPORT_STATUS_UNKNOWN, "untouched");
        server = listener.accept(&status);
        ASSERT_NE(server, nullptr);
        EXPECT_EQ(status, Status());
    }

    // Blocking calls have no deadline of their own: past this one the
    // transports are closed under them and the test fails.
    Watchdog guard(std::chrono::milliseconds deadline = DEADLINE)
    {
        return Watchdog([this] {
            ADD_FAILURE() << "deadline passed, transports closed";
            close_all();
        }, deadline);
    }

    void close_all()
    {
        listener.close();
        client.close();
        if (server) {
            server->close();
        }
    }

    Transport::port_t m_port = 0;
    UDTTransport listener;
    UDTTransport client;
    std::unique_ptr<Transport> server;
};

TEST_F(UDTConnected, CarriesALargeTransferIntact)
{
    const Watchdog watchdog = guard(std::chrono::seconds(60));
    // Many times the 64 KiB UDP buffers. ThreadSanitizer slows UDT's own
    // threads so much that a smaller transfer has to do there.
#if defined(__SANITIZE_THREAD__)
    std::vector<char> sent = pattern(512 * 1024 + 123);
#else
    std::vector<char> sent = pattern(3 * 1024 * 1024 + 123);
#endif
    const auto size = static_cast<korvane_buf_len_t>(sent.size());
    korvane_buf_len_t write_result = 0;
    std::thread writer([&] { write_result = client.write(sent.data(), size, nullptr); });
    std::vector<char> received(sent.size());
    Status status;
    const korvane_buf_len_t count =
        server->read(received.data(), static_cast<korvane_buf_len_t>(received.size()), &status, true);
    writer.join();
    EXPECT_EQ(write_result, static_cast<korvane_buf_len_t>(sent.size()));
    ASSERT_EQ(count, static_cast<korvane_buf_len_t>(sent.size())) << status;
    EXPECT_TRUE(received == sent);
}

TEST_F(UDTConnected, PeerCloseIsEndOfStream)
{
    const Watchdog watchdog = guard();
    char bytes[4] = {1, 2, 3, 4};
    Status written(Status::TRANSPORT_STATUS_UNKNOWN, "untouched");
    ASSERT_EQ(client.write(bytes, 4, &written), 4);
    EXPECT_EQ(written.message(), "untouched") << "a successful write leaves the status alone";
    ASSERT_EQ(client.close(), Status());

    // Four bytes arrived before the close: a read of ten with `all` still
    // reports the end of the stream, not the partial count.
    char buffer[10];
    Status status(Status::TRANSPORT_STATUS_UNKNOWN, "stale");
    EXPECT_EQ(server->read(buffer, 10, &status, true), 0);
    EXPECT_EQ(status, Status());
    status = Status(Status::TRANSPORT_STATUS_UNKNOWN, "stale");
    EXPECT_EQ(server->read(buffer, 10, &status, false), 0);
    EXPECT_EQ(status, Status());
    EXPECT_EQ(server->write(bytes, 4, &written), 0);
    EXPECT_EQ(written.message(), "untouched");
}

TEST_F(UDTConnected, PeerCloseStaysEndOfStreamOnceTheLibraryDroppedTheConnection)
{
    const Watchdog watchdog = guard(std::chrono::seconds(20));
    ASSERT_EQ(client.close(), Status());
    ASSERT_TRUE(discarded_by_library(UDTPeek::socket_of(*server)));

    char buffer[10];
    Status status(Status::TRANSPORT_STATUS_UNKNOWN, "stale");
    EXPECT_EQ(server->read(buffer, 10, &status, true), 0);
    EXPECT_EQ(status, Status());
    EXPECT_EQ(server->write(buffer, 10, &status), 0);

    // Our own close is different: reading afterwards is the caller's mistake.
    EXPECT_EQ(server->close(), Status());
    EXPECT_EQ(server->read(buffer, 10, &status, false), -1);
    EXPECT_EQ(status.code(), Status::TRANSPORT_STATUS_BAD_DESCRIPTOR);
}

TEST_F(UDTConnected, ASecondConnectHangsUpTheFirstConnection)
{
    const Watchdog watchdog = guard(std::chrono::seconds(20));
    UDTTransport other_listener;
    ASSERT_EQ(other_listener.bind(0, "127.0.0.1"), Status());
    const Transport::port_t other_port = bound_port(other_listener);
    ASSERT_EQ(client.connect("127.0.0.1", other_port), Status());

    char buffer[1];
    Status status(Status::TRANSPORT_STATUS_UNKNOWN, "stale");
    EXPECT_EQ(server->read(buffer, 1, &status, true), 0);
    EXPECT_EQ(status, Status());
    other_listener.close();
}

TEST_F(UDTConnected, ASecondListenerOnThePortIsRefused)
{
    UDTTransport second;
    const Status status = second.bind(m_port, "*");
    EXPECT_EQ(status.code(), Status::TRANSPORT_STATUS_ADDRESS_IN_USE) << status;
    EXPECT_FALSE(status.message().empty());
}

TEST_F(UDTConnected, CountsBeyondIntAreSplitNotTruncated)
{
    const Watchdog watchdog = guard(std::chrono::seconds(30));
    // Address space only: the pages are never touched beyond what travels.
    const std::size_t huge = (std::size_t(1) << 31) + 16;
    void* memory = ::mmap(nullptr, huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    const auto length = static_cast<korvane_buf_len_t>(huge);

    char five[] = {'a', 'b', 'c', 'd', 'e'};
    ASSERT_EQ(client.write(five, 5, nullptr), 5);
    Status status;
    EXPECT_EQ(server->read(memory, length, &status, false), 5) << status;
    EXPECT_EQ(std::memcmp(memory, five, 5), 0);

    // A write far larger than int goes out until the peer hangs up.
    std::thread peer([this] {
        std::vector<char> some(64 * 1024);
        server->read(some.data(), static_cast<korvane_buf_len_t>(some.size()), nullptr, true);
        server->close();
    });
    status = Status();
    EXPECT_EQ(client.write(memory, length, &status), 0) << status;
    EXPECT_EQ(status, Status());
    peer.join();
    ::munmap(memory, huge);
}

TEST(UDTTransport, LibraryErrorsOutsideTheTableAreUnknown)
{
    // Read by name from the library: neither a success nor its catch-all
    // codes may pass for a known failure.
    for (const int error : {CUDTException::SUCCESS, CUDTException::ETHREAD, CUDTException::ERDVNOSERV,
                            CUDTException::EINVPOLLID, CUDTException::EASYNCFAIL, CUDTException::EUNKNOWN, 424242}) {
        EXPECT_EQ(detail::from_udt_error(error), Status::TRANSPORT_STATUS_UNKNOWN) << error;
    }
    // A lost connection is only end of stream inside read and write.
    EXPECT_EQ(detail::from_udt_error(CUDTException::ECONNLOST), Status::TRANSPORT_STATUS_CONNECTION_RESET);
}

TEST(UDTTransport, WildcardBindAcceptsOnLoopback)
{
    UDTTransport listener;
    UDTTransport client(0, 0);
    Watchdog watchdog([&] {
        ADD_FAILURE() << "deadline passed, transports closed";
        listener.close();
        client.close();
    });
    ASSERT_EQ(listener.bind(0, "*"), Status());
    const Transport::port_t port = bound_port(listener);
    ASSERT_EQ(client.connect("127.0.0.1", port), Status());
    Status status;
    std::unique_ptr<Transport> server = listener.accept(&status);
    ASSERT_NE(server, nullptr) << status;
    char byte = 'x';
    EXPECT_EQ(server->write(&byte, 1, nullptr), 1);
    char got = 0;
    EXPECT_EQ(client.read(&got, 1, &status, true), 1);
    EXPECT_EQ(got, 'x');
}

TEST(UDTTransport, NamesThatDoNotResolveToIPv4AreNotFound)
{
    UDTTransport transport;
    // Nothing is sent: the names fail before any port is used.
    const Transport::port_t port = 9;
    for (const std::string address : {"no-such-host.invalid", "::1", "fe80::1"}) {
        EXPECT_EQ(transport.connect(address, port),
                  Status(Status::TRANSPORT_STATUS_HOST_NOT_FOUND, "Couldn't resolve hostname: " + address));
        EXPECT_EQ(transport.bind(port, address),
                  Status(Status::TRANSPORT_STATUS_HOST_NOT_FOUND, "Couldn't resolve hostname: " + address));
    }
    EXPECT_EQ(transport.close(), Status());
}

TEST(UDTTransport, ConnectWithoutListenerReportsTheLibrarysError)
{
    UDTTransport client;
    // The UDT library gives up after its own connect timeout of a few seconds.
    const testing::SilentPort nobody(testing::PortKind::Udp);
    const Status status = client.connect("127.0.0.1", nobody.port());
    EXPECT_EQ(status.code(), Status::TRANSPORT_STATUS_HOST_UNREACHABLE) << status;
    EXPECT_FALSE(status.message().empty());
    EXPECT_EQ(client.close(), Status());
}

TEST(UDTTransport, NeverConnectedTransportFailsCleanly)
{
    UDTTransport transport;
    EXPECT_EQ(transport.close(), Status());
    EXPECT_EQ(transport.close(), Status());

    char buffer[4] = {};
    Status status;
    EXPECT_EQ(transport.read(buffer, 4, &status, true), -1);
    EXPECT_EQ(status.code(), Status::TRANSPORT_STATUS_BAD_DESCRIPTOR);
    EXPECT_FALSE(status.message().empty());
    EXPECT_EQ(transport.write(buffer, 4, nullptr), -1);
    status = Status();
    EXPECT_EQ(transport.accept(&status), nullptr);
    EXPECT_EQ(status.code(), Status::TRANSPORT_STATUS_BAD_DESCRIPTOR);
    EXPECT_EQ(transport.read(buffer, 0, &status, true), 0);
    EXPECT_EQ(status, Status());
}

TEST(UDTTransport, AsynchronousOperationsAnswerAtOnceOnTheCallingThread)
{
    UDTTransport transport;
    const Status unsupported(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Unsupported operation");
    const std::thread::id caller = std::this_thread::get_id();
    int calls = 0;

    transport.connect_async("127.0.0.1", 1, [&](Transport& self, Status status) {
        EXPECT_EQ(&self, &transport);
        EXPECT_EQ(status, unsupported);
        EXPECT_EQ(std::this_thread::get_id(), caller);
        ++calls;
    });
    EXPECT_EQ(calls, 1);
    transport.accept_async([&](Transport& self, std::unique_ptr<Transport> accepted, Status status) {
        EXPECT_EQ(&self, &transport);
        EXPECT_EQ(accepted, nullptr);
        EXPECT_EQ(status, unsupported);
        ++calls;
    });
    EXPECT_EQ(calls, 2);
    char buffer[8];
    transport.read_async(buffer, 8, [&](Transport&, long count, void* where, long length, Status status) {
        EXPECT_EQ(count, 0);
        EXPECT_EQ(where, buffer);
        EXPECT_EQ(length, 8);
        EXPECT_EQ(status, unsupported);
        ++calls;
    }, true);
    EXPECT_EQ(calls, 3);
    transport.write_async(buffer, 8, [&](Transport&, long count, Status status) {
        EXPECT_EQ(count, -1);
        EXPECT_EQ(status, unsupported);
        ++calls;
    });
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(transport.start(), unsupported);
    transport.stop();
}

TEST(UDTTransport, TransportsComeAndGoOnManyThreadsAtOnce)
{
    const korvane_size_t before = UDTPeek::live();
    const auto on_threads = [](int count, auto body) {
        std::vector<std::thread> threads;
        for (int t = 0; t < count; ++t) {
            threads.emplace_back(body);
        }
        for (auto& thread : threads) {
            thread.join();
        }
    };
    {
        // The library stays up; only the count moves, as fast as it can.
        UDTTransport keeper;
        on_threads(4, [] {
            for (int i = 0; i < 20000; ++i) {
                UDTTransport transport;
            }
        });
        EXPECT_EQ(UDTPeek::live(), before + 1);
    }
    EXPECT_EQ(UDTPeek::live(), before);

    // Now the library starts and stops under the threads' feet.
    std::atomic<int> failures{0};
    on_threads(4, [&] {
        for (int i = 0; i < 25; ++i) {
            UDTTransport transport;
            // A live library hands out handles; a cleaned-up one does not.
            if (transport.bind(0, "127.0.0.1") != Status()) {
                ++failures;
            }
        }
    });
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(UDTPeek::live(), before);

    // The library starts again for the next transports. The connection is
    // accepted before teardown: libudt may touch a freed listener when it
    // cleans up with a connection still waiting in the backlog.
    UDTTransport listener;
    UDTTransport client;
    Watchdog watchdog([&] {
        ADD_FAILURE() << "deadline passed, transports closed";
        listener.close();
        client.close();
    });
    ASSERT_EQ(listener.bind(0, "127.0.0.1"), Status());
    const Transport::port_t port = bound_port(listener);
    ASSERT_EQ(client.connect("127.0.0.1", port), Status());
    Status status;
    std::unique_ptr<Transport> server = listener.accept(&status);
    ASSERT_NE(server, nullptr) << status;
    EXPECT_EQ(UDTPeek::live(), before + 3);

    // libudt's cleanup frees closed sockets at once, under its receiving
    // threads' feet; waiting until it has dropped them on its own keeps its
    // teardown away from them.
    const UDTSOCKET ends[] = {UDTPeek::socket_of(*server), UDTPeek::socket_of(client)};
    server->close();
    client.close();
    for (const UDTSOCKET end : ends) {
        EXPECT_TRUE(forgotten_by_library(end));
    }
}

} // namespace
} // namespace korvane
