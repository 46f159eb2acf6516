// Session stages and their handshake, run in memory: two handshakes hand
// frames to each other, then the stages seal and open what the sockets would.
#include <gtest/gtest.h>

#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "StageHelpers.hpp"
#include "pipeline/Pipeline.hpp"
#include "pipeline/SessionKeys.hpp"
#include "pipeline/decoder/Decryptor.hpp"
#include "pipeline/decoder/SessionDecryptor.hpp"
#include "pipeline/encoder/Encryptor.hpp"
#include "pipeline/encoder/SessionEncryptor.hpp"
#include "socket/SessionHandshake.hpp"
#include "util/KeyFile.hpp"
#include "util/XSalsa20.hpp"

using namespace korvane;
using namespace korvane::testing;
namespace xs = korvane::crypto::XSalsa20;

namespace {

struct Identity {
    Identity() { xs::key_pair(public_key, secret_key); }
    session_peer_key_t key() const
    {
        session_peer_key_t k;
        std::memcpy(k.data(), public_key, k.size());
        return k;
    }
    xs::xsalsa20_asymmetric_public_key_t public_key;
    xs::xsalsa20_asymmetric_secret_key_t secret_key;
};

Pipeline session_pipeline(const Identity& own, session_peer_keys_t accepted = {}, const unsigned char* claimed = nullptr)
{
    Pipeline pipeline;
    const unsigned char* public_key = claimed != nullptr ? claimed : own.public_key;
    pipeline.append_encoder(std::make_shared<SessionEncryptor>(public_key, own.secret_key, accepted));
    pipeline.append_decoder(std::make_shared<SessionDecryptor>(public_key, own.secret_key, accepted));
    return pipeline;
}

struct Outcome {
    Status initiator;
    Status responder;
};

// Runs both handshakes to the end, delivering frames in order; a side that
// failed or finished stops answering, as its socket would close.
Outcome run(Pipeline& initiator_pipeline, Pipeline& responder_pipeline)
{
    Status status;
    std::unique_ptr<detail::Handshake> sides[2] = {
        detail::SessionHandshake::create(initiator_pipeline, true, &status),
        detail::SessionHandshake::create(responder_pipeline, false, &status)};
    EXPECT_TRUE(sides[0] && sides[1]);
    std::deque<Message> inbox[2];
    Status result[2];
    bool finished[2] = {false, false};
    auto apply = [&](int side, detail::Handshake::Step step) {
        for (Message& frame : step.out) {
            inbox[1 - side].push_back(std::move(frame));
        }
        finished[side] = step.done || !step.status;
        result[side] = step.status;
    };
    apply(0, sides[0]->start());
    apply(1, sides[1]->start());
    for (int round = 0; round < 8; ++round) {
        for (int side = 0; side < 2; ++side) {
            if (!finished[side] && !inbox[side].empty()) {
                Message frame = std::move(inbox[side].front());
                inbox[side].pop_front();
                apply(side, sides[side]->receive(std::move(frame)));
            }
        }
    }
    // A side still waiting sees the peer close the connection.
    for (int side = 0; side < 2; ++side) {
        if (!finished[side]) {
            result[side] = Status(Status::TRANSPORT_STATUS_BROKEN_PIPE, "Peer closed");
        }
    }
    return {result[0], result[1]};
}

Message encode(Pipeline& pipeline, const Message& input, Status* status = nullptr)
{
    return pipeline.encode(input, status);
}

const Status ACCESS_DENIED_KEY(Status::TRANSPORT_STATUS_ACCESS_DENIED, "Peer key not accepted");
const Status ACCESS_DENIED_AUTH(Status::TRANSPORT_STATUS_ACCESS_DENIED, "Peer authentication failed");
const Status CANNOT_OPEN = decode_error("XChaCha20-Poly1305 algorithm error");

} // namespace

// Both ways, over two connections built from clones of the same pipelines:
// the same plaintext never gives the same body twice, and each opens only
// where it belongs.
TEST(Session, RoundTripsBothWaysWithFreshKeysPerDirectionAndConnection)
{
    Identity client, server;
    Pipeline client_template = session_pipeline(client, {server.key()});
    Pipeline server_template = session_pipeline(server, {client.key()});
    Pipeline c1(client_template), s1(server_template), c2(client_template), s2(server_template);
    EXPECT_EQ(run(c1, s1).initiator, Status());
    const Outcome second = run(c2, s2);
    EXPECT_EQ(second.initiator, Status());
    EXPECT_EQ(second.responder, Status());

    const Message plain = random_message(65536);
    const Message bodies[4] = {encode(c1, plain), encode(s1, plain), encode(c2, plain), encode(s2, plain)};
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(bodies[i].length(), plain.length() + 16);
        for (int j = 0; j < i; ++j) {
            EXPECT_NE(std::memcmp(bodies[i].buffer(), bodies[j].buffer(), 64), 0) << i << " vs " << j;
        }
    }
    Status status;
    EXPECT_TRUE(same_bytes(s1.decode(bodies[0], &status), plain));
    EXPECT_TRUE(same_bytes(c1.decode(bodies[1], &status), plain));
    EXPECT_TRUE(same_bytes(c2.decode(bodies[3], &status), plain));
    EXPECT_TRUE(s2.decode(bodies[0], &status).null()); // another connection's body
    EXPECT_EQ(status, CANNOT_OPEN);
    // Clones never inherit a session.
    EXPECT_EQ(encode(client_template, plain, &status).null() ? status : Status(),
              encode_error("Session not established"));
}

TEST(Session, HandshakeRefusesUnacceptedPeersAndImpostors)
{
    Identity client, server, stranger;
    Pipeline pinned = session_pipeline(server, {client.key()});
    Pipeline strange = session_pipeline(stranger);
    EXPECT_EQ(run(strange, pinned).responder, ACCESS_DENIED_KEY);

    // Claims the client's public key without its secret key.
    Pipeline impostor = session_pipeline(stranger, {}, client.public_key);
    Pipeline server_side = session_pipeline(server, {client.key()});
    const Outcome outcome = run(impostor, server_side);
    EXPECT_EQ(outcome.responder, ACCESS_DENIED_AUTH);
    EXPECT_EQ(outcome.initiator, ACCESS_DENIED_AUTH);
    Status status;
    EXPECT_TRUE(encode(server_side, random_message(10), &status).null());
    EXPECT_EQ(status, encode_error("Session not established"));

    // Any peer is taken when nothing is pinned (and it must hold its key).
    Pipeline open_server = session_pipeline(server);
    Pipeline any = session_pipeline(stranger);
    EXPECT_EQ(run(any, open_server).responder, Status());
}

// Malformed hellos are the fuzz target's (session_handshake) seeds.
TEST(Session, PipelinesThatCannotHoldASessionAreRefused)
{
    Identity own;
    Status status;
    Pipeline none;
    EXPECT_FALSE(detail::SessionHandshake::create(none, true, &status));
    EXPECT_EQ(status, Status());
    // Not half served by the plain key exchange either.
    Pipeline mixed = session_pipeline(own);
    mixed.append_encoder(std::make_shared<Encryptor>());
    mixed.append_decoder(std::make_shared<Decryptor>());
    EXPECT_FALSE(detail::handshake_for(mixed, true, &status));
    EXPECT_EQ(status.code(), Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED);
    Pipeline lonely;
    lonely.append_encoder(std::make_shared<SessionEncryptor>(own.public_key, own.secret_key));
    EXPECT_FALSE(detail::SessionHandshake::create(lonely, true, &status));
    EXPECT_EQ(status.code(), Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED);
}

// Replayed, reordered, dropped or flipped frames fail, and the channel stays
// failed; refusals for size do not use up a counter value; the counter never
// wraps.
TEST(Session, FramesOutOfPlaceFailForGoodAndTheCounterOnlyMovesOnSealing)
{
    Identity a, b;
    const Message m = random_message(100);
    for (int fault = 0; fault < 4; ++fault) {
        Pipeline sender = session_pipeline(a), receiver = session_pipeline(b);
        ASSERT_EQ(run(sender, receiver).initiator, Status());
        Message first = encode(sender, m), second = encode(sender, m);
        Status status;
        Message opened;
        if (fault == 0) { // replay
            ASSERT_FALSE(receiver.decode(first, &status).null());
            opened = receiver.decode(first, &status);
        } else if (fault == 1 || fault == 2) { // reorder, drop
            opened = receiver.decode(second, &status);
        } else { // flip
            static_cast<unsigned char*>(first.buffer())[50] ^= 0x01;
            opened = receiver.decode(first, &status);
        }
        EXPECT_TRUE(opened.null()) << fault;
        EXPECT_EQ(status, CANNOT_OPEN) << fault;
        EXPECT_TRUE(receiver.decode(first, &status).null()) << fault;
    }

    Pipeline sender = session_pipeline(a), receiver = session_pipeline(b);
    ASSERT_EQ(run(sender, receiver).initiator, Status());
    Status status;
    EXPECT_TRUE(encode(sender, filled_message(5242880 - 15, 1), &status).null());
    EXPECT_EQ(status.code(), Status::TRANSPORT_STATUS_MSG_TOO_LARGE);
    const Message largest = filled_message(5242880 - 16, 2);
    EXPECT_TRUE(same_bytes(receiver.decode(encode(sender, largest), &status), largest));

    detail::SessionChannel channel;
    unsigned char key[32] = {7};
    channel.install(key, std::numeric_limits<std::uint64_t>::max() - 1);
    EXPECT_FALSE(channel.seal(m, &status).null());
    EXPECT_TRUE(channel.seal(m, &status).null());
    EXPECT_EQ(status, encode_error("Session counter exhausted"));
}

TEST(Session, KeyFilesKeepTheSecretPrivateAndRefuseMalformedContents)
{
    char directory[] = "/tmp/korvane-keys-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string base = std::string(directory) + "/node";
    Identity identity;
    namespace kf = crypto::KeyFile;
    ASSERT_EQ(kf::write_key_pair(base, identity.public_key, identity.secret_key), Status());
    struct stat info;
    ASSERT_EQ(::stat((base + ".key").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(kf::write_key_pair(base, identity.public_key, identity.secret_key).code(),
              Status::TRANSPORT_STATUS_INVALID_ARGUMENT);

    xs::xsalsa20_asymmetric_public_key_t public_key, pinned;
    xs::xsalsa20_asymmetric_secret_key_t secret_key;
    ASSERT_EQ(kf::read_key_pair(base + ".key", public_key, secret_key), Status());
    ASSERT_EQ(kf::read_public_key(base + ".pub", pinned), Status());
    EXPECT_EQ(std::memcmp(public_key, identity.public_key, 32), 0);
    EXPECT_EQ(std::memcmp(secret_key, identity.secret_key, 32), 0);
    EXPECT_EQ(std::memcmp(pinned, identity.public_key, 32), 0);
    EXPECT_NE(kf::read_key_pair(base + ".pub", public_key, secret_key), Status()); // a public file is no secret

    ASSERT_EQ(::chmod((base + ".key").c_str(), 0640), 0);
    EXPECT_EQ(kf::read_key_pair(base + ".key", public_key, secret_key).code(), Status::TRANSPORT_STATUS_ACCESS_DENIED);

    std::ifstream in(base + ".pub");
    const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string bad[] = {"", good.substr(0, good.size() - 2) + "\n", good.substr(0, good.size() - 1),
                               good + "\n", std::string(good).replace(good.size() - 3, 1, "g"),
                               "korvane x25519 public key v2" + good.substr(good.find('\n'))};
    for (const std::string& contents : bad) {
        std::ofstream(base + ".bad", std::ios::trunc) << contents;
        EXPECT_EQ(kf::read_public_key(base + ".bad", pinned),
                  Status(Status::TRANSPORT_STATUS_INVALID_ARGUMENT, "Malformed key file: " + base + ".bad"));
    }
    EXPECT_EQ(std::memcmp(pinned, identity.public_key, 32), 0);
    ASSERT_EQ(kf::write_key_pair(base, identity.public_key, identity.secret_key, true), Status());
    ASSERT_EQ(::stat((base + ".key").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    for (const char* suffix : {".key", ".pub", ".bad"}) {
        ::unlink((base + suffix).c_str());
    }
    ::rmdir(directory);
}
