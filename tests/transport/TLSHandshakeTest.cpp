// Who the TLS transport lets in: certificate and host checks of verifying
// clients, the listener's certificate files, and peers that do not speak
// TLS 1.2 with an acceptable cipher.
#include "transport/TLSFixture.hpp"

#include <chrono>
#include <vector>

using namespace korvane;
using namespace korvane::testing;

namespace {

using TLSHandshake = TLSTest;

// The verifying client's result against `listener`, connecting to `host`.
Status verified_connect(TLSTransport& listener, const std::string& host, Transport::port_t port)
{
    BlockingAccept accept(listener);
    TLSTransport client(true);
    const Status status = client.connect(host, port);
    accept.wait();
    return status;
}

TEST_F(TLSHandshake, VerifyingClientTrustsOnlyCertificatesIssuedForTheHost)
{
    {
        auto trusted = listen();
        EXPECT_EQ(verified_connect(*trusted, "localhost", port), Status::TRANSPORT_STATUS_OKAY);
        EXPECT_EQ(verified_connect(*trusted, "127.0.0.1", port), Status::TRANSPORT_STATUS_OKAY);
    }
    for (const char* host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        auto self_signed = listen(pki.self_signed_certificate, pki.self_signed_key);
        const Status untrusted = verified_connect(*self_signed, host, port);
        EXPECT_EQ(untrusted, Status::TRANSPORT_STATUS_UNKNOWN) << untrusted;
        EXPECT_TRUE(starts_with(untrusted.message(), "handshake: ")) << untrusted;
        self_signed.reset();

        // Chains to the trusted authority, but was issued for another host.
        auto elsewhere = listen(pki.other_host_chain, pki.other_host_key);
        const Status wrong_host = verified_connect(*elsewhere, host, port);
        EXPECT_EQ(wrong_host, Status::TRANSPORT_STATUS_UNKNOWN) << wrong_host;
        EXPECT_TRUE(starts_with(wrong_host.message(), "handshake: ")) << wrong_host;
    }
}

TEST_F(TLSHandshake, NonVerifyingClientAcceptsAnyCertificate)
{
    auto listener = listen(pki.self_signed_certificate, pki.self_signed_key);
    BlockingAccept accept(*listener);
    TLSTransport client(false);
    const Status connected = client.connect("127.0.0.1", port);
    EXPECT_EQ(connected, Status::TRANSPORT_STATUS_OKAY) << connected;
    Accepted accepted = accept.wait();
    ASSERT_TRUE(accepted.first) << accepted.second;
    char byte = 'x';
    EXPECT_EQ(1, client.write(&byte, 1, nullptr));
    EXPECT_EQ(1, accepted.first->read(&byte, 1, nullptr, true));
}

TEST_F(TLSHandshake, AsyncVerifyingClientReportsRefusalWithoutStepName)
{
    LoopRunner<TLSTransport> loop;
    auto listener = listen(pki.self_signed_certificate, pki.self_signed_key);
    AsyncAccept accept(*listener);
    TLSTransport client(true);
    Completion<Status> connected;
    client.connect_async("localhost", port, [&](Transport&, Status status) { connected.set(status); });
    const std::optional<Status> status = connected.wait();
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, Status::TRANSPORT_STATUS_UNKNOWN) << *status;
    EXPECT_FALSE(starts_with(status->message(), "handshake")) << *status;
    EXPECT_FALSE(accept.wait().first);
}

TEST_F(TLSHandshake, BindReportsCertificateAndKeyFilesButListens)
{
    TLSTransport bare;
    const Status missing = bind_here(bare);
    EXPECT_EQ(missing, Status::TRANSPORT_STATUS_UNKNOWN) << missing;
    EXPECT_TRUE(starts_with(missing.message(), "use_certificate_chain_file: ")) << missing;
    EXPECT_TRUE(RawSocket::connect(port).valid());

    TLSTransport mismatched(pki.server_chain, pki.other_host_key);
    const Status wrong_key = mismatched.bind(0, "127.0.0.1");
    EXPECT_TRUE(!wrong_key);
    EXPECT_TRUE(starts_with(wrong_key.message(), "use_private_key_file: ")) << wrong_key;
}

TEST_F(TLSHandshake, BlockingAcceptReportsGarbageAsAbortedHandshake)
{
    auto listener = listen();
    BlockingAccept accept(*listener);
    RawSocket plain = RawSocket::connect(port);
    const std::string request = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
    ASSERT_TRUE(plain.send_all(request.data(), request.size()));
    Accepted accepted = accept.wait();
    EXPECT_FALSE(accepted.first);
    EXPECT_EQ(accepted.second, Status::TRANSPORT_STATUS_OPERATION_ABORTED) << accepted.second;
    EXPECT_FALSE(accepted.second.message().empty());
}

TEST_F(TLSHandshake, AsyncAcceptReportsGarbageWithMappedCode)
{
    LoopRunner<TLSTransport> loop;
    auto listener = listen();
    AsyncAccept accept(*listener);
    RawSocket plain = RawSocket::connect(port);
    ASSERT_TRUE(plain.send_all("\x16\x03\x01\x00\x05garbage", 12)); // a handshake record of nonsense
    Accepted accepted = accept.wait();
    EXPECT_FALSE(accepted.first);
    EXPECT_EQ(accepted.second, Status::TRANSPORT_STATUS_UNKNOWN) << accepted.second;
}

// Peers that connect and stall their handshake (silent, or half a
// ClientHello) are queued first, yet an honest client behind them is served
// at once by accept_async and, once their short handshake bound ran out, by
// a blocking accept.
TEST_F(TLSHandshake, StalledHandshakesDoNotHoldBackAnHonestClient)
{
    const unsigned char half_hello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xfc, 0x03, 0x03};
    auto stall = [&](Transport::port_t at) {
        std::vector<RawSocket> peers;
        peers.push_back(RawSocket::connect(at));
        peers.push_back(RawSocket::connect(at));
        EXPECT_TRUE(peers[1].send_all(half_hello, sizeof half_hello));
        return peers;
    };
    LoopRunner<TLSTransport> loop;
    auto listener = listen();
    const auto stalled = stall(port);
    {
        AsyncAccept accept(*listener);
        TLSTransport client;
        const auto begin = std::chrono::steady_clock::now();
        ASSERT_EQ(client.connect("127.0.0.1", port), Status::TRANSPORT_STATUS_OKAY);
        EXPECT_TRUE(accept.wait().first);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, scaled_deadline(1));
    }
    TLSTransport blocking(pki.server_chain, pki.server_key);
    ASSERT_EQ(blocking.bind(0, "127.0.0.1"), Status::TRANSPORT_STATUS_OKAY);
    const Transport::port_t other_port = bound_port(blocking);
    blocking.handshake_timeout(std::chrono::milliseconds(200));
    const auto stalled_too = stall(other_port);
    BlockingAccept accept(blocking);
    TLSTransport client;
    ASSERT_EQ(client.connect("127.0.0.1", other_port), Status::TRANSPORT_STATUS_OKAY);
    Accepted accepted = accept.wait();
    EXPECT_TRUE(accepted.first) << accepted.second;
}

TEST_F(TLSHandshake, OnlyTls12WithAeadCiphersIsNegotiated)
{
    auto listener = listen();
    {
        BlockingAccept accept(*listener);
        RawTlsClient modern(port, TLS1_VERSION, TLS1_3_VERSION);
        ASSERT_TRUE(modern.handshake());
        EXPECT_EQ(TLS1_2_VERSION, modern.version());
        const std::string cipher = modern.cipher();
        EXPECT_TRUE(cipher.find("GCM") != std::string::npos || cipher.find("CHACHA20") != std::string::npos)
            << cipher;
        EXPECT_TRUE(accept.wait().first);
    }
    {
        BlockingAccept accept(*listener);
        RawTlsClient tls13_only(port, TLS1_3_VERSION, TLS1_3_VERSION);
        EXPECT_FALSE(tls13_only.handshake());
        Accepted accepted = accept.wait();
        EXPECT_FALSE(accepted.first);
        EXPECT_EQ(accepted.second, Status::TRANSPORT_STATUS_OPERATION_ABORTED) << accepted.second;
    }
    {
        BlockingAccept accept(*listener);
        RawTlsClient cbc_only(port, TLS1_2_VERSION, TLS1_2_VERSION,
                              "ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA:ECDHE-ECDSA-AES128-SHA256");
        EXPECT_FALSE(cbc_only.handshake());
        EXPECT_FALSE(accept.wait().first);
    }
}

} // namespace
