// korvane-perf: throughput and round-trip latency of korvane sockets, in one
// process over loopback or between two processes (--listen / --connect).
// Every payload is checked; anything lost, corrupt or out of order fails the run.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "PerfRun.hpp"

using namespace korvane;
using namespace korvane::tools;

namespace {

const char* USAGE =
    "usage: korvane-perf [options]\n"
    "Measures message throughput or round-trip latency. Without --listen or\n"
    "--connect both ends run in this process over loopback.\n"
    "%s"
    "  --size BYTES             message size (1 to 5242880, default 1024)\n"
    "  --count N                messages to send (default 10000)\n"
    "  --seconds S              send for S seconds instead of a count\n"
    "  --mode throughput|latency  one-way stream, or ping-pong round trips\n"
    "  --async                  completion handlers instead of blocking calls\n"
    "  --check full|sequence    receiver checks every byte (default), or only each\n"
    "                           message's length and sequence number, as a raw-socket\n"
    "                           baseline does: use it for ratios against raw sockets\n"
    "  --json                   print the result as one JSON object\n"
    "  --help                   this text\n";

void usage(FILE* out)
{
    std::fprintf(out, USAGE, connection_usage());
}

struct Arguments {
    PerfOptions perf;
    bool json = false;
    bool help = false;
};

Arguments parse(int argc, char** argv)
{
    Arguments args;
    bool have_count = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw UsageError(option + ": missing value");
            return argv[++i];
        };
        if (parse_connection_option(argc, argv, i, args.perf.connection)) continue;
        if (option == "--size") {
            args.perf.size = parse_number(option, value(), 1, 5242880);
        } else if (option == "--count") {
            args.perf.count = parse_number(option, value(), 1, 1LL << 40);
            have_count = true;
        } else if (option == "--seconds") {
            args.perf.seconds = static_cast<double>(parse_number(option, value(), 1, 86400));
        } else if (option == "--mode") {
            const std::string mode = value();
            if (mode == "throughput") args.perf.mode = Mode::throughput;
            else if (mode == "latency") args.perf.mode = Mode::latency;
            else throw UsageError("--mode: expected throughput or latency, got '" + mode + "'");
        } else if (option == "--check") {
            const std::string check = value();
            if (check == "full") args.perf.check = Check::full;
            else if (check == "sequence") args.perf.check = Check::sequence;
            else throw UsageError("--check: expected full or sequence, got '" + check + "'");
        } else if (option == "--async") {
            args.perf.async = true;
        } else if (option == "--json") {
            args.json = true;
        } else if (option == "--help" || option == "-h") {
            args.help = true;
        } else {
            throw UsageError(option + ": unknown option");
        }
    }
    if (have_count && args.perf.seconds > 0) throw UsageError("--seconds: cannot be combined with --count");
    if (!have_count && args.perf.seconds == 0) args.perf.count = 10000;
    if (args.perf.mode == Mode::latency && args.perf.async) {
        throw UsageError("--async: latency mode measures blocking round trips");
    }
    validate(args.perf.connection, args.perf.async);
    return args;
}

void print_text(const PerfOptions& options, const PerfResult& r)
{
    const Connection& c = options.connection;
    std::printf("%s %s, %d connection%s, pipeline %s, %s, %s\n", r.role.c_str(), name(c.transport), c.connections,
                c.connections == 1 ? "" : "s", pipeline_name(c).c_str(),
                r.mode == Mode::latency ? "latency" : "throughput", options.async ? "asynchronous" : "blocking");
    std::printf("  message size   %lld bytes\n", static_cast<long long>(r.size));
    std::printf("  messages       %lld in %.3f s\n", r.messages, r.seconds);
    std::printf("  messages/s     %.0f\n", r.messages_per_second());
    std::printf("  MiB/s          %.1f\n", r.mib_per_second());
    if (!r.round_trips_us.empty()) {
        std::printf("  round trip     p50 %.1f us, p99 %.1f us, max %.1f us\n", r.percentile_us(0.5),
                    r.percentile_us(0.99), r.percentile_us(1.0));
    }
    const char* verified = r.check == Check::sequence ? "every message's length and sequence number in order"
                                                      : "every message intact and in order";
    std::printf("  verified       %s\n", r.error.empty() ? verified : r.error.c_str());
}

std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\') out += '\\';
        if (static_cast<unsigned char>(ch) < 0x20) continue;
        out += ch;
    }
    return out + "\"";
}

void print_json(const PerfOptions& options, const PerfResult& r)
{
    const Connection& c = options.connection;
    std::printf("{\"role\":%s,\"transport\":%s,\"connections\":%d,\"pipeline\":%s,\"mode\":%s,\"async\":%s,"
                "\"size\":%lld,\"messages\":%lld,\"seconds\":%.6f,\"messages_per_second\":%.1f,"
                "\"mib_per_second\":%.3f",
                json_string(r.role).c_str(), json_string(name(c.transport)).c_str(), c.connections,
                json_string(pipeline_name(c)).c_str(),
                json_string(r.mode == Mode::latency ? "latency" : "throughput").c_str(),
                options.async ? "true" : "false", static_cast<long long>(r.size), r.messages, r.seconds,
                r.messages_per_second(), r.mib_per_second());
    if (!r.round_trips_us.empty()) {
        std::printf(",\"round_trip_us\":{\"p50\":%.3f,\"p99\":%.3f,\"max\":%.3f}", r.percentile_us(0.5),
                    r.percentile_us(0.99), r.percentile_us(1.0));
    }
    std::printf(",\"check\":%s", json_string(r.check == Check::sequence ? "sequence" : "full").c_str());
    std::printf(",\"ok\":%s", r.error.empty() ? "true" : "false");
    if (!r.error.empty()) std::printf(",\"error\":%s", json_string(r.error).c_str());
    std::printf("}\n");
}

} // namespace

int main(int argc, char** argv)
{
    Arguments args;
    try {
        args = parse(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "korvane-perf: %s\n", error.what());
        usage(stderr);
        return 2;
    }
    if (args.help) {
        usage(stdout);
        return 0;
    }
    if (!crypto::XSalsa20::init()) {
        std::fprintf(stderr, "korvane-perf: libsodium failed to initialise\n");
        return 1;
    }
    args.perf.progress = ::isatty(STDERR_FILENO) != 0;
    const Connection& c = args.perf.connection;
    PerfResult result;
    try {
        result = c.listening() ? run_listener(args.perf) : c.connecting() ? run_connector(args.perf) : run_loopback(args.perf);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvane-perf: %s\n", error.what());
        return 1;
    }
    // A run that failed before measuring anything (connect, bind, accept,
    // hello) has no figures to show: only its error.
    const bool measured = result.messages > 0 || result.error.empty();
    if (measured && args.json) print_json(args.perf, result);
    else if (measured) print_text(args.perf, result);
    else if (args.json) std::printf("{\"ok\":false,\"error\":%s}\n", json_string(result.error).c_str());
    if (!result.error.empty()) {
        std::fprintf(stderr, "korvane-perf: %s\n", result.error.c_str());
        return 1;
    }
    return 0;
}
