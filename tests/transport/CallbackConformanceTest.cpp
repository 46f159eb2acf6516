// The shared transport conformance suite, run over two callback transports
// joined by an in-memory pipe.
#include "Conformance.hpp"

#include "support/MemoryPipe.hpp"
#include "transport/CallbackTransport.hpp"

namespace korvane {
namespace testing {
namespace {

struct CallbackTraits {
    using Loop = NoLoop;
    static constexpr bool asynchronous = false;
    static constexpr bool end_fails_all_reads = true;
    static constexpr Status::transport_status_code_t refused = Status::TRANSPORT_STATUS_NOT_CONNECTED;
    static const char* address() { return "memory"; }
    static constexpr PortKind ports = PortKind::Tcp; // unused: no client to connect
    static std::unique_ptr<Transport> make_client() { return nullptr; }

    static ConnectedPair open_pair()
    {
        auto ends = memory_pipe();
        ConnectedPair pair;
        pair.status = ends.first->connect(address(), 0);
        pair.client = std::move(ends.first);
        pair.server = std::move(ends.second);
        return pair;
    }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Callback, TransportConformance, CallbackTraits);

} // namespace
} // namespace testing
} // namespace korvane
