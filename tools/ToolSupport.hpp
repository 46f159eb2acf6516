// What korvane-perf, korvane-cat and korvane-demo share: the command-line
// options for transports and pipelines, building sockets from them, and
// threads that run the transports' event loop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "korvane.hpp"

namespace korvane {
namespace tools {

/// A command-line mistake: the message names the argument; exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class TransportKind { tcp, tls, udt };

/// How to reach the peer and what to put under and into the socket.
struct Connection {
    std::string listen_port;  // --listen PORT (empty: not listening)
    std::string connect_host; // --connect HOST:PORT
    std::uint16_t connect_port = 0;
    TransportKind transport = TransportKind::tcp;
    int connections = 1;
    bool compress = false;
    bool encrypt = false;
    std::string certificate; // TLS listener; generated when empty
    std::string key;
    bool verify = false; // TLS client checks the server's certificate
    int udp_buffer = -1; // UDT: -1 the transport's 64 KiB, 0 the UDT library's default, else bytes
    bool session = false;       // --session: authenticated session stages instead of boxes
    bool session_identity = false; // session_public/secret hold a pair (--identity, or a fresh one)
    crypto::XSalsa20::xsalsa20_asymmetric_public_key_t session_public = {};
    crypto::XSalsa20::xsalsa20_asymmetric_secret_key_t session_secret = {};
    session_peer_keys_t session_peers; // --peer-key FILE, repeatable; empty: any peer

    bool listening() const { return !listen_port.empty(); }
    bool connecting() const { return !connect_host.empty(); }
};

/// Consumes the option at argv[i] (and its value) if it is a connection
/// option; returns false when it is not one. Throws UsageError.
bool parse_connection_option(int argc, char** argv, int& i, Connection& connection);
/// Checks combinations the transports cannot serve. Throws UsageError.
void validate(const Connection& connection, bool asynchronous);
/// Usage lines for the connection options.
const char* connection_usage();

std::uint16_t parse_port(const std::string& option, const std::string& text);
long long parse_number(const std::string& option, const std::string& text, long long min, long long max);

const char* name(TransportKind kind);
std::string pipeline_name(const Connection& connection);

/// A self-signed certificate and key for 127.0.0.1 / localhost in a
/// temporary directory, removed again on destruction.
class TemporaryCertificate {
public:
    TemporaryCertificate();
    ~TemporaryCertificate();
    TemporaryCertificate(const TemporaryCertificate&) = delete;
    TemporaryCertificate& operator=(const TemporaryCertificate&) = delete;
    const std::string& certificate() const { return m_certificate; }
    const std::string& key() const { return m_key; }

private:
    std::string m_directory;
    std::string m_certificate;
    std::string m_key;
};

/// An unconnected socket for `connection`: a basic socket, or for more than
/// one connection a multiplexed socket (one underlying socket when
/// `listener`). Stages: compression, then encryption with a fresh key pair.
Socket make_socket(const Connection& connection, bool listener);

/// Runs the event loop of `kind`'s transport class on `count` threads until
/// drain() or stop(). A work guard keeps the loop (and the threads) waiting
/// while nothing is pending, instead of returning from start().
class LoopThreads {
public:
    LoopThreads(TransportKind kind, int count);
    ~LoopThreads();
    LoopThreads(const LoopThreads&) = delete;
    LoopThreads& operator=(const LoopThreads&) = delete;
    /// Runs `body` on one more thread, joined by stop().
    template <typename F>
    void add(F body)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_running;
        m_threads.emplace_back([this, body = std::move(body)]() mutable {
            body();
            exited();
        });
    }
    /// Lets the threads run the loop until it has no work left (close every
    /// socket first, so that their aborted operations complete), then joins
    /// them; stops the loop outright after `deadline`.
    void drain(std::chrono::milliseconds deadline = std::chrono::seconds(5));
    /// Stops the loop at once and joins the threads. Completions still queued
    /// stay queued: only for the end of the process.
    void stop();

private:
    void exited();
    void join();

    std::unique_ptr<Transport> m_control;
    std::unique_ptr<asio::executor_work_guard<asio::io_service::executor_type>> m_guard;
    std::mutex m_mutex;
    std::condition_variable m_exited;
    int m_running = 0;
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

/// Closes every socket given (null ones are skipped), then drains `loops`.
/// The sockets stay alive until the caller destroys them afterwards.
void shut_down(LoopThreads& loops, std::initializer_list<SocketImpl*> sockets);

/// Blocking accept of one peer: a basic socket, or a whole multiplexed group
/// (the listener's own start() then runs on one more of `loops`' threads).
/// Returns an empty Socket on failure.
Socket accept_peer(SocketImpl& listener, const Connection& connection, LoopThreads& loops,
                   Transport::StatusCode& status);

} // namespace tools
} // namespace korvane
