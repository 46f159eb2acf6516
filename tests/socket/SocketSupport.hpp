// Helpers for the socket tests: pipelines by name, key pairs, connected
// BasicSocket pairs on loopback, opened blocking or asynchronously, and
// round trips over them. Every wait has a deadline; a blocked call is
// unblocked by closing.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "message/Message.hpp"
#include "pipeline/decoder/Decompressor.hpp"
#include "pipeline/decoder/Decryptor.hpp"
#include "pipeline/encoder/Compressor.hpp"
#include "pipeline/encoder/Encryptor.hpp"
#include "socket/BasicSocket.hpp"
#include "support/Loopback.hpp"
#include "transport/TCPTransport.hpp"
#include "util/Random.hpp"
#include "util/XSalsa20.hpp"

namespace korvane {
namespace testing {

using Status = Transport::StatusCode;
namespace xs = crypto::XSalsa20;

const char* const LOCALHOST = "127.0.0.1";

struct KeyPair {
    KeyPair() { xs::key_pair(public_key, secret_key); }
    xs::xsalsa20_asymmetric_public_key_t public_key;
    xs::xsalsa20_asymmetric_secret_key_t secret_key;
};

enum class Stages { None, Compression, DefaultKeys, GeneratedKeys, CompressionThenEncryption };

inline const char* name(Stages stages)
{
    switch (stages) {
    case Stages::None: return "None";
    case Stages::Compression: return "Compression";
    case Stages::DefaultKeys: return "DefaultKeys";
    case Stages::GeneratedKeys: return "GeneratedKeys";
    case Stages::CompressionThenEncryption: return "CompressionThenEncryption";
    }
    return "?";
}

/// Fills `pipeline` as one peer; `keys` is used only by GeneratedKeys.
inline void configure(Pipeline& pipeline, Stages stages, const KeyPair& keys)
{
    const bool compress = stages == Stages::Compression || stages == Stages::CompressionThenEncryption;
    const bool encrypt = stages != Stages::None && stages != Stages::Compression;
    if (compress) {
        pipeline.append_encoder(std::make_shared<Compressor>());
    }
    if (encrypt && stages == Stages::GeneratedKeys) {
        pipeline.append_encoder(std::make_shared<Encryptor>(keys.public_key, keys.secret_key));
        pipeline.append_decoder(std::make_shared<Decryptor>(keys.public_key, keys.secret_key));
    } else if (encrypt) {
        pipeline.append_encoder(std::make_shared<Encryptor>());
        pipeline.append_decoder(std::make_shared<Decryptor>());
    }
    if (compress) {
        pipeline.append_decoder(std::make_shared<Decompressor>());
    }
}

/// The public keys the first Encryptor / Decryptor of `pipeline` hold.
inline const unsigned char* encryptor_key(Pipeline& pipeline)
{
    return dynamic_cast<Encryptor&>(*pipeline.encoder<Encryptor>()).public_key();
}

inline const unsigned char* decryptor_key(Pipeline& pipeline)
{
    return dynamic_cast<Decryptor&>(*pipeline.decoder<Decryptor>()).public_key();
}

inline bool same_key(const unsigned char* lhs, const unsigned char* rhs)
{
    return std::memcmp(lhs, rhs, 32) == 0;
}

inline Socket tcp_socket()
{
    return BasicSocket::create(std::make_unique<TCPTransport>());
}

inline Message random_message(korvane_buf_len_t length)
{
    Message message(length);
    crypto::Random::bytes(message.buffer(), static_cast<unsigned long>(length));
    return message;
}

inline bool same_bytes(const Message& lhs, const Message& rhs)
{
    return !lhs.null() && lhs.length() == rhs.length()
        && std::memcmp(lhs.buffer(), rhs.buffer(), static_cast<std::size_t>(lhs.length())) == 0;
}

inline std::vector<unsigned char> bytes_of(const Message& message)
{
    const auto* begin = static_cast<const unsigned char*>(message.buffer());
    return message.null() ? std::vector<unsigned char>() : std::vector<unsigned char>(begin, begin + message.length());
}

/// The 8-byte frame header for `length` followed by `payload`.
inline std::vector<unsigned char> frame(const void* payload, std::size_t length)
{
    std::vector<unsigned char> bytes(8 + length, 0);
    bytes[4] = static_cast<unsigned char>(length >> 24);
    bytes[5] = static_cast<unsigned char>(length >> 16);
    bytes[6] = static_cast<unsigned char>(length >> 8);
    bytes[7] = static_cast<unsigned char>(length);
    std::memcpy(bytes.data() + 8, payload, length);
    return bytes;
}

/// The 8-byte frame header alone.
inline std::vector<unsigned char> frame_header(std::size_t length)
{
    std::vector<unsigned char> bytes = frame("", 0);
    bytes[4] = static_cast<unsigned char>(length >> 24);
    bytes[5] = static_cast<unsigned char>(length >> 16);
    bytes[6] = static_cast<unsigned char>(length >> 8);
    bytes[7] = static_cast<unsigned char>(length);
    return bytes;
}

/// Runs a blocking `call` under a Watchdog that runs `unblock` (closing
/// whatever the call waits on) past the deadline, which fails the test.
template <typename Call, typename Unblock>
auto bounded(Call call, Unblock unblock) -> decltype(call())
{
    Watchdog watchdog(unblock);
    auto result = call();
    EXPECT_FALSE(watchdog.fired()) << "blocking call missed its deadline";
    return result;
}

/// Binds `listener` on `port` (the kernel's choice when 0), accepts on a
/// helper thread and connects `client`, all with the blocking calls (key
/// exchange included).
inline SocketPair connect_blocking(Socket listener, Socket client, std::uint16_t port = 0)
{
    SocketPair pair;
    pair.listener = std::move(listener);
    pair.client = std::move(client);
    port = listen_on(pair, LOCALHOST, port);
    EXPECT_EQ(Status(), pair.status);
    join_blocking(pair, LOCALHOST, port);
    EXPECT_TRUE(pair.in_time) << "connect or accept missed its deadline";
    return pair;
}

/// The same with accept_async and the asynchronous connect; the caller runs
/// the TCP loop on at least two threads (each exchange blocks one).
inline SocketPair connect_async(Socket listener, Socket client)
{
    SocketPair pair;
    pair.listener = std::move(listener);
    pair.client = std::move(client);
    const std::uint16_t port = listen_on(pair, LOCALHOST, 0);
    EXPECT_EQ(Status(), pair.status);
    join_async(pair, LOCALHOST, port);
    EXPECT_TRUE(pair.in_time) << "asynchronous connect or accept missed its deadline";
    return pair;
}

/// Receives one message with recv(callback), waiting up to the deadline.
inline std::optional<std::pair<Message, Status>> recv_async(SocketImpl& socket)
{
    auto done = std::make_shared<Completion<std::pair<Message, Status>>>();
    socket.recv([done](SocketImpl&, Message message, Status status) {
        done->set(std::make_pair(std::move(message), status));
    });
    return done->wait();
}

inline std::optional<Status> send_async(SocketImpl& socket, const Message& message)
{
    auto done = std::make_shared<Completion<Status>>();
    Message copy(message);
    socket.send(copy, [done](SocketImpl&, Status status) { done->set(status); });
    return done->wait();
}

/// Echoes `count` messages on `server` with the blocking calls, from a
/// thread of its own; a failure is reported and closes the server.
inline std::thread echo_blocking(SocketImpl& server, std::size_t count)
{
    return std::thread([&server, count] {
        for (std::size_t i = 0; i < count; ++i) {
            Status status;
            Message message = server.recv(&status);
            if (message.null() || server.send(message) != Status()) {
                ADD_FAILURE() << "echo stopped at message " << i << ": " << status;
                server.close();
                return;
            }
        }
    });
}

/// Sends `message` (as the caller passes it, lvalue or rvalue) from
/// `client` with the blocking call and returns the reply, received under
/// the deadline; both must succeed.
template <typename M>
Message round_trip(SocketImpl& client, M&& message)
{
    EXPECT_EQ(Status(), client.send(std::forward<M>(message)));
    Status status(Status::TRANSPORT_STATUS_UNKNOWN, "unset");
    Message reply = bounded([&] { return client.recv(&status); }, [&] { client.close(); });
    EXPECT_EQ(Status(), status);
    return reply;
}

/// Destroys the server end; the client's next receive must then end the
/// stream (a null message) within the deadline. The status it reported.
inline Status end_of_stream(SocketPair& pair)
{
    pair.server.reset();
    Status status(Status::TRANSPORT_STATUS_UNKNOWN, "unset");
    EXPECT_TRUE(bounded([&] { return pair.client->recv(&status); }, [&] { pair.client->close(); }).null());
    return status;
}

/// `original` there and back with the asynchronous calls: the server's
/// recv(callback) takes the client's send, and the reply the client's
/// recv(callback); each pending flag is up exactly while its call runs.
inline void expect_async_round_trip(SocketPair& pair, const Message& original)
{
    auto received = std::make_shared<Completion<std::pair<Message, Status>>>();
    pair.server->recv([received](SocketImpl&, Message message, Status status) {
        received->set(std::make_pair(std::move(message), status));
    });
    EXPECT_TRUE(pair.server->recv_pending());
    EXPECT_EQ(Status(), send_async(*pair.client, original));
    auto request = received->wait();
    ASSERT_TRUE(request);
    EXPECT_EQ(Status(), request->second);
    EXPECT_TRUE(same_bytes(original, request->first));
    EXPECT_FALSE(pair.server->recv_pending());
    EXPECT_FALSE(pair.client->send_pending());

    EXPECT_EQ(Status(), send_async(*pair.server, request->first));
    auto reply = recv_async(*pair.client);
    ASSERT_TRUE(reply);
    EXPECT_EQ(Status(), reply->second);
    EXPECT_TRUE(same_bytes(original, reply->first));
}

} // namespace testing
} // namespace korvane
