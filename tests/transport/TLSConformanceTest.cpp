// The shared transport conformance suite, run over TLS: a verifying client
// against a listener whose certificate chains to the run-time test authority.
#include "Conformance.hpp"

#include "support/Certificates.hpp"
#include "transport/TLSTransport.hpp"

namespace korvane {
namespace testing {
namespace {

// The trust store is set before the loop threads start building contexts.
struct TrustTestAuthority {
    TrustTestAuthority() { trust_test_ca(); }
};

struct TLSLoop : TrustTestAuthority, LoopRunner<TLSTransport> {
    explicit TLSLoop(int threads) : LoopRunner<TLSTransport>(threads) {}
};

struct TLSTraits : ListeningTraits<TLSTraits> {
    using Loop = TLSLoop;
    static constexpr bool asynchronous = true;
    static constexpr Status::transport_status_code_t refused = Status::TRANSPORT_STATUS_CONNECTION_REFUSED;
    static const char* address() { return "127.0.0.1"; }
    static constexpr PortKind ports = PortKind::Tcp;
    static std::unique_ptr<Transport> make_client() { return std::make_unique<TLSTransport>(true); }
    static std::unique_ptr<Transport> make_listener()
    {
        return std::make_unique<TLSTransport>(test_pki().server_chain, test_pki().server_key);
    }
};

INSTANTIATE_TYPED_TEST_SUITE_P(TLS, TransportConformance, TLSTraits);

} // namespace
} // namespace testing
} // namespace korvane
