// The framer over a scripted in-memory transport: short reads and writes
// that a well-behaved TCP connection never produces, and a record of every
// call the framer makes, so buffer ownership and request sizes can be seen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>

#include "support/ScriptedTransport.hpp"
#include "transport/TransportFramer.hpp"
#include "util/Endianness.hpp"

namespace korvane {
namespace {

using Status = Transport::StatusCode;

using testing::ScriptedTransport;

struct Scripted {
    Scripted() : framer(std::unique_ptr<Transport>(new ScriptedTransport())),
                 transport(static_cast<ScriptedTransport&>(*framer.transport())) {}
    // Blocking receives read whole headers and payloads; an asynchronous one
    // makes one partial read when nothing is read ahead.
    ~Scripted() { EXPECT_LE(transport.script->partial_read_requests, async_receives) << "partial reads beyond read-ahead"; }
    TransportFramer framer;
    ScriptedTransport& transport;
    long async_receives = 0;
};

std::vector<unsigned char> frame(std::uint32_t length, const std::string& payload)
{
    std::vector<unsigned char> bytes(8 + payload.size(), 0xAA);
    endian::store_big32(bytes.data() + 4, length);
    std::copy(payload.begin(), payload.end(), bytes.begin() + 8);
    return bytes;
}

struct Received {
    Message message;
    Status status;
    int calls = 0;
};

Received receive_async(Scripted& s)
{
    ++s.async_receives;
    Received result;
    s.framer.message([&](TransportFramer&, Message message, Status status) {
        result.message = std::move(message);
        result.status = status;
        ++result.calls;
    });
    return result;
}

const Status incomplete(Status::TRANSPORT_STATUS_BROKEN_PIPE, "Incomplete read");

TEST(FramerFaults, ShortReadsAreIncompleteNotMessages)
{
    // A header cut short, and a payload cut short, by a transport that
    // reports fewer bytes than asked for a whole read without calling it an
    // error (an asynchronous receive's first read may be partial: the rest
    // of its header is then the whole read cut short).
    for (const std::deque<long>& limits : {std::deque<long>{5, 1}, std::deque<long>{8, 3}}) {
        for (bool asynchronous : {false, true}) {
            Scripted s;
            s.transport.script->incoming = frame(6, "abcdef");
            s.transport.script->read_limits = limits;
            Received got;
            if (asynchronous) {
                got = receive_async(s);
                EXPECT_EQ(1, got.calls);
            } else {
                got.message = s.framer.message(&got.status);
            }
            EXPECT_TRUE(got.message.null());
            EXPECT_EQ(incomplete, got.status) << (asynchronous ? "async" : "blocking") << " cut at " << limits.back();
        }
    }
}

TEST(FramerFaults, PayloadIsReadIntoExactlyTheAnnouncedLengthAndNotBeyond)
{
    // A blocking receive reads exactly its frame; an asynchronous one reads
    // ahead, and what it read ahead serves the next receive without a read.
    Scripted s;
    for (const auto& more : {frame(3, "xyz"), frame(2, "ok"), frame(1, "!")}) {
        s.transport.script->incoming.insert(s.transport.script->incoming.end(), more.begin(), more.end());
    }

    Status status;
    Message first = s.framer.message(&status);
    EXPECT_EQ(std::vector<long>({8, 3}), s.transport.script->read_requests);
    EXPECT_EQ(3, first.length());
    EXPECT_EQ(0, std::memcmp(first.buffer(), "xyz", 3));

    Received second = receive_async(s);
    ASSERT_EQ(3u, s.transport.script->read_requests.size());
    EXPECT_EQ(2, second.message.length());
    EXPECT_EQ(0, std::memcmp(second.message.buffer(), "ok", 2));
    EXPECT_TRUE(s.transport.script->incoming.empty());

    Message third = s.framer.message(&status);
    EXPECT_EQ(3u, s.transport.script->read_requests.size());
    EXPECT_EQ(1, third.length());
}

TEST(FramerFaults, RejectedLengthsAskForNoPayload)
{
    for (std::uint32_t length : {0u, 5242881u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        Scripted s;
        s.transport.script->incoming = frame(length, "");
        Received got = receive_async(s);
        EXPECT_EQ(Status::TRANSPORT_STATUS_MSG_TOO_LARGE, got.status.code());
        s.transport.script->incoming = frame(length, "");
        Status status;
        EXPECT_TRUE(s.framer.message(&status).null());
        EXPECT_EQ(got.status, status);
        ASSERT_EQ(2u, s.transport.script->read_requests.size()) << length; // no payload read
        EXPECT_EQ(8, s.transport.script->read_requests[1]) << length;
    }
}

TEST(FramerFaults, PayloadBufferGrowsWithWhatArrivesNotWithWhatTheHeaderClaims)
{
    // A header claiming the largest payload, then 100 bytes: neither receive
    // asks to fill more than 64 KiB before bytes arrive; a whole payload of
    // that size still comes through intact.
    const std::string some(100, 'x');
    for (bool async : {false, true}) {
        Scripted stalled;
        stalled.transport.script->incoming = frame(5242880, some);
        Status status;
        if (async) {
            status = receive_async(stalled).status;
        } else {
            EXPECT_TRUE(stalled.framer.message(&status).null());
        }
        // Read ahead, the 100 bytes leave nothing for the whole read of the
        // rest, which then meets the end of the stream as a TCP read does.
        EXPECT_EQ(async ? Status() : incomplete, status) << async;
        ASSERT_EQ(2u, stalled.transport.script->read_requests.size()) << async;
        EXPECT_LE(stalled.transport.script->read_requests[1], 64 * 1024) << async;

        // Once a peer has sent a frame that large, the next one of that size
        // is read into a buffer of its full length at once: two reads, its
        // header included, where the first frame's buffer had to grow.
        Scripted whole;
        std::string payload(5242880, '\0');
        for (std::size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<char>(i * 7 + i / 4099);
        }
        whole.transport.script->incoming = frame(5242880, payload);
        const std::vector<unsigned char> again = frame(5242880, payload);
        whole.transport.script->incoming.insert(whole.transport.script->incoming.end(), again.begin(), again.end());
        std::size_t reads_before = 0;
        for (int i = 0; i < 2; ++i) {
            reads_before = whole.transport.script->read_requests.size();
            const Message got = async ? receive_async(whole).message : whole.framer.message(&status);
            ASSERT_EQ(5242880, got.length()) << async;
            EXPECT_EQ(0, std::memcmp(payload.data(), got.buffer(), payload.size())) << async;
        }
        EXPECT_EQ(2u, whole.transport.script->read_requests.size() - reads_before) << async;
    }
}

TEST(FramerFaults, BlockingSendIsOneWriteAndLargePayloadsGoFromTheCallersBuffer)
{
    auto sent_frame = [](std::uint32_t length, const std::string& payload) {
        std::vector<unsigned char> bytes = frame(length, payload);
        std::fill(bytes.begin(), bytes.begin() + 4, 0); // a sender's unused bytes are zero
        return bytes;
    };
    // A small frame is one write; a transport without a gather write of its
    // own gets it as one run of bytes.
    Scripted s;
    Message message("payload", 7);
    EXPECT_EQ(Status(), s.framer.message(message));
    ASSERT_EQ(1u, s.transport.script->writes.size());
    EXPECT_EQ(15, s.transport.script->writes[0].second);
    EXPECT_EQ(sent_frame(7, "payload"), s.transport.script->outgoing);

    // A large one is never copied: the payload goes out from the message's
    // own buffer, after the header.
    Scripted large;
    const std::string bytes(200000, 'q');
    Message owned(bytes.data(), static_cast<korvane_buf_len_t>(bytes.size()));
    const void* buffer = owned.buffer();
    EXPECT_EQ(Status(), large.framer.message(std::move(owned)));
    ASSERT_EQ(2u, large.transport.script->writes.size());
    EXPECT_EQ(8, large.transport.script->writes[0].second);
    EXPECT_EQ(buffer, large.transport.script->writes[1].first);
    EXPECT_EQ(sent_frame(200000, bytes), large.transport.script->outgoing);
}

TEST(FramerFaults, BlockingSendStopsAtTheFirstFailedWrite)
{
    const Status reset(Status::TRANSPORT_STATUS_CONNECTION_RESET, "Connection reset by peer");
    Scripted header_fails;
    header_fails.transport.script->write_results = {{-1, reset}};
    EXPECT_EQ(reset, header_fails.framer.message(Message("abc", 3)));
    EXPECT_EQ(1u, header_fails.transport.script->writes.size());

    const std::string large(100000, 'x');
    Scripted payload_fails;
    payload_fails.transport.script->write_results = {{8, Status()}, {-1, reset}};
    EXPECT_EQ(reset, payload_fails.framer.message(Message(large.data(), 100000)));
    EXPECT_EQ(2u, payload_fails.transport.script->writes.size());

    // A write that moved nothing means the peer has gone: that is no success.
    const Status gone(Status::TRANSPORT_STATUS_BROKEN_PIPE, "Connection reset by peer");
    Scripted ended;
    ended.transport.script->write_results = {{0, Status()}};
    EXPECT_EQ(gone, ended.framer.message(Message("abc", 3)));
    EXPECT_EQ(1u, ended.transport.script->writes.size());
}

TEST(FramerFaults, AsynchronousSendIsOneContiguousWriteReportedUnchanged)
{
    Scripted s;
    long bytes = -99;
    Status status(Status::TRANSPORT_STATUS_UNKNOWN, "untouched");
    s.framer.message(Message("abc", 3), [&](TransportFramer&, long count, Status result) {
        bytes = count;
        status = result;
    });
    EXPECT_EQ(11, bytes);
    EXPECT_EQ(Status(), status);
    ASSERT_EQ(1u, s.transport.script->writes.size());
    EXPECT_EQ(11, s.transport.script->writes[0].second);
    const auto expected = frame(3, "abc");
    EXPECT_EQ(std::vector<unsigned char>(4, 0), std::vector<unsigned char>(s.transport.script->outgoing.begin(), s.transport.script->outgoing.begin() + 4));
    EXPECT_TRUE(std::equal(expected.begin() + 4, expected.end(), s.transport.script->outgoing.begin() + 4));

    // The transport's count and status reach the callback as they are.
    Scripted ended;
    ended.transport.script->write_results = {{0, Status()}};
    ended.framer.message(Message("abc", 3), [&](TransportFramer&, long count, Status result) {
        bytes = count;
        status = result;
    });
    EXPECT_EQ(0, bytes);
    EXPECT_EQ(Status(), status);
}

} // namespace
} // namespace korvane
