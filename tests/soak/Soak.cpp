// korvane-soak: a bounded load test. Many BasicSockets over TCP on loopback,
// each compressing and sealing with a key pair of its own, echo messages of
// varied sizes for a fixed time while a few application threads run the
// event loop. Every message names its connection and sequence number and
// carries a body derived from both, so that each end can check it. The run
// fails on a lost, corrupt or reordered message, a failure status, resident
// memory that keeps growing after the warm-up, or an unclean shutdown; built
// with AddressSanitizer, LeakSanitizer checks the exit as well.
//
// Settings come from the environment: SOAK_SECONDS (60, at least 10),
// SOAK_CONNECTIONS (64), SOAK_THREADS (4 loop threads), SOAK_WINDOW (4
// messages in flight per connection), SOAK_WARMUP (a quarter of the run, at
// least 5 s, at most half).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "message/Message.hpp"
#include "pipeline/decoder/Decompressor.hpp"
#include "pipeline/decoder/Decryptor.hpp"
#include "pipeline/encoder/Compressor.hpp"
#include "pipeline/encoder/Encryptor.hpp"
#include "socket/BasicSocket.hpp"
#include "support/Loopback.hpp"
#include "transport/TCPTransport.hpp"
#include "util/Endianness.hpp"
#include "util/XSalsa20.hpp"

namespace korvane {
namespace soak {

using Clock = std::chrono::steady_clock;
using Status = Transport::StatusCode;
using testing::CountDown;

// ------------------------------------------------------------------ settings

struct Settings {
    int seconds = 60;
    int connections = 64;
    int threads = 4;
    int window = 4;
    int warmup = 0;
};

int setting(const char* name, int fallback, int min, int max)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < min || value > max) {
        std::fprintf(stderr, "korvane-soak: %s must be a whole number from %d to %d\n", name, min, max);
        std::exit(2);
    }
    return static_cast<int>(value);
}

Settings read_settings()
{
    Settings s;
    // Shorter runs leave too few memory samples to judge the trend.
    s.seconds = setting("SOAK_SECONDS", s.seconds, 10, 86400);
    s.connections = setting("SOAK_CONNECTIONS", s.connections, 1, 1000);
    // The key exchange of each connect and accept blocks a loop thread.
    s.threads = setting("SOAK_THREADS", s.threads, 2, 64);
    s.window = setting("SOAK_WINDOW", s.window, 1, 64);
    s.warmup = setting("SOAK_WARMUP", std::max(5, s.seconds / 4), 0, s.seconds / 2);
    return s;
}

// ------------------------------------------------------------------ messages

// A message: magic, connection (big-endian 32), sequence number (big-endian
// 64), then a body whose size and content follow from those two. Bodies are
// random, long runs or a repeated block, so that compression both shrinks
// and grows them; most are small, a few reach 1 MiB.
constexpr korvane_buf_len_t HEADER = 16;
constexpr std::uint32_t MAGIC = 0x4b53514b;

std::uint64_t mix(std::uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::uint64_t key_of(std::uint32_t connection, std::uint64_t seq)
{
    return mix((static_cast<std::uint64_t>(connection) << 40) ^ seq);
}

korvane_buf_len_t size_of(std::uint64_t key)
{
    const std::uint64_t pick = key % 100;
    const std::uint64_t spread = key >> 8;
    if (pick < 70) return HEADER + static_cast<korvane_buf_len_t>(spread % 1009);
    if (pick < 95) return 1025 + static_cast<korvane_buf_len_t>(spread % 65536);
    return 65537 + static_cast<korvane_buf_len_t>(spread % (1048576 - 65536));
}

void fill_body(unsigned char* body, std::size_t length, std::uint64_t key)
{
    std::uint64_t state = key;
    switch ((key >> 40) % 3) {
    case 0: // random: grows under compression
        for (std::size_t i = 0; i < length; ++i) {
            if (i % 8 == 0) state = mix(state);
            body[i] = static_cast<unsigned char>(state >> (8 * (i % 8)));
        }
        break;
    case 1: // runs of one byte
        for (std::size_t i = 0; i < length;) {
            state = mix(state);
            const std::size_t run = std::min<std::size_t>(length - i, 1 + state % 200);
            std::memset(body + i, static_cast<int>(state >> 32), run);
            i += run;
        }
        break;
    default: // one 61-byte block over and over
        for (std::size_t i = 0; i < length; ++i) {
            body[i] = static_cast<unsigned char>(mix(key + i % 61));
        }
        break;
    }
}

Message make_message(std::uint32_t connection, std::uint64_t seq)
{
    const std::uint64_t key = key_of(connection, seq);
    Message message(size_of(key));
    auto* bytes = static_cast<unsigned char*>(message.buffer());
    endian::store_big32(bytes, MAGIC);
    endian::store_big32(bytes + 4, connection);
    endian::store_big64(bytes + 8, seq);
    fill_body(bytes + HEADER, static_cast<std::size_t>(message.length() - HEADER), key);
    return message;
}

/// Empty when `message` is exactly message `seq` of `connection`.
std::string check_message(const Message& message, std::uint32_t connection, std::uint64_t seq)
{
    const std::string which = "message " + std::to_string(seq) + " of connection " + std::to_string(connection);
    if (message.null() || message.length() < HEADER) {
        return which + ": short message";
    }
    const auto* bytes = static_cast<const unsigned char*>(message.buffer());
    if (endian::load_big32(bytes) != MAGIC || endian::load_big32(bytes + 4) != connection) {
        return which + ": foreign header";
    }
    if (endian::load_big64(bytes + 8) != seq) {
        return which + ": got sequence number " + std::to_string(endian::load_big64(bytes + 8)) + " instead";
    }
    const std::uint64_t key = key_of(connection, seq);
    if (message.length() != size_of(key)) {
        return which + ": " + std::to_string(message.length()) + " bytes, expected " + std::to_string(size_of(key));
    }
    thread_local std::vector<unsigned char> expected;
    expected.resize(static_cast<std::size_t>(message.length() - HEADER));
    fill_body(expected.data(), expected.size(), key);
    if (std::memcmp(bytes + HEADER, expected.data(), expected.size()) != 0) {
        return which + ": body differs";
    }
    return std::string();
}

// ------------------------------------------------------------------ tallies

struct Tally {
    std::atomic<long long> sent{0};
    std::atomic<long long> received{0};
    std::atomic<long long> bytes{0};
    std::atomic<long long> corrupt_out{0}; // seen wrong by the echoing end
    std::atomic<long long> corrupt_back{0};
    std::atomic<long long> failures{0};

    void failure(const std::string& what)
    {
        if (++failures <= 10) std::fprintf(stderr, "korvane-soak: %s\n", what.c_str());
    }
    void corrupt(std::atomic<long long>& counter, const std::string& what)
    {
        ++counter;
        if (corrupt_out + corrupt_back <= 10) std::fprintf(stderr, "korvane-soak: corrupt %s\n", what.c_str());
    }
};

std::string describe(const Status& status)
{
    return "status " + std::to_string(status.code()) + " \"" + status.message() + "\"";
}

bool failed(const Status& status)
{
    return status.code() < 0;
}

/// The stages every socket gets: compression, then sealing with a fresh key
/// pair (replaced by the peer's public key in the exchange).
void add_stages(Pipeline& pipeline)
{
    crypto::XSalsa20::xsalsa20_asymmetric_public_key_t pk;
    crypto::XSalsa20::xsalsa20_asymmetric_secret_key_t sk;
    crypto::XSalsa20::key_pair(pk, sk);
    pipeline.append_encoder(std::make_shared<Compressor>());
    pipeline.append_encoder(std::make_shared<Encryptor>(pk, sk));
    pipeline.append_decoder(std::make_shared<Decryptor>(pk, sk));
    pipeline.append_decoder(std::make_shared<Decompressor>());
    crypto::XSalsa20::wipe(sk, sizeof sk);
}

// ------------------------------------------------------------------ client

// Sends numbered messages, at most `window` unanswered, and checks every
// echo. One send and one receive are outstanding at most; the lock only
// guards the bookkeeping and is never held across a socket call.
class Client {
public:
    Client(std::uint32_t id, int window, Tally& tally, CountDown& drained, CountDown& ended)
        : m_id(id), m_window(window), m_tally(tally), m_drained(drained), m_ended(ended),
          m_socket(BasicSocket::create(std::make_unique<TCPTransport>()))
    {
        add_stages(m_socket->pipeline());
    }

    SocketImpl& socket() { return *m_socket; }

    /// Arms the receive and fills the window. Call once, after connecting.
    void start()
    {
        arm_receive();
        send_next();
    }

    /// No new message from now on; the client counts as drained once every
    /// echo is in.
    void stop_sending()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_stopping = true;
        settle(lock);
    }

    /// Closes the connection; the pending receive then ends.
    Status close()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closing = true;
        }
        return m_socket->close();
    }

    long long in_flight()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_in_flight;
    }

private:
    void send_next()
    {
        std::uint64_t seq;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_sending || m_stopping || m_broken || m_in_flight >= m_window) return;
            m_sending = true;
            ++m_in_flight;
            seq = m_next_send++;
        }
        ++m_tally.sent;
        m_socket->send(make_message(m_id, seq), [this](SocketImpl&, Status status) { on_sent(status); });
    }

    void on_sent(const Status& status)
    {
        if (failed(status)) m_tally.failure("client " + std::to_string(m_id) + " send: " + describe(status));
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_sending = false;
            m_broken = m_broken || failed(status);
            settle(lock);
        }
        send_next();
    }

    void arm_receive()
    {
        m_socket->recv([this](SocketImpl&, Message message, Status status) { on_received(std::move(message), status); });
    }

    void on_received(Message message, const Status& status)
    {
        if (message.null()) {
            ended(status);
            return;
        }
        const std::string problem = check_message(message, m_id, m_next_expected++);
        if (!problem.empty()) m_tally.corrupt(m_tally.corrupt_back, problem);
        ++m_tally.received;
        m_tally.bytes += message.length();
        // Re-armed before the drain is announced: the main thread may close
        // the socket as soon as it is.
        arm_receive();
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            --m_in_flight;
            settle(lock);
        }
        send_next();
    }

    void ended(const Status& status)
    {
        bool closing;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            closing = m_closing;
            m_broken = true;
            settle(lock);
        }
        if (!closing) m_tally.failure("client " + std::to_string(m_id) + " receive ended: " + describe(status));
        m_ended.arrive();
    }

    /// Announces the drain once: stopped (or broken) with nothing in flight,
    /// or broken at all, since then nothing more will come.
    void settle(std::unique_lock<std::mutex>&)
    {
        const bool idle = m_stopping && m_in_flight == 0 && !m_sending;
        if (!m_announced && (idle || m_broken)) {
            m_announced = true;
            m_drained.arrive();
        }
    }

    const std::uint32_t m_id;
    const int m_window;
    Tally& m_tally;
    CountDown& m_drained;
    CountDown& m_ended;
    Socket m_socket;

    std::mutex m_mutex;
    std::uint64_t m_next_send = 0;
    std::uint64_t m_next_expected = 0; // receive side only
    long long m_in_flight = 0;
    bool m_sending = false;
    bool m_stopping = false;
    bool m_closing = false;
    bool m_broken = false;
    bool m_announced = false;
};

// ------------------------------------------------------------------ echo

// The accepting end: checks each message on its way out and sends it back,
// queueing while a send is outstanding (the client's window bounds the queue).
class Echo {
public:
    Echo(Socket socket, Tally& tally, CountDown& ended) : m_socket(std::move(socket)), m_tally(tally), m_ended(ended) {}

    void start() { arm_receive(); }

    Status close() { return m_socket->close(); }

    std::size_t queued()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_queue.size() + (m_sending ? 1 : 0);
    }

private:
    void arm_receive()
    {
        m_socket->recv([this](SocketImpl&, Message message, Status status) { on_received(std::move(message), status); });
    }

    void on_received(Message message, const Status& status)
    {
        if (message.null()) {
            // The client closes first: its end of stream is the clean end.
            if (status.code() != Status::TRANSPORT_STATUS_OKAY) {
                m_tally.failure("echo receive ended: " + describe(status));
            }
            m_ended.arrive();
            return;
        }
        check(message);
        bool start_send = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back(std::move(message));
            start_send = !m_sending;
            m_sending = true;
        }
        arm_receive();
        if (start_send) send_next();
    }

    void check(const Message& message)
    {
        if (m_next == 0 && !message.null() && message.length() >= HEADER) {
            m_connection = endian::load_big32(static_cast<const unsigned char*>(message.buffer()) + 4);
        }
        const std::string problem = check_message(message, m_connection, m_next++);
        if (!problem.empty()) m_tally.corrupt(m_tally.corrupt_out, problem);
    }

    /// Sends the queue's front; called only by the one holder of m_sending.
    void send_next()
    {
        Message next;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_queue.empty()) {
                m_sending = false;
                return;
            }
            next = std::move(m_queue.front());
            m_queue.pop_front();
        }
        m_socket->send(std::move(next), [this](SocketImpl&, Status status) {
            if (failed(status)) {
                m_tally.failure("echo send: " + describe(status));
                return; // m_sending stays set: nothing more goes out
            }
            send_next();
        });
    }

    Socket m_socket;
    Tally& m_tally;
    CountDown& m_ended;
    std::uint32_t m_connection = 0; // receive side only
    std::uint64_t m_next = 0;

    std::mutex m_mutex;
    std::deque<Message> m_queue;
    bool m_sending = false;
};

// ------------------------------------------------------------------ memory

struct Sample {
    double seconds;
    long rss_kib;
    long hwm_kib;
};

/// VmRSS and VmHWM of this process, in KiB (0 when unreadable).
Sample read_memory(double seconds)
{
    Sample sample{seconds, 0, 0};
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) sample.rss_kib = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0) sample.hwm_kib = std::atol(line.c_str() + 6);
    }
    return sample;
}

/// Samples the memory four times a second on a thread of its own.
class MemorySampler {
public:
    explicit MemorySampler(Clock::time_point origin) : m_origin(origin), m_thread([this] { run(); }) {}
    ~MemorySampler() { finish(); }

    void finish()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }

    std::vector<Sample> samples()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_samples;
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        do {
            const double now = std::chrono::duration<double>(Clock::now() - m_origin).count();
            m_samples.push_back(read_memory(now));
        } while (!m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_stop; }));
    }

    Clock::time_point m_origin;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::vector<Sample> m_samples;
    std::thread m_thread; // last: starts once the state above exists
};

double mib(long kib)
{
    return static_cast<double>(kib) / 1024.0;
}

/// The highest resident size sampled in [from, to) seconds.
long peak_between(const std::vector<Sample>& samples, double from, double to)
{
    long peak = 0;
    for (const Sample& s : samples) {
        if (s.seconds >= from && s.seconds < to) peak = std::max(peak, s.rss_kib);
    }
    return peak;
}

/// Least-squares slope of the resident size after `from`, in MiB per minute.
double slope_after(const std::vector<Sample>& samples, double from, double to)
{
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const Sample& s : samples) {
        if (s.seconds < from || s.seconds >= to) continue;
        const double y = mib(s.rss_kib);
        n += 1;
        sx += s.seconds;
        sy += y;
        sxx += s.seconds * s.seconds;
        sxy += s.seconds * y;
    }
    const double d = n * sxx - sx * sx;
    return n < 3 || d == 0 ? 0.0 : 60.0 * (n * sxy - sx * sy) / d;
}

// Resident memory must stay flat once warm: the peak of the last quarter of
// the load phase may exceed the peak of the first quarter after the warm-up
// by at most 10% of it plus 16 MiB (allocator and sanitizer caches settle in
// steps). A leak of one message per echo grows by hundreds of MiB a minute.
struct MemoryVerdict {
    long early_kib;
    long late_kib;
    long allowed_kib;
    double slope;
    long hwm_kib;
    bool flat;
};

MemoryVerdict judge_memory(const std::vector<Sample>& samples, double warmup, double load_end)
{
    const double quarter = (load_end - warmup) / 4;
    MemoryVerdict v{};
    v.early_kib = peak_between(samples, warmup, warmup + quarter);
    v.late_kib = peak_between(samples, load_end - quarter, load_end);
    v.allowed_kib = v.early_kib / 10 + 16 * 1024;
    v.slope = slope_after(samples, warmup, load_end);
    for (const Sample& s : samples) v.hwm_kib = std::max(v.hwm_kib, s.hwm_kib);
    v.flat = v.early_kib > 0 && v.late_kib - v.early_kib <= v.allowed_kib;
    return v;
}

// ------------------------------------------------------------------ run

class Run {
public:
    explicit Run(const Settings& settings)
        : m_settings(settings), m_drained(settings.connections), m_client_ended(settings.connections),
          m_echo_ended(settings.connections), m_accepted(settings.connections)
    {
    }

    int execute()
    {
        const Clock::time_point origin = Clock::now();
        MemorySampler memory(origin);
        auto loop = std::make_unique<testing::LoopRunner<TCPTransport>>(m_settings.threads);

        bool ok = open_connections();
        double load_end = 0;
        if (ok) {
            load_end = apply_load(origin);
            ok = load_end > 0;
        }
        const long long lost = ok ? drain() : 0;
        const bool closed = shut_down();
        const bool loop_drained = loop->drain(std::chrono::seconds(10));
        loop.reset();
        memory.finish();

        const MemoryVerdict verdict = judge_memory(memory.samples(), m_load_start + m_settings.warmup, load_end);
        report(lost, verdict, memory.samples(), closed, loop_drained);
        m_clients.clear();
        m_echoes.clear();
        m_listener.reset();
        ok = ok && lost == 0 && m_tally.corrupt_out == 0 && m_tally.corrupt_back == 0 && m_tally.failures == 0 &&
             verdict.flat && closed && loop_drained;
        std::printf("result:                %s\n", ok ? "PASS" : "FAIL");
        return ok ? 0 : 1;
    }

private:
    bool open_connections()
    {
        m_listener = BasicSocket::create(std::make_unique<TCPTransport>());
        add_stages(m_listener->pipeline());
        const std::uint16_t port = testing::free_tcp_port();
        const Status bound = m_listener->bind(port, "127.0.0.1");
        if (failed(bound)) {
            m_tally.failure("bind: " + describe(bound));
            return false;
        }
        accept_next();
        for (int i = 0; i < m_settings.connections; ++i) {
            if (!connect(static_cast<std::uint32_t>(i), port)) return false;
        }
        if (!m_accepted.wait(std::chrono::seconds(30))) {
            m_tally.failure("not every connection was accepted within 30 s");
            return false;
        }
        return true;
    }

    void accept_next()
    {
        m_listener->accept_async([this](SocketImpl&, Socket socket, Status status) {
            if (!socket || failed(status)) {
                m_tally.failure("accept: " + describe(status));
                return; // no more accepts: the run fails at the wait
            }
            auto echo = std::make_unique<Echo>(std::move(socket), m_tally, m_echo_ended);
            Echo& started = *echo;
            bool more;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_echoes.push_back(std::move(echo));
                more = static_cast<int>(m_echoes.size()) < m_settings.connections;
            }
            started.start();
            if (more) accept_next();
            m_accepted.arrive();
        });
    }

    // One asynchronous connect at a time per spare loop thread: each blocks
    // its thread in the key exchange until the accept side has run.
    bool connect(std::uint32_t id, std::uint16_t port)
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_connect_slot.wait_for(lock, std::chrono::seconds(30),
                                         [this] { return m_connecting < m_settings.threads - 1; })) {
                m_tally.failure("connects did not complete within 30 s");
                return false;
            }
            ++m_connecting;
        }
        m_clients.push_back(std::make_unique<Client>(id, m_settings.window, m_tally, m_drained, m_client_ended));
        m_clients.back()->socket().connect("127.0.0.1", port, [this, id](SocketImpl&, Status status) {
            if (failed(status)) m_tally.failure("connect " + std::to_string(id) + ": " + describe(status));
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_connecting;
            if (!failed(status)) ++m_connected;
            m_connect_slot.notify_all();
        });
        return true;
    }

    double apply_load(Clock::time_point origin)
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_connect_slot.wait_for(lock, std::chrono::seconds(30), [this] { return m_connecting == 0; });
            if (m_connected != m_settings.connections) return 0;
        }
        m_load_start = std::chrono::duration<double>(Clock::now() - origin).count();
        for (auto& client : m_clients) client->start();
        const Clock::time_point end = Clock::now() + std::chrono::seconds(m_settings.seconds);
        for (int second = 1; Clock::now() < end; ++second) {
            std::this_thread::sleep_until(std::min(end, Clock::now() + std::chrono::seconds(1)));
            if (second % 10 == 0) {
                const Sample now = read_memory(0);
                std::printf("  %4d s  sent %-10lld received %-10lld rss %.1f MiB\n", second,
                            static_cast<long long>(m_tally.sent), static_cast<long long>(m_tally.received),
                            mib(now.rss_kib));
                std::fflush(stdout);
            }
        }
        for (auto& client : m_clients) client->stop_sending();
        return std::chrono::duration<double>(Clock::now() - origin).count();
    }

    /// Waits for the echoes still in flight; the messages that never came
    /// back are lost.
    long long drain()
    {
        if (!m_drained.wait(std::chrono::seconds(30))) {
            m_tally.failure("echoes still outstanding 30 s after the load stopped");
        }
        long long lost = 0;
        for (auto& client : m_clients) lost += client->in_flight();
        return lost;
    }

    /// Clients close first; each echo end then reads the end of stream and
    /// is closed in turn, then the listener. True when every close reported
    /// success and every receive ended in time.
    bool shut_down()
    {
        bool clean = true;
        for (auto& client : m_clients) clean = !failed(client->close()) && clean;
        if (static_cast<int>(m_clients.size()) == m_settings.connections) {
            clean = m_client_ended.wait(std::chrono::seconds(10)) && clean;
        }
        std::vector<Echo*> echoes;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto& echo : m_echoes) echoes.push_back(echo.get());
        }
        if (static_cast<int>(echoes.size()) == m_settings.connections) {
            clean = m_echo_ended.wait(std::chrono::seconds(10)) && clean;
        }
        for (Echo* echo : echoes) {
            clean = echo->queued() == 0 && clean;
            clean = !failed(echo->close()) && clean;
        }
        if (m_listener) clean = !failed(m_listener->close()) && clean;
        return clean && static_cast<int>(echoes.size()) == m_settings.connections;
    }

    void report(long long lost, const MemoryVerdict& v, const std::vector<Sample>& samples, bool closed,
                bool loop_drained)
    {
        const double load = static_cast<double>(m_settings.seconds);
        const long long corrupt = m_tally.corrupt_out + m_tally.corrupt_back;
        std::printf("messages sent:         %lld\n", static_cast<long long>(m_tally.sent));
        std::printf("messages received:     %lld\n", static_cast<long long>(m_tally.received));
        std::printf("messages lost:         %lld\n", lost);
        std::printf("messages corrupt:      %lld (%lld on the way out, %lld on the way back)\n", corrupt,
                    static_cast<long long>(m_tally.corrupt_out), static_cast<long long>(m_tally.corrupt_back));
        std::printf("failures:              %lld\n", static_cast<long long>(m_tally.failures));
        std::printf("echoed:                %.1f MiB, %.0f messages/s, %.1f MiB/s each way\n",
                    static_cast<double>(m_tally.bytes) / 1048576.0, static_cast<double>(m_tally.received) / load,
                    static_cast<double>(m_tally.bytes) / 1048576.0 / load);
        std::printf("rss after warm-up:     %.1f MiB (peak of the first quarter after %d s of warm-up)\n",
                    mib(v.early_kib), m_settings.warmup);
        std::printf("rss at the end:        %.1f MiB (peak of the last quarter), growth %+.1f MiB, allowed %.1f MiB\n",
                    mib(v.late_kib), mib(v.late_kib - v.early_kib), mib(v.allowed_kib));
        std::printf("rss trend after warm-up: %+.2f MiB/min over %zu samples\n", v.slope, samples.size());
        std::printf("peak rss (VmHWM):      %.1f MiB\n", mib(v.hwm_kib));
        std::printf("shutdown:              %s, loop %s\n", closed ? "every connection closed" : "NOT CLEAN",
                    loop_drained ? "drained" : "had to be stopped");
        std::printf("load phase:            %.1f s from %.1f s\n", load, m_load_start);
    }

    Settings m_settings;
    Tally m_tally;
    CountDown m_drained;
    CountDown m_client_ended;
    CountDown m_echo_ended;
    CountDown m_accepted;

    std::mutex m_mutex; // m_echoes and the connect bookkeeping
    std::condition_variable m_connect_slot;
    int m_connecting = 0;
    int m_connected = 0;
    double m_load_start = 0;

    Socket m_listener;
    std::vector<std::unique_ptr<Client>> m_clients;
    std::vector<std::unique_ptr<Echo>> m_echoes;
};

} // namespace soak
} // namespace korvane

int main()
{
    using namespace korvane::soak;
    if (!korvane::crypto::XSalsa20::init()) {
        std::fprintf(stderr, "korvane-soak: libsodium failed to initialise\n");
        return 1;
    }
    const Settings settings = read_settings();
    std::printf("korvane-soak: %d connections, %d loop threads, window %d, %d s of load, warm-up %d s\n",
                settings.connections, settings.threads, settings.window, settings.seconds, settings.warmup);
    std::fflush(stdout);
    return Run(settings).execute();
}
