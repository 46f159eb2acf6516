// The behaviour every Transport owes its callers, written once as a typed
// test suite. A transport's test file instantiates it with a traits type:
//
//   struct MyTraits : ListeningTraits<MyTraits> {
//       using Loop = LoopRunner<MyTransport>;      // or NoLoop
//       static constexpr bool asynchronous = true; // async ops complete on Loop
//       static constexpr Transport::StatusCode::transport_status_code_t refused =
//           Transport::StatusCode::TRANSPORT_STATUS_CONNECTION_REFUSED;
//       static const char* address();              // loopback address to use
//       static constexpr PortKind ports = PortKind::Tcp; // or Udp: what a silent port is
//       static std::unique_ptr<Transport> make_client();
//       static std::unique_ptr<Transport> make_listener();
//   };
//   INSTANTIATE_TYPED_TEST_SUITE_P(My, TransportConformance, MyTraits);
//
// ListeningTraits supplies `open_pair()` through bind/connect/accept; a
// transport without listeners writes its own `open_pair()` returning a
// ConnectedPair and may leave make_client() returning null, which skips the
// refused-connect test. Loop-less transports (asynchronous = false) skip the
// tests that need an asynchronous operation to stay pending. A transport
// whose read with `all` reports meeting the end as a failure (the callback
// transport) says so with `static constexpr bool end_fails_all_reads = true`.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "support/Loopback.hpp"
#include "transport/Transport.hpp"

namespace korvane {
namespace testing {

template <typename Derived>
struct ListeningTraits {
    static ConnectedPair open_pair()
    {
        return connect_pair(Derived::make_listener(), Derived::make_client(), Derived::address());
    }
};

using Status = Transport::StatusCode;

template <typename Traits, typename = void>
struct EndFailsAllReads : std::false_type {};
template <typename Traits>
struct EndFailsAllReads<Traits, std::void_t<decltype(Traits::end_fails_all_reads)>>
    : std::bool_constant<Traits::end_fails_all_reads> {};

struct ReadResult {
    long count;
    Status status;
};

struct WriteResult {
    long count;
    Status status;
};

inline std::vector<unsigned char> pattern(std::size_t length, unsigned seed = 1)
{
    std::vector<unsigned char> bytes(length);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<unsigned char>(state >> 24);
    }
    return bytes;
}

/// Starts an asynchronous read whose result lands in the returned completion.
inline std::shared_ptr<Completion<ReadResult>> read_later(Transport& transport, void* buffer, long length, bool all)
{
    auto done = std::make_shared<Completion<ReadResult>>();
    transport.read_async(
        buffer, length, [done](Transport&, long count, void*, long, Status status) { done->set({count, status}); },
        all);
    return done;
}

inline std::shared_ptr<Completion<WriteResult>> write_later(Transport& transport, void* buffer, long length)
{
    auto done = std::make_shared<Completion<WriteResult>>();
    transport.write_async(buffer, length, [done](Transport&, long count, Status status) { done->set({count, status}); });
    return done;
}

template <typename Traits>
class TransportConformance : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_pair = Traits::open_pair();
        ASSERT_TRUE(m_pair) << m_pair.status;
        // Armed only now: the watchdog's thread starts after the pair exists.
        m_watchdog.emplace(
            [this] {
                m_pair.client->close();
                m_pair.server->close();
            },
            std::chrono::seconds(30));
    }

    void TearDown() override
    {
        EXPECT_FALSE(m_watchdog && m_watchdog->fired()) << "a blocking call hung until the watchdog ended it";
    }

    Transport& client() { return *m_pair.client; }
    Transport& server() { return *m_pair.server; }

    // Declared first so that it is destroyed last: aborted completions of the
    // transports below still find a loop to run on.
    typename Traits::Loop m_loop{2};
    ConnectedPair m_pair;
    // A blocking call that never returns fails the test instead of hanging it.
    std::optional<Watchdog> m_watchdog;
};

TYPED_TEST_SUITE_P(TransportConformance);

TYPED_TEST_P(TransportConformance, RefusedConnectReportsTheRefusal)
{
    auto client = TypeParam::make_client();
    if (!client) {
        GTEST_SKIP() << "transport has no connect";
    }
    const SilentPort nobody(TypeParam::ports);
    const Status status = client->connect(TypeParam::address(), nobody.port());
    EXPECT_EQ(TypeParam::refused, status.code()) << status;
    if (TypeParam::asynchronous) {
        Completion<Status> done;
        auto other = TypeParam::make_client();
        other->connect_async(TypeParam::address(), nobody.port(),
                             [&done](Transport&, Status result) { done.set(result); });
        const auto result = done.wait();
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(TypeParam::refused, result->code()) << *result;
    }
}

TYPED_TEST_P(TransportConformance, ExchangesBytesBothWays)
{
    auto hello = pattern(5, 1);
    std::vector<unsigned char> got(5);
    Status status;
    EXPECT_EQ(5, this->client().write(hello.data(), 5, &status)) << status;
    EXPECT_EQ(5, this->server().read(got.data(), 5, &status, true)) << status;
    EXPECT_EQ(hello, got);

    // `all` false returns what has arrived, without waiting for more.
    auto reply = pattern(4, 2);
    std::vector<unsigned char> buffer(10);
    EXPECT_EQ(4, this->server().write(reply.data(), 4, &status)) << status;
    EXPECT_EQ(4, this->client().read(buffer.data(), 10, &status, false)) << status;
    EXPECT_EQ(Status::TRANSPORT_STATUS_OKAY, status.code());
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer.begin()));
}

TYPED_TEST_P(TransportConformance, ExchangesBytesAsynchronously)
{
    if (!TypeParam::asynchronous) {
        GTEST_SKIP() << "no event loop";
    }
    auto request = pattern(300, 3);
    auto response = pattern(200, 4);
    std::vector<unsigned char> at_server(300), at_client(200);

    auto server_read = read_later(this->server(), at_server.data(), 300, true);
    auto client_wrote = write_later(this->client(), request.data(), 300);
    auto written = client_wrote->wait();
    auto read = server_read->wait();
    ASSERT_TRUE(written && read);
    EXPECT_EQ(300, written->count) << written->status;
    EXPECT_EQ(300, read->count) << read->status;
    EXPECT_EQ(request, at_server);

    auto client_read = read_later(this->client(), at_client.data(), 200, false);
    auto server_wrote = write_later(this->server(), response.data(), 200);
    written = server_wrote->wait();
    read = client_read->wait();
    ASSERT_TRUE(written && read);
    EXPECT_EQ(200, written->count) << written->status;
    ASSERT_GE(read->count, 1) << read->status;
    EXPECT_TRUE(std::equal(at_client.begin(), at_client.begin() + read->count, response.begin()));
}

TYPED_TEST_P(TransportConformance, LargeTransferArrivesIntact)
{
    // Larger than any socket buffer, so the writer has to wait for the reader.
    // ThreadSanitizer slows every byte down (UDT's own threads most): there a
    // smaller transfer still crosses the threads and stays within the deadline.
#if defined(__SANITIZE_THREAD__)
    const long size = 1 << 20;
#else
    const long size = 24 << 20;
#endif
    auto sent = pattern(static_cast<std::size_t>(size), 5);
    std::vector<unsigned char> received(static_cast<std::size_t>(size));
    Completion<long> wrote;
    std::thread writer([&] {
        Status status;
        wrote.set(this->client().write(sent.data(), size, &status));
    });
    Status status;
    const long read = this->server().read(received.data(), size, &status, true);
    writer.join();
    EXPECT_EQ(size, read) << status;
    EXPECT_EQ(size, wrote.wait().value_or(-2));
    EXPECT_TRUE(sent == received);

    if (TypeParam::asynchronous) {
        std::fill(received.begin(), received.end(), 0);
        auto reading = read_later(this->client(), received.data(), size, true);
        auto writing = write_later(this->server(), sent.data(), size);
        const auto written = writing->wait();
        const auto got = reading->wait();
        ASSERT_TRUE(written && got);
        EXPECT_EQ(size, written->count) << written->status;
        EXPECT_EQ(size, got->count) << got->status;
        EXPECT_TRUE(sent == received);
    }
}

TYPED_TEST_P(TransportConformance, PeerCloseEndsTheStreamWithoutAnError)
{
    // Four of the ten bytes asked for, then the end: the partial data is not
    // reported, the end of the stream is.
    auto bytes = pattern(4, 6);
    Status status;
    ASSERT_EQ(4, this->client().write(bytes.data(), 4, &status)) << status;
    this->client().close();

    std::vector<unsigned char> buffer(10);
    status = Status(Status::TRANSPORT_STATUS_NO_DATA, "untouched");
    EXPECT_EQ(0, this->server().read(buffer.data(), 10, &status, true));
    if (EndFailsAllReads<TypeParam>::value) {
        EXPECT_EQ(Status(Status::TRANSPORT_STATUS_UNKNOWN, ""), status);
    } else {
        EXPECT_EQ(Status(), status);
    }
    status = Status(Status::TRANSPORT_STATUS_NO_DATA, "untouched");
    EXPECT_EQ(0, this->server().read(buffer.data(), 10, &status, false));
    EXPECT_EQ(Status(), status);
}

TYPED_TEST_P(TransportConformance, PeerCloseEndsAPendingRead)
{
    if (!TypeParam::asynchronous) {
        GTEST_SKIP() << "no event loop";
    }
    std::vector<unsigned char> buffer(10);
    auto pending = read_later(this->server(), buffer.data(), 10, true);
    auto bytes = pattern(4, 7);
    Status status;
    ASSERT_EQ(4, this->client().write(bytes.data(), 4, &status)) << status;
    this->client().close();
    const auto result = pending->wait();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(0, result->count);
    EXPECT_EQ(Status(), result->status);
}

TYPED_TEST_P(TransportConformance, CloseAbortsAPendingRead)
{
    if (!TypeParam::asynchronous) {
        GTEST_SKIP() << "no event loop";
    }
    std::vector<unsigned char> buffer(10);
    auto pending = read_later(this->server(), buffer.data(), 10, true);
    this->server().close();
    const auto result = pending->wait();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(-1, result->count);
    EXPECT_EQ(Status::TRANSPORT_STATUS_OPERATION_ABORTED, result->status.code()) << result->status;

    // The peer learns that the connection is gone.
    Status status;
    EXPECT_EQ(0, this->client().read(buffer.data(), 10, &status, false)) << status;
}

TYPED_TEST_P(TransportConformance, EmptyRequestsCompleteAtOnce)
{
    unsigned char byte = 0;
    Status status;
    EXPECT_EQ(0, this->client().write(&byte, 0, &status));
    EXPECT_EQ(0, this->server().read(&byte, 0, &status, true));
    EXPECT_EQ(0, this->server().read(&byte, 0, &status, false));
    EXPECT_EQ(Status(), status);
}

// A read still waiting at its deadline reports TIMEOUT; when no byte had
// arrived the connection is untouched and carries data afterwards.
TYPED_TEST_P(TransportConformance, ReadDeadlineBeforeAnyByteLeavesTheConnectionUsable)
{
    if (!this->server().bounds_waits()) {
        GTEST_SKIP() << "transport does not bound its waits";
    }
    unsigned char got[4] = {};
    unsigned char sent[2] = {'o', 'k'};
    Status status;
    this->server().read_deadline(Transport::clock_t::now() + 50ms);
    EXPECT_EQ(-1, this->server().read(got, 4, &status, false));
    EXPECT_EQ(Status(Status::TRANSPORT_STATUS_TIMEOUT, "Read timed out"), status);
    if (TypeParam::asynchronous) {
        this->server().read_deadline(Transport::clock_t::now() + 50ms);
        const auto expired = read_later(this->server(), got, 4, false)->wait();
        ASSERT_TRUE(expired.has_value());
        EXPECT_EQ(-1, expired->count);
        EXPECT_EQ(Status(Status::TRANSPORT_STATUS_TIMEOUT, "Read timed out"), expired->status);
    }
    this->server().read_deadline(Transport::clock_t::now() + DEADLINE);
    ASSERT_EQ(2, this->client().write(sent, 2, &status)) << status;
    EXPECT_EQ(2, this->server().read(got, 2, &status, true)) << status;
    EXPECT_EQ('k', got[1]);
    if (TypeParam::asynchronous) {
        auto reading = read_later(this->server(), got, 2, true);
        ASSERT_EQ(2, this->client().write(sent, 2, &status)) << status;
        const auto read = reading->wait();
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(2, read->count) << read->status;
    }
}

REGISTER_TYPED_TEST_SUITE_P(TransportConformance, RefusedConnectReportsTheRefusal, ExchangesBytesBothWays,
                            ExchangesBytesAsynchronously, LargeTransferArrivesIntact,
                            PeerCloseEndsTheStreamWithoutAnError, PeerCloseEndsAPendingRead, CloseAbortsAPendingRead,
                            EmptyRequestsCompleteAtOnce, ReadDeadlineBeforeAnyByteLeavesTheConnectionUsable);

} // namespace testing
} // namespace korvane
