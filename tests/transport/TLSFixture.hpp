// Shared pieces of the TLS transport tests: a fixture with the run-time test
// certificates, accepts that cannot outlive their listener, and a bare
// OpenSSL client for what a TLSTransport cannot play (other protocol versions
// and ciphers, a connection dropped without a TLS close).
#pragma once

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "support/Certificates.hpp"
#include "support/Loopback.hpp"
#include "transport/TLSTransport.hpp"

namespace korvane {
namespace testing {

using Status = Transport::StatusCode;
using Accepted = std::pair<std::unique_ptr<Transport>, Status>;

inline bool starts_with(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

/// One blocking accept on a thread of its own. If it has not returned when
/// this goes, the listener is closed, which wakes it.
class BlockingAccept {
public:
    explicit BlockingAccept(Transport& listener)
        : m_listener(listener), m_thread([this] {
              Status status;
              std::unique_ptr<Transport> transport = m_listener.accept(&status);
              m_done.set(Accepted(std::move(transport), status));
          })
    {
    }
    ~BlockingAccept()
    {
        if (!m_done.done()) {
            m_listener.close();
        }
        m_thread.join();
    }
    Accepted wait()
    {
        std::optional<Accepted> accepted = m_done.wait();
        if (!accepted) {
            ADD_FAILURE() << "accept did not return";
            return Accepted();
        }
        return std::move(*accepted);
    }

private:
    Transport& m_listener;
    Completion<Accepted> m_done;
    std::thread m_thread;
};

/// One accept_async. If its handler has not run when this goes, the listener
/// is closed and the aborted completion awaited, so that the handler never
/// meets a destroyed listener. Needs a running TLS loop.
class AsyncAccept {
public:
    explicit AsyncAccept(Transport& listener) : m_listener(listener)
    {
        listener.accept_async([this](Transport&, std::unique_ptr<Transport> transport, Status status) {
            m_done.set(Accepted(std::move(transport), status));
        });
    }
    ~AsyncAccept()
    {
        if (!m_done.done()) {
            m_listener.close();
            m_done.wait();
        }
    }
    Accepted wait()
    {
        std::optional<Accepted> accepted = m_done.wait();
        if (!accepted) {
            ADD_FAILURE() << "accept_async did not complete";
            return Accepted();
        }
        return std::move(*accepted);
    }

private:
    Transport& m_listener;
    Completion<Accepted> m_done;
};

/// An OpenSSL client limited to protocol versions [min_version, max_version]
/// and, when given, to `ciphers` (TLS 1.2 names). It verifies nothing.
class RawTlsClient {
public:
    RawTlsClient(Transport::port_t port, int min_version, int max_version, const char* ciphers = nullptr)
        : m_connection(RawSocket::connect(port)), m_context(SSL_CTX_new(TLS_client_method()))
    {
        SSL_CTX_set_min_proto_version(m_context, min_version);
        SSL_CTX_set_max_proto_version(m_context, max_version);
        if (ciphers != nullptr) {
            SSL_CTX_set_cipher_list(m_context, ciphers);
        }
        m_ssl = SSL_new(m_context);
        SSL_set_fd(m_ssl, m_connection.fd());
    }
    ~RawTlsClient()
    {
        SSL_free(m_ssl);
        SSL_CTX_free(m_context);
    }
    RawTlsClient(const RawTlsClient&) = delete;
    RawTlsClient& operator=(const RawTlsClient&) = delete;

    bool handshake() { return m_connection.valid() && SSL_connect(m_ssl) == 1; }
    int version() const { return SSL_version(m_ssl); }
    std::string cipher() const { return SSL_get_cipher_name(m_ssl); }
    bool write(const std::string& bytes)
    {
        return SSL_write(m_ssl, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
    }
    /// Drops the TCP connection without sending the TLS close alert.
    void drop() { m_connection.close(); }

private:
    RawSocket m_connection;
    SSL_CTX* m_context;
    SSL* m_ssl = nullptr;
};

/// Certificates for every test; the test authority is the trust store of
/// verifying clients. Loop threads belong in the tests, so that they start
/// after the trust store is set.
class TLSTest : public ::testing::Test {
protected:
    TLSTest() { trust_test_ca(); }

    /// Binds `listener` to 127.0.0.1:port; the first listener of a test
    /// takes a port of the kernel's choice, which becomes `port`.
    Status bind_here(Transport& listener)
    {
        const Status bound = listener.bind(port, "127.0.0.1");
        if (port == 0) { // read back even after a failure: bind may still listen
            port = bound_port(listener);
        }
        return bound;
    }

    /// A listener on 127.0.0.1:port presenting `chain` and `key`.
    std::unique_ptr<TLSTransport> listen(const std::string& chain, const std::string& key)
    {
        auto listener = std::make_unique<TLSTransport>(chain, key);
        const Status bound = bind_here(*listener);
        EXPECT_EQ(bound, Status::TRANSPORT_STATUS_OKAY) << bound;
        return listener;
    }
    std::unique_ptr<TLSTransport> listen() { return listen(pki.server_chain, pki.server_key); }

    /// A client verifying against the test authority, connected to a
    /// listener on 127.0.0.1 presenting the authority's server certificate.
    ConnectedPair open_session()
    {
        ConnectedPair session = connect_pair(std::make_unique<TLSTransport>(pki.server_chain, pki.server_key),
                                             std::make_unique<TLSTransport>(true), "127.0.0.1", port);
        EXPECT_TRUE(session) << session.status;
        if (port == 0 && session.listener) {
            port = bound_port(*session.listener);
        }
        return session;
    }

    const TestPki& pki = test_pki();
    /// This test's listening port, once its first listener is bound.
    Transport::port_t port = 0;
};

} // namespace testing
} // namespace korvane
