// The shared transport conformance suite, run over UDT on loopback.
#include "Conformance.hpp"

#include "transport/UDTTransport.hpp"

namespace korvane {
namespace testing {
namespace {

struct UDTTraits : ListeningTraits<UDTTraits> {
    using Loop = NoLoop;
    static constexpr bool asynchronous = false;
    // Nobody answers the handshake: the library gives up after its timeout.
    static constexpr Status::transport_status_code_t refused = Status::TRANSPORT_STATUS_HOST_UNREACHABLE;
    static const char* address() { return "127.0.0.1"; }
    static constexpr PortKind ports = PortKind::Udp;
    // The library's own UDP buffer sizes: with the fixed 65536 bytes most
    // loopback packets are dropped and resent, and the suite's large transfer
    // would crawl (UDTTransportTest covers that configuration).
    static std::unique_ptr<Transport> make_client() { return std::make_unique<UDTTransport>(0, 0); }
    static std::unique_ptr<Transport> make_listener() { return std::make_unique<UDTTransport>(0, 0); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(UDT, TransportConformance, UDTTraits);

} // namespace
} // namespace testing
} // namespace korvane
