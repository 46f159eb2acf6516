// BasicSocket over a scripted in-memory transport: completions arrive exactly
// when and how the test says, so flags, odd completions and callbacks that
// destroy their socket are checked deterministically.
#include "SocketSupport.hpp"

#include "support/ScriptedTransport.hpp"

namespace korvane {
namespace testing {
namespace {

class ScriptedSocket : public ::testing::Test {
protected:
    ScriptedSocket() : m_socket(scripted_socket()) {}

    // Holds back every asynchronous completion until the test gives it.
    Socket scripted_socket()
    {
        m_script->hold_completions = true;
        m_script->endpoint = Status();
        m_transport = new ScriptedTransport(m_script);
        return BasicSocket::create(std::unique_ptr<Transport>(m_transport));
    }

    void complete_write(long bytes, Status status) { ASSERT_TRUE(m_transport->complete_write(bytes, status)); }

    void complete_read(const std::vector<unsigned char>& bytes) { ASSERT_TRUE(m_transport->complete_read(bytes)); }

    std::shared_ptr<Script> m_script = std::make_shared<Script>();
    ScriptedTransport* m_transport = nullptr;
    Socket m_socket;
};

TEST_F(ScriptedSocket, WriteCompletionsReachTheCallbackAndClearTheFlag)
{
    struct Case {
        long bytes;
        Status reported;
        Status expected;
    };
    const Status reset(Status::TRANSPORT_STATUS_CONNECTION_RESET, "reset");
    const Case cases[] = {
        {13, Status(), Status()},
        {-1, reset, reset},
        // Nothing written without an error code: the peer is gone.
        {0, Status(), Status(Status::TRANSPORT_STATUS_BROKEN_PIPE, "Connection reset by peer")},
    };
    for (const Case& c : cases) {
        std::optional<Status> result;
        bool pending_in_callback = true;
        m_socket->send(Message("hello", 5), [&](SocketImpl& socket, Status status) {
            pending_in_callback = socket.send_pending();
            result = status;
        });
        EXPECT_TRUE(m_socket->send_pending());
        EXPECT_FALSE(result);
        complete_write(c.bytes, c.reported);
        ASSERT_TRUE(result);
        EXPECT_EQ(c.expected, *result);
        EXPECT_FALSE(pending_in_callback);
        EXPECT_FALSE(m_socket->send_pending());
    }
}

TEST_F(ScriptedSocket, NothingToSendAnswersAtOnce)
{
    // Empty pipeline: a null message passes the encoders and is not framed.
    EXPECT_EQ(Status(), m_socket->send(Message()));
    std::optional<Status> result;
    m_socket->send(Message(), [&](SocketImpl&, Status status) { result = status; });
    ASSERT_TRUE(result); // before send returned
    EXPECT_EQ(Status(), *result);

    // A failing encoder reports its status, and the flag never goes up.
    m_socket->pipeline().append_encoder(std::make_shared<Compressor>());
    const Status zero(Status::TRANSPORT_STATUS_PIPELINE_ENCODE_ERROR, "Zero length input");
    EXPECT_EQ(zero, m_socket->send(Message()));
    result.reset();
    m_socket->send(Message(), [&](SocketImpl& socket, Status status) {
        EXPECT_FALSE(socket.send_pending());
        result = status;
    });
    ASSERT_TRUE(result);
    EXPECT_EQ(zero, *result);
    EXPECT_FALSE(m_socket->send_pending());
    EXPECT_TRUE(m_script->outgoing.empty());
}

TEST_F(ScriptedSocket, SendingEncodesACopyOfAnLvalueAndTakesAnRvalueOver)
{
    m_socket->pipeline().append_encoder(std::make_shared<Encryptor>());
    Message message("payload", 7);
    const void* buffer = message.buffer();
    EXPECT_EQ(Status(), m_socket->send(message));
    EXPECT_EQ(buffer, message.buffer());
    EXPECT_EQ(std::vector<unsigned char>({'p', 'a', 'y', 'l', 'o', 'a', 'd'}), bytes_of(message));
    // Header with length 23, then the 23-byte box.
    ASSERT_EQ(8u + 23u, m_script->outgoing.size());
    EXPECT_EQ(23, m_script->outgoing[7]);

    // The rvalue form gives the buffer away: the stages consume it as is.
    Message moved("payload", 7);
    m_socket->send(std::move(moved), [](SocketImpl&, Status) {});
    EXPECT_TRUE(moved.null());
    complete_write(31, Status());
}

TEST_F(ScriptedSocket, CloseMarksBothDirectionsBusyUntilAnOutstandingOperationEnds)
{
    m_socket->send(Message("x", 1), [](SocketImpl&, Status) {});
    EXPECT_EQ(Status(), m_socket->close());
    EXPECT_EQ(1, m_script->closes);
    EXPECT_TRUE(m_socket->recv_pending());
    EXPECT_TRUE(m_socket->send_pending());
    complete_write(-1, Status(Status::TRANSPORT_STATUS_OPERATION_ABORTED, "aborted"));
    EXPECT_FALSE(m_socket->send_pending());
    EXPECT_TRUE(m_socket->recv_pending());
}

TEST_F(ScriptedSocket, ReceiveDecodesAndClearsTheFlagBeforeTheCallback)
{
    m_socket->pipeline().append_decoder(std::make_shared<Decompressor>());
    std::optional<std::pair<Message, Status>> result;
    m_socket->recv([&](SocketImpl& socket, Message message, Status status) {
        EXPECT_FALSE(socket.recv_pending());
        result = std::make_pair(std::move(message), status);
    });
    EXPECT_TRUE(m_socket->recv_pending());
    // A body the decompressor refuses: header declaring 0 bytes.
    complete_read(frame_header(5));
    complete_read({0, 0, 0, 0, 0x10});
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->first.null());
    EXPECT_EQ(Status(Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, "LZ4 algorithm error"), result->second);
}

TEST_F(ScriptedSocket, SocketMayBeDestroyedInsideItsOwnCallbacks)
{
    // Each callback destroys the socket that called it; AddressSanitizer
    // catches any touch of the socket afterwards.
    bool received = false;
    m_socket->recv([&](SocketImpl&, Message message, Status) {
        received = !message.null();
        m_socket.reset();
    });
    complete_read(frame_header(2));
    complete_read({'h', 'i'});
    EXPECT_TRUE(received);
    EXPECT_FALSE(m_socket);

    m_socket = scripted_socket();
    bool sent = false;
    m_socket->send(Message("hi", 2), [&](SocketImpl&, Status status) {
        sent = status == Status();
        m_socket.reset();
    });
    complete_write(10, Status());
    EXPECT_TRUE(sent);
    EXPECT_FALSE(m_socket);
}

TEST_F(ScriptedSocket, DestroyedWithAReceiveOutstandingDropsTheLateCompletion)
{
    bool called = false;
    m_socket->recv([&](SocketImpl&, Message, Status) { called = true; });
    m_socket.reset();
    // The transport lives on with the completion it holds.
    complete_read(frame_header(2));
    complete_read({'h', 'i'});
    EXPECT_FALSE(called);
    EXPECT_FALSE(m_script->held_read);
}

TEST_F(ScriptedSocket, EmptyCallbacksAndLengthsBeyondTheBufferAreRefused)
{
    m_socket->recv(recv_handler_t());
    m_socket->send(Message("x", 1), send_handler_t());
    m_socket->connect("host", 1, connect_handler_t());
    m_socket->accept_async(accept_handler_t());
    EXPECT_FALSE(m_script->held_read);
    EXPECT_FALSE(m_socket->recv_pending());
    EXPECT_TRUE(m_script->outgoing.empty());

    Message message("abc", 3);
    EXPECT_FALSE(message.length(4));
    EXPECT_FALSE(message.length(-1));
    EXPECT_EQ(3, message.length());
    EXPECT_TRUE(message.length(2));
    EXPECT_EQ(Status(), m_socket->send(message));
    EXPECT_EQ(8u + 2u, m_script->outgoing.size());
}

TEST_F(ScriptedSocket, SendTooLargeOnceSealedSpendsNoCounter)
{
    m_socket->pipeline().append_encoder(std::make_shared<Encryptor>());
    const Status refused = m_socket->send(Message(korvane_buf_len_t{5242880}));
    EXPECT_EQ(Status::TRANSPORT_STATUS_MSG_TOO_LARGE, refused.code()) << refused;
    EXPECT_TRUE(m_script->outgoing.empty());
    // The next message is sealed with the first counter value.
    ASSERT_EQ(Status(), m_socket->send(Message("next", 4)));
    ASSERT_EQ(8u + 20u, m_script->outgoing.size());
    Decryptor peer;
    Status status;
    const Message opened = peer.process(Message(m_script->outgoing.data() + 8, 20), &status);
    EXPECT_EQ(Status(), status);
    EXPECT_EQ(std::vector<unsigned char>({'n', 'e', 'x', 't'}), bytes_of(opened));
}

TEST_F(ScriptedSocket, KeyFrameWhereAMessageWasExpectedIsNamed)
{
    m_socket->pipeline().append_decoder(std::make_shared<Decompressor>());
    std::optional<Status> result;
    m_socket->recv([&](SocketImpl&, Message, Status status) { result = status; });
    complete_read(frame_header(32));
    complete_read(std::vector<unsigned char>(xs::EXAMPLE_PUBLIC_KEY, xs::EXAMPLE_PUBLIC_KEY + 32));
    ASSERT_TRUE(result);
    EXPECT_EQ(Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, result->code());
    EXPECT_NE(std::string::npos, result->message().find("pipelines differ")) << *result;
}

TEST(BasicSocketFactory, RefusesMissingTransports)
{
    EXPECT_FALSE(BasicSocket::create(std::unique_ptr<Transport>()));
    EXPECT_FALSE(BasicSocket::create(std::unique_ptr<TransportFramer>()));
    EXPECT_FALSE(BasicSocket::create(std::make_unique<TransportFramer>(nullptr)));
}

} // namespace
} // namespace testing
} // namespace korvane
