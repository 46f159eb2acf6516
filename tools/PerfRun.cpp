// Sender, receiver and echo roles of korvane-perf, blocking or asynchronous.
#include "PerfRun.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

namespace korvane {
namespace tools {

using Clock = std::chrono::steady_clock;
using Status = Transport::StatusCode;

namespace {

const std::string HELLO = "korvane-perf 1";
const std::string END = "korvane-perf end count=";
const std::string OK = "korvane-perf ok count=";
const std::string ERROR = "korvane-perf error ";

double since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string text_of(const Message& message)
{
    if (message.null()) return std::string();
    return std::string(static_cast<const char*>(message.buffer()), static_cast<std::size_t>(message.length()));
}

// A control message whose length differs from the data size.
Message control(std::string text, korvane_buf_len_t data_size)
{
    if (static_cast<korvane_buf_len_t>(text.size()) == data_size) text += ' ';
    return Message(text.data(), static_cast<korvane_buf_len_t>(text.size()));
}

// A peer's text, fit for an error message: printable, at most 200 characters.
std::string printable(const std::string& text)
{
    std::string out;
    for (char ch : text.substr(0, 200)) out += (ch >= 0x20 && ch < 0x7f) ? ch : '?';
    return text.size() > 200 ? out + "..." : out;
}

long long number_after(const std::string& text, const std::string& prefix)
{
    return std::strtoll(text.c_str() + prefix.size(), nullptr, 10);
}

// Data message i: its sequence number big-endian in the first 8 bytes (the
// last `size` bytes of it when shorter), then a fixed pattern.
class Payloads {
public:
    explicit Payloads(korvane_buf_len_t size) : m_size(size), m_base(size)
    {
        auto* bytes = static_cast<unsigned char*>(m_base.buffer());
        for (korvane_buf_len_t j = 0; j < size; ++j) bytes[j] = static_cast<unsigned char>(j * 131 + 17);
    }

    // Rewrites `message` (made by make()) into data message `seq`.
    void number(Message& message, long long seq) const
    {
        unsigned char big[8];
        std::memcpy(message.buffer(), head_bytes(seq, big), head());
    }

    Message make(long long seq) const
    {
        Message message(m_base);
        number(message, seq);
        return message;
    }

    // Empty when `message` is exactly data message `seq`; with `sequence_only`
    // when its length and sequence number are right, as the raw baselines check.
    std::string check(const Message& message, long long seq, bool sequence_only) const
    {
        if (message.length() != m_size) {
            return "message " + std::to_string(seq) + " has " + std::to_string(message.length()) + " bytes, expected " +
                   std::to_string(m_size);
        }
        unsigned char big[8];
        if (std::memcmp(message.buffer(), head_bytes(seq, big), head()) != 0) {
            return "message " + std::to_string(seq) + " out of order or lost";
        }
        // Only the full check builds the expected message: a copy of every
        // payload is what the sequence-only mode exists to leave out.
        if (!sequence_only && std::memcmp(message.buffer(), make(seq).buffer(), static_cast<std::size_t>(m_size)) != 0) {
            return "message " + std::to_string(seq) + " corrupted";
        }
        return std::string();
    }

private:
    std::size_t head() const { return static_cast<std::size_t>(std::min<korvane_buf_len_t>(m_size, 8)); }

    // The first head() bytes of data message `seq`, kept in `big`.
    const unsigned char* head_bytes(long long seq, unsigned char (&big)[8]) const
    {
        endian::store_big64(big, static_cast<std::uint64_t>(seq));
        return big + 8 - head();
    }

    korvane_buf_len_t m_size;
    Message m_base;
};

// A one-line progress bar on stderr, shown once a run has taken a second.
class Progress {
public:
    Progress(const PerfOptions& options, const std::atomic<long long>& done)
        : m_options(options), m_done(done), m_start(Clock::now())
    {
        if (options.progress) m_thread = std::thread([this] { loop(); });
    }
    ~Progress()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) m_thread.join();
        if (m_shown) std::fprintf(stderr, "\r%70s\r", "");
    }

private:
    void loop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::milliseconds(200), [this] { return m_stop; })) {
            const double elapsed = since(m_start);
            if (elapsed < 1.0) continue;
            const double fraction = m_options.count > 0 ? static_cast<double>(m_done) / static_cast<double>(m_options.count)
                                                        : elapsed / m_options.seconds;
            const int filled = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 30);
            std::fprintf(stderr, "\r[%s%s] %3d%% %lld messages", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                         std::string(static_cast<std::size_t>(30 - filled), '.').c_str(),
                         static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100), static_cast<long long>(m_done));
            std::fflush(stderr);
            m_shown = true;
        }
    }

    const PerfOptions& m_options;
    const std::atomic<long long>& m_done;
    Clock::time_point m_start;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_shown = false;
    std::thread m_thread;
};

// Keeps up to `window` asynchronous operations of one run outstanding. The
// next one is issued from a loop, never from inside a completion: a
// completion may run on the calling thread (a multiplexed receive finds its
// message already parked), and issuing from there recursed once per message.
// Completions hold the pump through a shared owner. Once the run is over (a
// failure, or nothing left to issue and nothing outstanding) a late completion
// touches nothing of the caller's, and run() returns only when no thread is
// inside the caller's functions any more.
class AsyncPump : public std::enable_shared_from_this<AsyncPump> {
public:
    using Pointer = std::shared_ptr<AsyncPump>;
    // `more`: whether to issue another operation; `issue`: starts one, whose
    // completion calls enter() and, when that says yes, leave().
    static std::string run(int window, std::function<bool()> more, std::function<void(const Pointer&)> issue)
    {
        const Pointer pump(new AsyncPump(window, std::move(more), std::move(issue)));
        std::unique_lock<std::mutex> lock(pump->m_mutex);
        pump->pump(lock);
        pump->m_finished.wait(lock, [&] { return pump->finished(); });
        return pump->m_error;
    }

    // A completion arrived: false when the run is already over, and the
    // completion must return without touching the caller's state.
    bool enter()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_outstanding;
        if (m_over) return false;
        ++m_inside;
        return true;
    }

    // The completion is done with the caller's state; `go_on` false ends the run.
    void leave(bool go_on, const std::string& error = std::string())
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        --m_inside;
        if (!go_on) end(error);
        pump(lock);
    }

private:
    AsyncPump(int window, std::function<bool()> more, std::function<void(const Pointer&)> issue)
        : m_window(window), m_more(std::move(more)), m_issue(std::move(issue))
    {
    }

    void end(const std::string& error)
    {
        if (m_over) return;
        m_over = true;
        m_error = error;
    }

    // Only one thread issues at a time; a completion that runs meanwhile
    // (on this thread or another) leaves the next issue to that thread.
    void pump(std::unique_lock<std::mutex>& lock)
    {
        if (!m_pumping) {
            m_pumping = true;
            while (!m_over && m_outstanding < m_window && m_more()) {
                ++m_outstanding;
                lock.unlock();
                m_issue(shared_from_this());
                lock.lock();
            }
            m_pumping = false;
            if (!m_over && m_outstanding == 0) end(std::string()); // nothing more to issue
        }
        // Waking the waiting caller on every completion would cost the run a
        // context switch per message, which the baselines do not pay.
        if (finished()) m_finished.notify_all();
    }

    bool finished() const { return m_over && m_inside == 0 && !m_pumping; }

    const int m_window;
    const std::function<bool()> m_more;
    const std::function<void(const Pointer&)> m_issue;
    std::mutex m_mutex;
    std::condition_variable m_finished;
    int m_outstanding = 0;
    int m_inside = 0;
    bool m_pumping = false;
    bool m_over = false;
    std::string m_error;
};

bool more_to_send(const PerfOptions& options, long long sent, Clock::time_point start)
{
    return options.count > 0 ? sent < options.count : since(start) < options.seconds;
}

// ------------------------------------------------------------------ sender side

std::string send_blocking(SocketImpl& socket, const PerfOptions& options, const Payloads& payloads,
                          std::atomic<long long>& sent, Clock::time_point start)
{
    Message message = payloads.make(0);
    while (more_to_send(options, sent, start)) {
        payloads.number(message, sent);
        const Status status = socket.send(message);
        if (!status) return "send failed: " + status.message();
        ++sent;
    }
    return std::string();
}

// Sockets queue further sends and write what is queued in one go, so small
// messages keep a deep window outstanding; large ones gain nothing from it,
// and a multiplexed socket refuses sends past its queue's high-water mark.
int async_send_window(const PerfOptions& options)
{
    const int connections = std::max(1, options.connection.connections);
    if (options.size <= 4096) return 64 * connections;
    return connections > 1 ? 2 * connections : 4;
}

std::string send_async(SocketImpl& socket, const PerfOptions& options, const Payloads& payloads,
                       std::atomic<long long>& sent, Clock::time_point start)
{
    const int window = async_send_window(options);
    long long issued = 0; // only the issuing thread touches it
    Message message = payloads.make(0);
    return AsyncPump::run(
        window, [&] { return more_to_send(options, issued, start); },
        [&](const AsyncPump::Pointer& pump) {
            payloads.number(message, issued++);
            socket.send(message, [pump, &sent](SocketImpl&, Status status) {
                if (!pump->enter()) return;
                if (!status) return pump->leave(false, "send failed: " + status.message());
                ++sent;
                pump->leave(true);
            });
        });
}

std::string await_verdict(SocketImpl& socket, long long sent, korvane_buf_len_t size)
{
    if (!socket.send(control(END + std::to_string(sent), size))) return "could not send the end message";
    Status status;
    const std::string verdict = text_of(socket.recv(&status));
    if (verdict.rfind(OK, 0) == 0 && number_after(verdict, OK) == sent) return std::string();
    if (verdict.rfind(ERROR, 0) == 0) return "receiver: " + printable(verdict.substr(ERROR.size()));
    return verdict.empty() ? "no verdict from the receiver: " + status.message() : "unexpected verdict: " + printable(verdict);
}

PerfResult ping(SocketImpl& socket, const PerfOptions& options, const Payloads& payloads)
{
    PerfResult result;
    result.role = "sender";
    result.mode = Mode::latency;
    result.size = options.size;
    std::atomic<long long> sent{0};
    Progress progress(options, sent);
    Message message = payloads.make(0);
    const auto start = Clock::now();
    while (result.error.empty() && more_to_send(options, sent, start)) {
        payloads.number(message, sent);
        const auto before = Clock::now();
        Status status = socket.send(message);
        const Message echo = status.code() < 0 ? Message() : socket.recv(&status);
        if (echo.null()) {
            result.error = "round trip " + std::to_string(sent) + " failed: " + status.message();
            break;
        }
        result.round_trips_us.push_back(since(before) * 1e6);
        result.error = payloads.check(echo, sent, options.check == Check::sequence);
        ++sent;
    }
    result.seconds = since(start);
    result.messages = sent;
    return result;
}

PerfResult send_stream(SocketImpl& socket, const PerfOptions& options, const Payloads& payloads)
{
    PerfResult result;
    result.role = "sender";
    result.size = options.size;
    std::atomic<long long> sent{0};
    const auto start = Clock::now();
    {
        Progress progress(options, sent);
        result.error = options.async ? send_async(socket, options, payloads, sent, start)
                                     : send_blocking(socket, options, payloads, sent, start);
    }
    result.messages = sent;
    if (result.error.empty()) result.error = await_verdict(socket, sent, options.size);
    result.seconds = since(start);
    return result;
}

// ------------------------------------------------------------------ receiver side

// Consumes messages until the end message; `on_data` checks each data message
// and returns an error text to stop early.
struct Receiver {
    Receiver(SocketImpl& socket, korvane_buf_len_t size, const Payloads& payloads, bool echo)
        : socket(socket), size(size), payloads(payloads), echo(echo)
    {
    }

    SocketImpl& socket;
    korvane_buf_len_t size;
    const Payloads& payloads;
    bool echo;
    bool sequence_only = false;
    long long received = 0;
    long long announced = -1;
    std::string error;
    Clock::time_point first;

    // True while more messages are expected.
    bool take(Message message, const Status& status)
    {
        if (message.null()) {
            error = "connection ended after " + std::to_string(received) + " messages" +
                    (status.message().empty() ? "" : ": " + status.message());
            return false;
        }
        if (message.length() != size) {
            const std::string text = text_of(message);
            if (text.rfind(END, 0) == 0) {
                announced = number_after(text, END);
                return false;
            }
            error = "unexpected message of " + std::to_string(message.length()) + " bytes";
            return false;
        }
        if (received == 0) first = Clock::now();
        error = payloads.check(message, received, sequence_only);
        ++received;
        if (echo && error.empty()) {
            const Status sent = echo_back(message);
            if (!sent) error = "echo failed: " + sent.message();
        }
        return error.empty();
    }

    // A blocking reply: one write per frame, and accepted connections set
    // TCP_NODELAY, so no reply waits for a delayed acknowledgement.
    Status echo_back(Message& message) { return socket.send(message); }

    std::string verdict() const
    {
        if (error.empty() && announced != received) {
            return ERROR + "received " + std::to_string(received) + " of " + std::to_string(announced) + " messages";
        }
        return error.empty() ? OK + std::to_string(received) : ERROR + error;
    }
};

void receive_blocking(Receiver& receiver)
{
    Status status;
    while (receiver.take(receiver.socket.recv(&status), status)) {
    }
}

void receive_async(Receiver& receiver)
{
    AsyncPump::run(
        1, [] { return true; },
        [&receiver](const AsyncPump::Pointer& pump) {
            receiver.socket.recv([pump, &receiver](SocketImpl&, Message message, Status status) {
                if (!pump->enter()) return;
                pump->leave(receiver.take(std::move(message), status));
            });
        });
}

PerfResult receive_stream(SocketImpl& socket, const PerfOptions& options)
{
    PerfResult result;
    result.role = "receiver";
    Status status;
    const std::string hello = text_of(socket.recv(&status));
    if (hello.rfind(HELLO, 0) != 0) {
        result.error = hello.empty() ? "no hello from the sender: " + status.message() : "unexpected hello (do both ends use the same --compress/--encrypt?): " + printable(hello);
        return result;
    }
    const bool latency = hello.find("mode=latency") != std::string::npos;
    result.mode = latency ? Mode::latency : Mode::throughput;
    const auto at = hello.find("size=");
    result.size = at == std::string::npos ? 0 : std::strtoll(hello.c_str() + at + 5, nullptr, 10);
    const Payloads payloads(result.size);
    Receiver receiver(socket, result.size, payloads, latency);
    receiver.sequence_only = hello.find(" check=sequence") != std::string::npos;
    result.check = receiver.sequence_only ? Check::sequence : Check::full;
    receiver.first = Clock::now();
    // Echoes are blocking sends, so the latency echo always receives blocking.
    if (options.async && !latency) receive_async(receiver);
    else receive_blocking(receiver);
    result.seconds = since(receiver.first);
    result.messages = receiver.received;
    const std::string verdict = receiver.verdict();
    socket.send(control(verdict, result.size));
    if (verdict.rfind(ERROR, 0) == 0) result.error = verdict.substr(ERROR.size());
    return result;
}

PerfResult run_sender_role(SocketImpl& socket, const PerfOptions& options)
{
    const std::string mode = options.mode == Mode::latency ? "latency" : "throughput";
    const std::string check = options.check == Check::sequence ? " check=sequence" : "";
    const Status status = socket.send(
        control(HELLO + " mode=" + mode + " size=" + std::to_string(options.size) + check, options.size));
    if (!status) {
        PerfResult failed;
        failed.role = "sender";
        failed.error = "hello failed: " + status.message();
        return failed;
    }
    const Payloads payloads(options.size);
    PerfResult result = options.mode == Mode::throughput ? send_stream(socket, options, payloads)
                                                         : ping(socket, options, payloads);
    result.check = options.check;
    if (options.mode == Mode::throughput) return result;
    const std::string verdict = await_verdict(socket, result.messages, options.size);
    if (result.error.empty()) result.error = verdict;
    return result;
}

// The loop runs asynchronous sends and receives, and multiplexed sockets.
bool needs_loop(const PerfOptions& options)
{
    if (options.connection.transport == TransportKind::udt) return false;
    return options.async || options.connection.connections > 1;
}

Socket connect_socket(const Connection& c, const std::string& host, std::uint16_t port, std::string& error)
{
    Socket socket = make_socket(c, false);
    const Status status = socket->connect(host, port);
    if (!status) {
        error = "connect to " + host + ":" + std::to_string(port) + " failed: " + status.message();
        return Socket();
    }
    return socket;
}

} // namespace

double PerfResult::percentile_us(double p) const
{
    if (round_trips_us.empty()) return 0;
    std::vector<double> sorted = round_trips_us;
    std::sort(sorted.begin(), sorted.end());
    return sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1))];
}

PerfResult run_listener(const PerfOptions& options)
{
    Connection c = options.connection;
    std::unique_ptr<TemporaryCertificate> certificate;
    if (c.transport == TransportKind::tls && c.certificate.empty()) {
        certificate = std::make_unique<TemporaryCertificate>(); // the client must not --verify it
        c.certificate = certificate->certificate();
        c.key = certificate->key();
    }
    // The mode arrives with the sender's hello: keep a loop ready for any.
    LoopThreads loops(c.transport, 2);
    Socket listener = make_socket(c, true);
    Status status = listener->bind(parse_port("--listen", c.listen_port), "*");
    PerfResult result;
    result.role = "receiver";
    if (!status) {
        result.error = "bind failed: " + status.message();
        return result;
    }
    Socket peer = accept_peer(*listener, c, loops, status);
    if (!peer) {
        result.error = "accept failed: " + status.message();
    } else {
        result = receive_stream(*peer, options);
    }
    shut_down(loops, {listener.get(), peer.get()});
    return result;
}

PerfResult run_connector(const PerfOptions& options)
{
    const Connection& c = options.connection;
    LoopThreads loops(c.transport, needs_loop(options) ? 2 : 0);
    PerfResult result;
    result.role = "sender";
    Socket socket = connect_socket(c, c.connect_host, c.connect_port, result.error);
    if (socket) result = run_sender_role(*socket, options);
    shut_down(loops, {socket.get()});
    return result;
}

PerfResult run_loopback(const PerfOptions& options)
{
    Connection c = options.connection;
    std::unique_ptr<TemporaryCertificate> certificate;
    if (c.transport == TransportKind::tls && c.certificate.empty()) {
        certificate = std::make_unique<TemporaryCertificate>();
        c.certificate = certificate->certificate();
        c.key = certificate->key();
    }
    // Two loop threads at least: an asynchronous accept's key exchange blocks one.
    LoopThreads loops(c.transport, needs_loop(options) ? 2 : 0);
    Socket listener = make_socket(c, true);
    PerfResult result;
    result.role = "loopback";
    std::uint16_t port = 0;
    Status status;
    for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
        const std::uint16_t candidate = static_cast<std::uint16_t>(20000 + (::getpid() * 7 + attempt * 7919) % 40000);
        status = listener->bind(candidate, "127.0.0.1");
        if (status.code() >= 0) port = candidate;
    }
    if (port == 0) {
        result.error = "bind failed: " + status.message();
        return result;
    }
    PerfResult received;
    Socket peer; // outlives the loop threads: completions may still refer to it
    std::thread server([&] {
        Status accepted;
        peer = accept_peer(*listener, c, loops, accepted);
        if (!peer) {
            received.error = "accept failed: " + accepted.message();
            return;
        }
        received = receive_stream(*peer, options);
    });
    Socket client = connect_socket(c, "127.0.0.1", port, result.error);
    if (!client) {
        // The server thread waits for a peer that will not come.
        std::fprintf(stderr, "korvane-perf: %s\n", result.error.c_str());
        std::_Exit(1);
    }
    result = run_sender_role(*client, options);
    if (!result.error.empty()) {
        // The receiver waits for an end message that will not come: hang up.
        client->close();
    }
    server.join();
    shut_down(loops, {listener.get(), peer.get(), client.get()});
    result.role = "loopback";
    if (options.mode == Mode::throughput && received.error.empty()) {
        // Report what was delivered and verified, timed at the receiver.
        result.messages = received.messages;
        result.seconds = received.seconds;
    }
    if (result.error.empty()) result.error = received.error;
    return result;
}

} // namespace tools
} // namespace korvane
