// Certificates for TLS tests, made at run time so that nothing committed can
// expire: a test authority, server certificates issued by it or signed by
// themselves, and their keys, as PEM files in a temporary directory that is
// removed when the process exits.
#pragma once

#include <string>

namespace korvane {
namespace testing {

struct TestPki {
    /// The test authority's certificate (the trust anchor of verifying clients).
    std::string ca_certificate;
    /// Issued by the authority for DNS:localhost and IP:127.0.0.1, followed by
    /// the authority's certificate.
    std::string server_chain;
    std::string server_key;
    /// Signed by itself, for DNS:localhost and IP:127.0.0.1.
    std::string self_signed_certificate;
    std::string self_signed_key;
    /// Issued by the authority for another host only (DNS:elsewhere.invalid,
    /// IP:192.0.2.1), followed by the authority's certificate.
    std::string other_host_chain;
    std::string other_host_key;
};

/// The files, made on first use (once per process). Throws std::runtime_error
/// when OpenSSL or the file system fails.
const TestPki& test_pki();

/// Makes the test authority the trust store of TLS clients built from now on,
/// through OpenSSL's SSL_CERT_FILE. Call before any thread that may build a
/// TLS context is running.
void trust_test_ca();

} // namespace testing
} // namespace korvane
