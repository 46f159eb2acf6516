// Framers on both ends of a real TCP connection: blocking and asynchronous
// paths must agree with each other, up to the largest frame allowed.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "support/Loopback.hpp"
#include "transport/TCPTransport.hpp"
#include "transport/TransportFramer.hpp"

namespace korvane {
namespace testing {
namespace {

using Status = Transport::StatusCode;
const korvane_buf_len_t LARGEST = 5242880;

Message filled(korvane_buf_len_t length, unsigned seed)
{
    Message message(length);
    auto* bytes = static_cast<unsigned char*>(message.buffer());
    for (korvane_buf_len_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 31 + seed) ^ (i >> 9));
    }
    return message;
}

bool same(const Message& a, const Message& b)
{
    return a.length() == b.length() && std::memcmp(a.buffer(), b.buffer(), static_cast<std::size_t>(a.length())) == 0;
}

class FramerRoundTrip : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto pair = connect_pair(std::make_unique<TCPTransport>(), std::make_unique<TCPTransport>());
        ASSERT_TRUE(pair) << pair.status;
        m_listener = std::move(pair.listener);
        m_sender = std::make_unique<TransportFramer>(std::move(pair.client));
        m_receiver = std::make_unique<TransportFramer>(std::move(pair.server));
    }

    LoopRunner<TCPTransport> m_loop{2};
    std::unique_ptr<Transport> m_listener;
    std::unique_ptr<TransportFramer> m_sender;
    std::unique_ptr<TransportFramer> m_receiver;
};

TEST_F(FramerRoundTrip, BlockingFramesOfEverySizeArriveWhole)
{
    for (korvane_buf_len_t length : {korvane_buf_len_t(1), korvane_buf_len_t(7), korvane_buf_len_t(65536 + 3),
                                     LARGEST}) {
        const Message sent = filled(length, static_cast<unsigned>(length));
        Completion<Status> wrote;
        std::thread writer([&] { wrote.set(m_sender->message(sent)); });
        Status status(Status::TRANSPORT_STATUS_UNKNOWN, "untouched");
        const Message got = m_receiver->message(&status);
        writer.join();
        EXPECT_EQ(Status(), wrote.wait().value_or(Status(Status::TRANSPORT_STATUS_UNKNOWN, "no result")));
        EXPECT_EQ(Status(), status) << "length " << length;
        EXPECT_TRUE(same(sent, got)) << "length " << length;
    }
}

TEST_F(FramerRoundTrip, AsynchronousFramesOfEverySizeArriveWhole)
{
    for (korvane_buf_len_t length : {korvane_buf_len_t(1), korvane_buf_len_t(300), LARGEST}) {
        const Message sent = filled(length, 9);
        Completion<std::pair<long, Status>> wrote;
        Completion<std::pair<Message, Status>> received;
        m_receiver->message([&](TransportFramer& framer, Message message, Status status) {
            EXPECT_EQ(m_receiver.get(), &framer);
            received.set({std::move(message), status});
        });
        m_sender->message(sent, [&](TransportFramer&, long bytes, Status status) { wrote.set({bytes, status}); });
        const auto written = wrote.wait();
        const auto got = received.wait();
        ASSERT_TRUE(written && got);
        EXPECT_EQ(length + 8, written->first) << written->second;
        EXPECT_EQ(Status(), got->second);
        EXPECT_TRUE(same(sent, got->first)) << "length " << length;
    }
}

} // namespace
} // namespace testing
} // namespace korvane
