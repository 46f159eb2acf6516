// Callback transport: how the application's plain results become counts and
// statuses, including where it departs from the other transports.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "transport/CallbackTransport.hpp"

namespace korvane {
namespace {

using Status = Transport::StatusCode;

const Status OKAY;
const Status UNKNOWN(Status::TRANSPORT_STATUS_UNKNOWN, "");
const Status INVALID(Status::TRANSPORT_STATUS_INVALID_ARGUMENT, "");
const Status STALE(Status::TRANSPORT_STATUS_NO_DATA, "stale");

CallbackTransport::read_callback_t returning(long result, int* calls = nullptr)
{
    return [result, calls](void*, long, long&) {
        if (calls != nullptr) {
            ++*calls;
        }
        return result;
    };
}

CallbackTransport reader(CallbackTransport::read_callback_t read)
{
    return CallbackTransport(nullptr, std::move(read), nullptr, nullptr);
}

TEST(CallbackTransport, DefaultConstructedReportsInvalidArgumentEverywhere)
{
    CallbackTransport transport;
    EXPECT_EQ(transport.connect("peer", 1), INVALID);
    EXPECT_EQ(transport.close(), INVALID);
    char buffer[4];
    Status status = STALE;
    EXPECT_EQ(transport.read(buffer, 4, &status, true), -1);
    EXPECT_EQ(status, INVALID);
    status = STALE;
    EXPECT_EQ(transport.write(buffer, 4, &status), -1);
    EXPECT_EQ(status, INVALID);
    EXPECT_EQ(transport.read(buffer, 4, nullptr, false), -1);
}

TEST(CallbackTransport, ConnectHandsOverAddressAndPortAndReportsTheOutcome)
{
    std::string seen_address;
    int seen_port = 0;
    bool answer = false;
    CallbackTransport transport(
        [&](const std::string& address, int port) {
            seen_address = address;
            seen_port = port;
            return answer;
        },
        nullptr, nullptr, nullptr);
    EXPECT_EQ(transport.connect("medium-7", 65535), Status(Status::TRANSPORT_STATUS_NOT_CONNECTED, ""));
    EXPECT_EQ(seen_address, "medium-7");
    EXPECT_EQ(seen_port, 65535);
    answer = true;
    EXPECT_EQ(transport.connect("medium-7", 1), OKAY);
    EXPECT_EQ(seen_port, 1);
}

TEST(CallbackTransport, ReadAllGathersSmallDeliveriesAndSharesTheCallersLong)
{
    const std::string source = "0123456789";
    std::size_t offset = 0;
    std::vector<long> shared_seen;
    CallbackTransport transport = reader([&](void* destination, long length, long& shared) {
        shared_seen.push_back(shared++);
        const long count = std::min<long>({3, length, static_cast<long>(source.size() - offset)});
        std::memcpy(destination, source.data() + offset, static_cast<std::size_t>(count));
        offset += static_cast<std::size_t>(count);
        return count;
    });
    char buffer[10] = {};
    Status status = STALE;
    EXPECT_EQ(transport.read(buffer, 10, &status, true), 10);
    EXPECT_EQ(status, OKAY);
    EXPECT_EQ(std::string(buffer, 10), source);
    EXPECT_EQ(shared_seen, (std::vector<long>{0, 1, 2, 3}));

    // Without `all` one call is made; the long starts again at 0.
    offset = 0;
    shared_seen.clear();
    EXPECT_EQ(transport.read(buffer, 10, &status, false), 3);
    EXPECT_EQ(shared_seen, std::vector<long>{0});
}

TEST(CallbackTransport, ZeroAndNegativeReadResults)
{
    struct Case {
        long result;
        bool all;
        korvane_buf_len_t expected;
        Status status;
    };
    const Case cases[] = {
        {0, true, 0, UNKNOWN}, // no end of stream here: 0 with `all` is a failure
        {0, false, 0, OKAY},   // a successful read of nothing
        {-5, true, -5, UNKNOWN},
        {-5, false, -5, UNKNOWN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("result " + std::to_string(c.result) + (c.all ? " all" : " some"));
        CallbackTransport transport = reader(returning(c.result));
        char buffer[4];
        Status status = STALE;
        EXPECT_EQ(transport.read(buffer, 4, &status, c.all), c.expected);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(transport.read(buffer, 4, nullptr, c.all), c.expected);
    }
}

TEST(CallbackTransport, FailureAfterPartOfAnAllReadReturnsTheCallbacksValue)
{
    int calls = 0;
    CallbackTransport transport = reader([&](void*, long, long&) { return ++calls == 1 ? 2L : -9L; });
    char buffer[4];
    Status status;
    EXPECT_EQ(transport.read(buffer, 4, &status, true), -9);
    EXPECT_EQ(status, UNKNOWN);
}

TEST(CallbackTransport, EmptyReadDoesNotCallBack)
{
    int calls = 0;
    CallbackTransport transport = reader(returning(-1, &calls));
    Status status = STALE;
    EXPECT_EQ(transport.read(nullptr, 0, &status, true), 0);
    EXPECT_EQ(status, OKAY);
    EXPECT_EQ(transport.read(nullptr, -3, &status, false), 0);
    EXPECT_EQ(calls, 0);
}

TEST(CallbackTransport, WriteReturnsWhatTheCallbackReturned)
{
    long result = 3;
    std::vector<long> lengths;
    CallbackTransport transport(nullptr, nullptr,
                                [&](void*, long length) {
                                    lengths.push_back(length);
                                    return result;
                                },
                                nullptr);
    char buffer[10] = {};
    Status status = STALE;
    EXPECT_EQ(transport.write(buffer, 10, &status), 3) << "a partial write is not completed";
    EXPECT_EQ(status, OKAY) << "unlike other transports, success is written";
    EXPECT_EQ(transport.write(buffer, 0, &status), 3);
    EXPECT_EQ(lengths, (std::vector<long>{10, 0})) << "a zero-length write still calls back";
    result = -7;
    EXPECT_EQ(transport.write(buffer, 10, &status), -7);
    EXPECT_EQ(status, UNKNOWN);
    EXPECT_EQ(transport.write(buffer, 10, nullptr), -7);
}

TEST(CallbackTransport, CloseCallsBackEveryTimeAndAgainAtDestruction)
{
    int closes = 0;
    {
        CallbackTransport transport(nullptr, nullptr, nullptr, [&] { ++closes; });
        EXPECT_EQ(transport.close(), OKAY);
        EXPECT_EQ(transport.close(), OKAY);
        EXPECT_EQ(closes, 2);
    }
    EXPECT_EQ(closes, 3);
}

TEST(CallbackTransport, ListeningAndAsynchronousOperationsAreUnsupported)
{
    CallbackTransport transport(nullptr, returning(1), nullptr, nullptr);
    const Status unsupported(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Unsupported operation");
    EXPECT_EQ(transport.bind(1, "*"), unsupported);
    Status status;
    EXPECT_EQ(transport.accept(&status), nullptr);
    EXPECT_EQ(status, unsupported);
    EXPECT_EQ(transport.accept(nullptr), nullptr);
    EXPECT_EQ(transport.start(), unsupported);
    transport.stop();

    int calls = 0;
    transport.connect_async("peer", 1, [&](Transport& self, Status s) {
        EXPECT_EQ(&self, &transport);
        EXPECT_EQ(s, unsupported);
        ++calls;
    });
    transport.accept_async([&](Transport&, std::unique_ptr<Transport> accepted, Status s) {
        EXPECT_EQ(accepted, nullptr);
        EXPECT_EQ(s, unsupported);
        ++calls;
    });
    char buffer[6];
    transport.read_async(buffer, 6, [&](Transport&, long count, void* where, long length, Status s) {
        EXPECT_EQ(count, 0);
        EXPECT_EQ(where, buffer);
        EXPECT_EQ(length, 6);
        EXPECT_EQ(s, unsupported);
        ++calls;
    }, false);
    transport.write_async(buffer, 6, [&](Transport&, long count, Status s) {
        EXPECT_EQ(count, -1);
        EXPECT_EQ(s, unsupported);
        ++calls;
    });
    EXPECT_EQ(calls, 4) << "every handler ran before its call returned";
}

// A read callback that claims more bytes than it was offered must not make
// the transport report more than the caller's buffer holds.
TEST(CallbackTransport, ACountAboveWhatWasOfferedIsAFailure)
{
    const Status overcount(Status::TRANSPORT_STATUS_UNKNOWN, "Read callback reported more bytes than offered");
    std::vector<long> offered;
    CallbackTransport transport = reader([&](void* destination, long length, long&) -> long {
        offered.push_back(length);
        std::memset(destination, 'x', static_cast<std::size_t>(length));
        return offered.size() == 1 ? 2 : length + 1;
    });
    char buffer[4];
    Status status = STALE;
    EXPECT_EQ(transport.read(buffer, 4, &status, true), -1);
    EXPECT_EQ(status, overcount);
    EXPECT_EQ(offered, (std::vector<long>{4, 2}));

    offered.clear();
    status = STALE;
    EXPECT_EQ(transport.read(buffer, 1, &status, false), -1) << "one byte asked, two claimed";
    EXPECT_EQ(status, overcount);
    EXPECT_EQ(transport.read(buffer, 1, nullptr, false), -1);
}

TEST(CallbackTransport, ACallbackThatThrowsAnywayIsReportedNotPropagated)
{
    const auto thrower = [](auto...) -> long { throw std::runtime_error("medium on fire"); };
    const Status fire(Status::TRANSPORT_STATUS_UNKNOWN, "medium on fire");
    int closes = 0;
    {
        CallbackTransport transport([](const std::string&, int) -> bool { throw std::runtime_error("medium on fire"); },
                                    thrower, thrower, [&] {
                                        ++closes;
                                        throw std::runtime_error("medium on fire");
                                    });
        EXPECT_EQ(transport.connect("peer", 1), fire);
        char buffer[4];
        Status status;
        EXPECT_EQ(transport.read(buffer, 4, &status, true), -1);
        EXPECT_EQ(status, fire);
        status = Status();
        EXPECT_EQ(transport.write(buffer, 4, &status), -1);
        EXPECT_EQ(status, fire);
        EXPECT_EQ(transport.close(), fire);
    } // the destructor's close throws too, and must not end the process
    EXPECT_EQ(closes, 2);
}

} // namespace
} // namespace korvane
