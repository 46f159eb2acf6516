// BasicSockets over CallbackTransportFramers: whole messages through the
// application's callbacks (here an in-memory queue per direction) for the
// blocking calls, frames over the owned transport for the asynchronous ones.
#include "SocketSupport.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "transport/CallbackTransport.hpp"
#include "transport/CallbackTransportFramer.hpp"

namespace korvane {
namespace testing {
namespace {

/// Whole messages in one direction. A pop waits for a message up to the
/// deadline, then reports TRANSPORT_STATUS_TIMEOUT.
class MessageQueue {
public:
    Status push(Message message)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(std::move(message));
        m_cv.notify_all();
        return Status();
    }

    /// The next pop returns no message and reports `failure`.
    void fail_next(Status failure)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failure = std::move(failure);
        m_cv.notify_all();
    }

    Message pop(Status* status)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, DEADLINE, [this] { return !m_messages.empty() || !m_failure; })) {
            if (status != nullptr) {
                *status = Status(Status::TRANSPORT_STATUS_TIMEOUT, "no message in the queue");
            }
            return Message();
        }
        if (!m_failure) {
            if (status != nullptr) {
                *status = m_failure;
            }
            m_failure = Status();
            return Message();
        }
        Message message = std::move(m_messages.front());
        m_messages.pop_front();
        if (status != nullptr) {
            *status = Status();
        }
        return message;
    }

    std::size_t size()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages.size();
    }

    /// A copy of the newest message, as it travelled.
    Message back()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages.empty() ? Message() : m_messages.back();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Message> m_messages;
    Status m_failure;
};

std::unique_ptr<TransportFramer> queue_framer(std::unique_ptr<Transport> transport, std::shared_ptr<MessageQueue> in,
                                              std::shared_ptr<MessageQueue> out)
{
    return std::make_unique<CallbackTransportFramer>(
        std::move(transport), [in](Status* status) { return in->pop(status); },
        [out](Message message) { return out->push(std::move(message)); });
}

// A transport that opens but refuses to carry bytes: anything that reached
// it instead of the message callbacks would fail, and be counted.
std::unique_ptr<Transport> byteless_transport(int& byte_calls)
{
    return std::make_unique<CallbackTransport>(
        [](const std::string&, int) { return true; },
        [&byte_calls](void*, long, long&) {
            ++byte_calls;
            return -1L;
        },
        [&byte_calls](void*, long) {
            ++byte_calls;
            return -1L;
        },
        [] {});
}

Socket sealed_socket(std::unique_ptr<TransportFramer> framer, const KeyPair& keys)
{
    Socket socket = BasicSocket::create(std::move(framer));
    Pipeline& pipeline = socket->pipeline();
    pipeline.append_encoder(std::make_shared<Compressor>());
    pipeline.append_encoder(std::make_shared<Encryptor>(keys.public_key, keys.secret_key));
    pipeline.append_decoder(std::make_shared<Decryptor>(keys.public_key, keys.secret_key));
    // Above the frame limit a decompressor refuses unless told otherwise.
    pipeline.append_decoder(std::make_shared<Decompressor>(8 << 20));
    return socket;
}

Message repeated_text(korvane_buf_len_t size)
{
    Message message(size);
    std::memset(message.buffer(), 'q', static_cast<std::size_t>(size));
    return message;
}

TEST(CallbackFramerSocket, WholeMessagesCrossThroughTheQueuesKeyExchangeIncluded)
{
    auto a_to_b = std::make_shared<MessageQueue>();
    auto b_to_a = std::make_shared<MessageQueue>();
    int byte_calls = 0;
    KeyPair a_keys;
    KeyPair b_keys;
    Socket a = sealed_socket(queue_framer(byteless_transport(byte_calls), b_to_a, a_to_b), a_keys);
    Socket b = sealed_socket(queue_framer(byteless_transport(byte_calls), a_to_b, b_to_a), b_keys);

    // Each side's key exchange waits for the other's key.
    auto b_connected = std::async(std::launch::async, [&] { return b->connect("queue", 2); });
    EXPECT_EQ(Status(), a->connect("queue", 1));
    ASSERT_EQ(std::future_status::ready, b_connected.wait_for(DEADLINE));
    EXPECT_EQ(Status(), b_connected.get());
    EXPECT_TRUE(same_key(b_keys.public_key, encryptor_key(a->pipeline())));
    EXPECT_TRUE(same_key(a_keys.public_key, encryptor_key(b->pipeline())));

    // Each message is one queue entry, compressed and sealed, and not bound by
    // the frame limit: the callbacks own the boundaries.
    for (korvane_buf_len_t size : {korvane_buf_len_t{1}, korvane_buf_len_t{70000}, korvane_buf_len_t{6 << 20}}) {
        SCOPED_TRACE(size);
        const Message original = repeated_text(size);
        ASSERT_EQ(Status(), a->send(Message(original)));
        ASSERT_EQ(1u, a_to_b->size());
        const Message travelled = a_to_b->back();
        EXPECT_FALSE(same_bytes(original, travelled));
        if (size > 1000) {
            EXPECT_LT(travelled.length(), size / 10);
        }
        Status status(Status::TRANSPORT_STATUS_UNKNOWN, "unset");
        EXPECT_TRUE(same_bytes(original, b->recv(&status)));
        EXPECT_EQ(Status(), status);

        ASSERT_EQ(Status(), b->send(Message(original)));
        EXPECT_TRUE(same_bytes(original, a->recv(&status)));
        EXPECT_EQ(Status(), status);
    }
    EXPECT_EQ(0, byte_calls);

    // What the read callback reports is what the socket reports.
    const Status failure(Status::TRANSPORT_STATUS_NETWORK_DOWN, "queue gone");
    a_to_b->fail_next(failure);
    Status status;
    EXPECT_TRUE(b->recv(&status).null());
    EXPECT_EQ(failure, status);
}

TEST(CallbackFramerSocket, AsynchronousCallsStillFrameOverTheOwnedTransport)
{
    LoopRunner<TCPTransport> loop(2);
    auto outgoing = std::make_shared<MessageQueue>();
    auto incoming = std::make_shared<MessageQueue>();
    SocketPair pair = connect_blocking(
        tcp_socket(), BasicSocket::create(queue_framer(std::make_unique<TCPTransport>(), incoming, outgoing)));
    ASSERT_EQ(Status(), pair.client_status);
    ASSERT_TRUE(pair.server);

    // Blocking: through the callbacks, nothing on the connection.
    const Message queued = random_message(100);
    ASSERT_EQ(Status(), pair.client->send(Message(queued)));
    EXPECT_EQ(1u, outgoing->size());
    EXPECT_TRUE(same_bytes(queued, outgoing->back()));
    incoming->push(random_message(5));
    Status status;
    EXPECT_EQ(5, pair.client->recv(&status).length());

    // Asynchronous: frames on the TCP connection to a plain socket.
    const Message framed = random_message(3000);
    EXPECT_EQ(Status(), send_async(*pair.client, framed));
    EXPECT_TRUE(same_bytes(framed, bounded([&] { return pair.server->recv(&status); }, [&] { pair.server->close(); })));
    EXPECT_EQ(1u, outgoing->size());

    const Message reply = random_message(777);
    ASSERT_EQ(Status(), pair.server->send(Message(reply)));
    auto received = recv_async(*pair.client);
    ASSERT_TRUE(received);
    EXPECT_EQ(Status(), received->second);
    EXPECT_TRUE(same_bytes(reply, received->first));

    pair.close();
}

} // namespace
} // namespace testing
} // namespace korvane
