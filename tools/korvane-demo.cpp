// korvane-demo: a loopback tour. For each transport (TCP, TLS with a
// certificate made for this run, UDT, and a multiplexed socket of four TCP
// connections) and each pipeline (none, LZ4, LZ4 + public-key boxes) it
// sends 1000 messages, checks every one, times 200 round trips, and prints
// one table. Nothing is written outside a temporary directory.
#include <cstdio>
#include <cstring>

#include "PerfRun.hpp"

using namespace korvane;
using namespace korvane::tools;

namespace {

struct Setup {
    const char* label;
    TransportKind transport;
    int connections;
    int udp_buffer;
};

PerfOptions options_for(const Setup& setup, bool compress, bool encrypt, Mode mode, long long count)
{
    PerfOptions options;
    options.connection.transport = setup.transport;
    options.connection.connections = setup.connections;
    options.connection.udp_buffer = setup.udp_buffer;
    options.connection.compress = compress;
    options.connection.encrypt = encrypt;
    options.size = 1024;
    options.count = count;
    options.mode = mode;
    return options;
}

const char* USAGE = "usage: korvane-demo [--help]\n"
                    "Runs every transport (tcp, tls, udt, tcp x4 multiplexed) with every pipeline\n"
                    "(none, lz4, lz4+box) over loopback: 1000 verified messages of 1 KiB and\n"
                    "200 round trips each, printed as one table. Exit status 1 if any failed.\n";

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (argc > 1) {
        std::fprintf(stderr, "korvane-demo: %s: unknown argument\n%s", argv[1], USAGE);
        return 2;
    }
    if (!crypto::XSalsa20::init()) {
        std::fprintf(stderr, "korvane-demo: libsodium failed to initialise\n");
        return 1;
    }
    const Setup setups[] = {
        {"tcp", TransportKind::tcp, 1, -1},
        {"tls", TransportKind::tls, 1, -1},
        {"udt, 64 KiB buffers", TransportKind::udt, 1, -1},
        {"udt, UDT's buffers", TransportKind::udt, 1, 0},
        {"tcp x4 multiplexed", TransportKind::tcp, 4, -1},
    };
    const struct {
        bool compress, encrypt;
    } pipelines[] = {{false, false}, {true, false}, {true, true}};

    std::printf("1000 messages of 1 KiB each way, every one verified; p50 of 200 round trips\n\n");
    std::printf("%-22s %-9s %12s %10s %14s\n", "transport", "pipeline", "messages/s", "MiB/s", "p50 round trip");
    int failures = 0;
    for (const Setup& setup : setups) {
        for (const auto& p : pipelines) {
            const PerfOptions stream = options_for(setup, p.compress, p.encrypt, Mode::throughput, 1000);
            const PerfResult sent = run_loopback(stream);
            const PerfResult pinged = run_loopback(options_for(setup, p.compress, p.encrypt, Mode::latency, 200));
            const std::string error = !sent.error.empty() ? sent.error : pinged.error;
            std::printf("%-22s %-9s %12.0f %10.1f %11.1f us%s%s\n", setup.label,
                        pipeline_name(stream.connection).c_str(), sent.messages_per_second(), sent.mib_per_second(),
                        pinged.percentile_us(0.5), error.empty() ? "" : "  FAILED: ", error.c_str());
            std::fflush(stdout);
            failures += error.empty() ? 0 : 1;
        }
    }
    if (failures > 0) {
        std::fprintf(stderr, "korvane-demo: %d configuration%s failed\n", failures, failures == 1 ? "" : "s");
        return 1;
    }
    return 0;
}
