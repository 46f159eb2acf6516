// The shared transport conformance suite, run over TCP.
#include "Conformance.hpp"

#include "transport/TCPTransport.hpp"

namespace korvane {
namespace testing {
namespace {

struct TCPTraits : ListeningTraits<TCPTraits> {
    using Loop = LoopRunner<TCPTransport>;
    static constexpr bool asynchronous = true;
    static constexpr Status::transport_status_code_t refused = Status::TRANSPORT_STATUS_CONNECTION_REFUSED;
    static const char* address() { return "127.0.0.1"; }
    static constexpr PortKind ports = PortKind::Tcp;
    static std::unique_ptr<Transport> make_client() { return std::make_unique<TCPTransport>(); }
    static std::unique_ptr<Transport> make_listener() { return std::make_unique<TCPTransport>(); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(TCP, TransportConformance, TCPTraits);

} // namespace
} // namespace testing
} // namespace korvane
