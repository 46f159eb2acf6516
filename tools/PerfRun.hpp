// The measuring engine of korvane-perf (and of the demo tour): a sender that
// numbers every message and a receiver that checks length, content and order
// of each one, over any socket the tools can build.
//
// On the wire, inside ordinary messages: a hello ("korvane-perf 1 mode=M
// size=S", then " check=sequence" when only sequence numbers are checked), the data messages of exactly S bytes, an end message
// ("korvane-perf end count=N"), and the receiver's verdict ("korvane-perf ok
// count=N" or "korvane-perf error ..."), so the sender learns whether
// everything arrived intact. Control messages never have length S.
#pragma once

#include <string>
#include <vector>

#include "ToolSupport.hpp"

namespace korvane {
namespace tools {

enum class Mode { throughput, latency };
// What the receiver checks of each data message: every byte, or only its
// length and 8-byte sequence number (what a raw-socket baseline checks, so
// that ratios against one compare like with like).
enum class Check { full, sequence };

struct PerfOptions {
    Connection connection;
    korvane_buf_len_t size = 1024;
    long long count = 0;  // messages to send; 0 when --seconds is used
    double seconds = 0;   // run time when count is 0
    Mode mode = Mode::throughput;
    Check check = Check::full;
    bool async = false;
    bool progress = false; // progress bar on stderr
};

struct PerfResult {
    std::string role;       // "sender", "receiver" or "loopback"
    Mode mode = Mode::throughput; // a receiver learns both from the sender's hello
    Check check = Check::full;
    long long messages = 0; // data messages delivered and verified (or sent)
    korvane_buf_len_t size = 0;
    double seconds = 0;
    std::vector<double> round_trips_us; // latency mode
    std::string error;      // empty when every message arrived intact

    double messages_per_second() const { return seconds > 0 ? static_cast<double>(messages) / seconds : 0; }
    double mib_per_second() const { return messages_per_second() * static_cast<double>(size) / (1024.0 * 1024.0); }
    double percentile_us(double p) const;
};

/// Both roles in this process over loopback.
PerfResult run_loopback(const PerfOptions& options);
/// --listen: waits for one peer, receives (or echoes) and verifies.
PerfResult run_listener(const PerfOptions& options);
/// --connect: sends (or pings) and reports the receiver's verdict.
PerfResult run_connector(const PerfOptions& options);

} // namespace tools
} // namespace korvane
