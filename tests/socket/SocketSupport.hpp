// Helpers for the socket tests: pipelines by name, key pairs, and connected
// BasicSocket pairs over TCP on loopback, opened blocking or asynchronously.
// Every wait has a deadline; a blocked call is unblocked by closing.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <memory>
#include <string>
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

} // namespace testing
} // namespace korvane
