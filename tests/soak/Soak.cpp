// korvane-soak: a bounded load test. Many BasicSockets over TCP on loopback,
// each compressing and sealing with a key pair of its own, echo messages of
// varied sizes for a fixed time while a few application threads run the
// event loop; now and then one connection is closed and replaced, so that
// what each connection costs is soaked too. Every message names its
// connection and sequence number and carries a body derived from both, so
// that each end can check it. The run fails on a lost, corrupt or reordered
// message, a failure status, resident memory that keeps growing after the
// warm-up, or an unclean shutdown; built with AddressSanitizer, LeakSanitizer
// checks the exit as well.
//
// Settings come from the environment: SOAK_SECONDS (60, at least 10),
// SOAK_CONNECTIONS (64), SOAK_THREADS (4 loop threads), SOAK_WINDOW (4
// messages in flight per connection), SOAK_WARMUP (a quarter of the run, at
// least 5 s, at most half), SOAK_CHURN_MS (250: every so often one client
// drains, closes and is replaced by a new connection; 0 never).
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

// ------------------------------------------------------------------ settings

struct Settings {
    int seconds = 60;
    int connections = 64;
    int threads = 4;
    int window = 4;
    int warmup = 0;
    int churn_ms = 250;
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
    s.churn_ms = setting("SOAK_CHURN_MS", s.churn_ms, 0, 3600000);
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

/// Set once by any thread, awaited with a deadline.
using Signal = testing::Completion<bool>;

// Sends numbered messages, at most `window` unanswered, and checks every
// echo. One send and one receive are outstanding at most; the lock only
// guards the bookkeeping and is never held across a socket call.
class Client {
public:
    Client(std::uint32_t id, int window, Tally& tally)
        : m_id(id), m_window(window), m_tally(tally), m_socket(BasicSocket::create(std::make_unique<TCPTransport>()))
    {
        add_stages(m_socket->pipeline());
    }

    std::uint32_t id() const { return m_id; }
    SocketImpl& socket() { return *m_socket; }

    /// Arms the receive and fills the window. Call once, after connecting.
    void start()
    {
        arm_receive();
        send_next();
    }

    /// No new message from now on; drained() follows once every echo is in.
    void stop_sending()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        settle();
    }

    bool drained(std::chrono::milliseconds deadline) { return m_drained.wait(deadline).has_value(); }

    /// Closes the connection; the pending receive then ends, and ended()
    /// with it. Destroy the client only after that.
    Status close()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closing = true;
        }
        return m_socket->close();
    }

    bool ended(std::chrono::milliseconds deadline) { return m_ended.wait(deadline).has_value(); }

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
        enter();
        if (failed(status)) m_tally.failure("client " + std::to_string(m_id) + " send: " + describe(status));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_sending = false;
            m_broken = m_broken || failed(status);
            settle();
        }
        send_next();
        leave();
    }

    void arm_receive()
    {
        m_socket->recv([this](SocketImpl&, Message message, Status status) { on_received(std::move(message), status); });
    }

    void on_received(Message message, const Status& status)
    {
        enter();
        if (message.null()) {
            on_end(status);
        } else {
            on_echo(message);
        }
        leave();
    }

    void on_echo(const Message& message)
    {
        const std::string problem = check_message(message, m_id, m_next_expected++);
        if (!problem.empty()) m_tally.corrupt(m_tally.corrupt_back, problem);
        ++m_tally.received;
        m_tally.bytes += message.length();
        // Re-armed before the drain can be announced: the socket may be
        // closed as soon as it is.
        arm_receive();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_in_flight;
            settle();
        }
        send_next();
    }

    void on_end(const Status& status)
    {
        bool closing;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            closing = m_closing;
            m_broken = true;
            m_receive_ended = true;
            settle();
        }
        if (!closing) m_tally.failure("client " + std::to_string(m_id) + " receive ended: " + describe(status));
    }

    // Handlers of this client may run on two loop threads at once. The end
    // is announced by the last one to leave once the receive has ended and
    // no send is out, so that nothing touches the client after ended().
    void enter()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_active;
    }

    void leave()
    {
        bool last;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_active;
            last = m_receive_ended && !m_sending && m_active == 0 && !m_end_announced;
            m_end_announced = m_end_announced || last;
        }
        if (last) m_ended.set(true); // the client may be destroyed from here on
    }

    /// Announces the drain once (m_mutex held): stopped with nothing in
    /// flight, or broken, since then nothing more will come.
    void settle()
    {
        const bool idle = m_stopping && m_in_flight == 0 && !m_sending;
        if (!m_announced && (idle || m_broken)) {
            m_announced = true;
            m_drained.set(true);
        }
    }

    const std::uint32_t m_id;
    const int m_window;
    Tally& m_tally;
    Signal m_drained;
    Signal m_ended;
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
    bool m_receive_ended = false;
    bool m_end_announced = false;
    int m_active = 0; // handlers running
};

// ------------------------------------------------------------------ echo

class Echo;

// Owns the accepting ends. Each one retires itself once its client has gone
// and its last echo is out: it is destroyed inside its own completion
// handler, as the socket contract allows.
class Echoes {
public:
    void add(std::unique_ptr<Echo> echo);
    /// Destroys `echo`; called from its own handler, which must not touch it
    /// afterwards.
    void retire(Echo* echo);
    /// True when every echo has retired before the deadline.
    bool wait_empty(std::chrono::milliseconds deadline);
    long long opened();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::unique_ptr<Echo>> m_alive;
    std::size_t m_retiring = 0; // taken out, destructor still running
    long long m_opened = 0;
};

// The accepting end: checks each message on its way out and sends it back,
// queueing while a send is outstanding (the client's window bounds the queue).
class Echo {
public:
    Echo(Socket socket, Tally& tally, Echoes& owner) : m_socket(std::move(socket)), m_tally(tally), m_owner(owner) {}

    void start() { arm_receive(); }

private:
    void arm_receive()
    {
        m_socket->recv([this](SocketImpl&, Message message, Status status) { on_received(std::move(message), status); });
    }

    void on_received(Message message, const Status& status)
    {
        if (message.null()) {
            on_end(status);
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

    /// The client closes first: its end of stream is the clean end.
    void on_end(const Status& status)
    {
        if (status.code() != Status::TRANSPORT_STATUS_OKAY) {
            m_tally.failure("echo receive ended: " + describe(status));
        }
        bool idle;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_receive_ended = true;
            idle = !m_sending;
        }
        if (idle) m_owner.retire(this);
    }

    void check(const Message& message)
    {
        if (m_next == 0 && message.length() >= HEADER) {
            m_connection = endian::load_big32(static_cast<const unsigned char*>(message.buffer()) + 4);
        }
        const std::string problem = check_message(message, m_connection, m_next++);
        if (!problem.empty()) m_tally.corrupt(m_tally.corrupt_out, problem);
    }

    /// Sends the queue's front; called only by the one holder of m_sending.
    void send_next()
    {
        Message next;
        bool retire = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_queue.empty()) {
                m_sending = false;
                retire = m_receive_ended;
            } else {
                next = std::move(m_queue.front());
                m_queue.pop_front();
            }
        }
        if (retire) {
            m_owner.retire(this);
            return;
        }
        if (next.null()) return;
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
    Echoes& m_owner;
    std::uint32_t m_connection = 0; // receive side only
    std::uint64_t m_next = 0;

    std::mutex m_mutex;
    std::deque<Message> m_queue;
    bool m_sending = false;
    bool m_receive_ended = false;
};

void Echoes::add(std::unique_ptr<Echo> echo)
{
    Echo& started = *echo;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_alive.push_back(std::move(echo));
        ++m_opened;
    }
    started.start();
}

void Echoes::retire(Echo* echo)
{
    std::unique_ptr<Echo> leaving;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find_if(m_alive.begin(), m_alive.end(), [echo](const auto& e) { return e.get() == echo; });
        if (it == m_alive.end()) return;
        leaving = std::move(*it);
        m_alive.erase(it);
        ++m_retiring;
    }
    leaving.reset(); // closes the connection
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_retiring;
    m_changed.notify_all();
}

bool Echoes::wait_empty(std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, deadline, [this] { return m_alive.empty() && m_retiring == 0; });
}

long long Echoes::opened()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opened;
}

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
    explicit Run(const Settings& settings) : m_settings(settings) {}

    int execute()
    {
        const Clock::time_point origin = Clock::now();
        MemorySampler memory(origin);
        auto loop = std::make_unique<testing::LoopRunner<TCPTransport>>(m_settings.threads);

        bool ok = open_connections();
        double load_end = 0;
        if (ok) {
            load_end = apply_load(origin);
            finish_load();
        }
        const bool closed = shut_down();
        const bool loop_drained = loop->drain(std::chrono::seconds(10));
        loop.reset();
        memory.finish();

        const MemoryVerdict verdict = judge_memory(memory.samples(), m_load_start + m_settings.warmup, load_end);
        report(verdict, memory.samples().size(), closed, loop_drained);
        m_clients.clear();
        m_graveyard.clear();
        m_listener.reset();
        ok = ok && m_lost == 0 && m_tally.corrupt_out == 0 && m_tally.corrupt_back == 0 && m_tally.failures == 0 &&
             verdict.flat && closed && loop_drained;
        std::printf("result:                %s\n", ok ? "PASS" : "FAIL");
        return ok ? 0 : 1;
    }

private:
    // ---------------------------------------------------------- connecting

    bool open_connections()
    {
        m_listener = BasicSocket::create(std::make_unique<TCPTransport>());
        add_stages(m_listener->pipeline());
        const Status bound = m_listener->bind(0, "127.0.0.1");
        if (failed(bound)) {
            m_tally.failure("bind: " + describe(bound));
            return false;
        }
        m_port = testing::bound_port(*m_listener);
        accept_next();
        for (int i = 0; i < m_settings.connections; ++i) {
            if (!connect_async()) return false;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool settled = m_progress.wait_for(lock, std::chrono::seconds(30), [this] {
            return m_connecting == 0 && m_accepted >= m_connections_made;
        });
        if (!settled || m_connections_made != m_settings.connections) {
            m_tally.failure("not every connection was made and accepted within 30 s");
            return false;
        }
        return true;
    }

    /// Accepts until the listener closes; every accepted connection gets an
    /// echo of its own.
    void accept_next()
    {
        m_listener->accept_async([this](SocketImpl&, Socket socket, Status status) {
            if (!socket) {
                if (!m_listener_closing) m_tally.failure("accept: " + describe(status));
                m_accept_stopped.set(true);
                return;
            }
            if (failed(status)) {
                m_tally.failure("accept: key exchange: " + describe(status));
            } else {
                m_echoes.add(std::make_unique<Echo>(std::move(socket), m_tally, m_echoes));
            }
            accept_next();
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_accepted;
            m_progress.notify_all();
        });
    }

    // One asynchronous connect at a time per spare loop thread: each blocks
    // its thread in the key exchange until the accept side has run.
    bool connect_async()
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_progress.wait_for(lock, std::chrono::seconds(30),
                                     [this] { return m_connecting < m_settings.threads - 1; })) {
                m_tally.failure("connects did not complete within 30 s");
                return false;
            }
            ++m_connecting;
        }
        m_clients.push_back(std::make_unique<Client>(m_next_id++, m_settings.window, m_tally));
        const std::uint32_t id = m_clients.back()->id();
        m_clients.back()->socket().connect("127.0.0.1", m_port, [this, id](SocketImpl&, Status status) {
            if (failed(status)) m_tally.failure("connect " + std::to_string(id) + ": " + describe(status));
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_connecting;
            if (!failed(status)) ++m_connections_made;
            m_progress.notify_all();
        });
        return true;
    }

    // ---------------------------------------------------------- load

    /// Runs the traffic for the set time, replacing one connection every
    /// churn interval; returns when the load stopped (seconds since origin).
    double apply_load(Clock::time_point origin)
    {
        m_load_start = std::chrono::duration<double>(Clock::now() - origin).count();
        for (auto& client : m_clients) client->start();
        const auto churn = std::chrono::milliseconds(m_settings.churn_ms);
        const Clock::time_point end = Clock::now() + std::chrono::seconds(m_settings.seconds);
        Clock::time_point next_churn = Clock::now() + churn;
        Clock::time_point next_report = Clock::now() + std::chrono::seconds(10);
        std::size_t slot = 0;
        while (Clock::now() < end) {
            Clock::time_point wake = std::min(end, next_report);
            if (churn.count() > 0) wake = std::min(wake, next_churn);
            std::this_thread::sleep_until(wake);
            if (churn.count() > 0 && Clock::now() >= next_churn && Clock::now() < end) {
                replace(slot++ % m_clients.size());
                next_churn = std::max(next_churn + churn, Clock::now());
            }
            if (Clock::now() >= next_report) {
                progress(std::chrono::duration<double>(Clock::now() - origin).count() - m_load_start);
                next_report += std::chrono::seconds(10);
            }
        }
        for (auto& client : m_clients) client->stop_sending();
        return std::chrono::duration<double>(Clock::now() - origin).count();
    }

    void progress(double seconds)
    {
        std::printf("  %4.0f s  sent %-10lld received %-10lld connections %-6lld rss %.1f MiB\n", seconds,
                    static_cast<long long>(m_tally.sent), static_cast<long long>(m_tally.received),
                    static_cast<long long>(m_connections_made), mib(read_memory(0).rss_kib));
        std::fflush(stdout);
    }

    /// Takes the client in `slot` out of service (its echoes all home, then
    /// closed) and puts a new one, connected with the blocking call, in its
    /// place.
    void replace(std::size_t slot)
    {
        std::unique_ptr<Client>& client = m_clients[slot];
        client->stop_sending();
        if (!client->drained(std::chrono::seconds(30))) m_tally.failure("a client did not drain within 30 s");
        m_lost += client->in_flight();
        if (!retire(*client)) m_graveyard.push_back(std::move(client));
        client = std::make_unique<Client>(m_next_id++, m_settings.window, m_tally);
        const Status connected = client->socket().connect("127.0.0.1", m_port);
        if (failed(connected)) {
            m_tally.failure("reconnect: " + describe(connected));
        } else {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_connections_made;
        }
        client->start(); // after a failed connect its operations fail at once
    }

    /// Closes a drained client; true once its receive has ended, so that it
    /// may be destroyed.
    bool retire(Client& client)
    {
        const Status closed = client.close();
        if (failed(closed)) m_tally.failure("close: " + describe(closed));
        if (!client.ended(std::chrono::seconds(10))) {
            m_tally.failure("a closed client's receive did not end within 10 s");
            return false;
        }
        return !failed(closed);
    }

    /// Waits for the echoes still in flight; those that never come back are lost.
    void finish_load()
    {
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
        for (auto& client : m_clients) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (!client->drained(std::max(left, std::chrono::milliseconds(0)))) {
                m_tally.failure("echoes still outstanding 30 s after the load stopped");
                break;
            }
        }
        for (auto& client : m_clients) m_lost += client->in_flight();
    }

    // ---------------------------------------------------------- shutdown

    /// Clients close first; each echo then reads the end of the stream and
    /// retires, then the listener closes. True when every close succeeded
    /// and every pending operation ended in time.
    bool shut_down()
    {
        bool clean = true;
        for (auto& client : m_clients) clean = retire(*client) && clean;
        clean = m_echoes.wait_empty(std::chrono::seconds(10)) && clean;
        if (m_listener) {
            {
                // No accept handler may be running when the listener closes.
                std::unique_lock<std::mutex> lock(m_mutex);
                clean = m_progress.wait_for(lock, std::chrono::seconds(10),
                                            [this] { return m_accepted >= m_connections_made; }) &&
                        clean;
            }
            m_listener_closing = true;
            clean = !failed(m_listener->close()) && clean;
            clean = m_accept_stopped.wait(std::chrono::seconds(10)).has_value() && clean;
        }
        return clean && m_graveyard.empty();
    }

    void report(const MemoryVerdict& v, std::size_t samples, bool closed, bool loop_drained)
    {
        const double load = static_cast<double>(m_settings.seconds);
        const long long corrupt = m_tally.corrupt_out + m_tally.corrupt_back;
        std::printf("messages sent:         %lld\n", static_cast<long long>(m_tally.sent));
        std::printf("messages received:     %lld\n", static_cast<long long>(m_tally.received));
        std::printf("messages lost:         %lld\n", static_cast<long long>(m_lost));
        std::printf("messages corrupt:      %lld (%lld on the way out, %lld on the way back)\n", corrupt,
                    static_cast<long long>(m_tally.corrupt_out), static_cast<long long>(m_tally.corrupt_back));
        std::printf("failures:              %lld\n", static_cast<long long>(m_tally.failures));
        std::printf("connections:           %d at a time, %d opened in all, %lld accepted\n", m_settings.connections,
                    m_connections_made, m_echoes.opened());
        std::printf("echoed:                %.1f MiB, %.0f messages/s, %.1f MiB/s each way\n",
                    static_cast<double>(m_tally.bytes) / 1048576.0, static_cast<double>(m_tally.received) / load,
                    static_cast<double>(m_tally.bytes) / 1048576.0 / load);
        std::printf("rss after warm-up:     %.1f MiB (peak of the first quarter after %d s of warm-up)\n",
                    mib(v.early_kib), m_settings.warmup);
        std::printf("rss at the end:        %.1f MiB (peak of the last quarter), growth %+.1f MiB, allowed %.1f MiB\n",
                    mib(v.late_kib), mib(v.late_kib - v.early_kib), mib(v.allowed_kib));
        std::printf("rss trend after warm-up: %+.2f MiB/min over %zu samples\n", v.slope, samples);
        std::printf("peak rss (VmHWM):      %.1f MiB\n", mib(v.hwm_kib));
        std::printf("shutdown:              %s, loop %s\n", closed ? "every connection closed" : "NOT CLEAN",
                    loop_drained ? "drained" : "had to be stopped");
    }

    Settings m_settings;
    Tally m_tally;
    Echoes m_echoes;
    std::atomic<long long> m_lost{0};
    std::atomic<bool> m_listener_closing{false};
    Signal m_accept_stopped;

    std::mutex m_mutex; // the counts below
    std::condition_variable m_progress;
    int m_connecting = 0;
    int m_connections_made = 0;
    long long m_accepted = 0;

    double m_load_start = 0;
    std::uint16_t m_port = 0;
    std::uint32_t m_next_id = 0;
    Socket m_listener;
    std::vector<std::unique_ptr<Client>> m_clients;
    std::vector<std::unique_ptr<Client>> m_graveyard; // closed, receive still pending
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
    std::printf("korvane-soak: %d connections, %d loop threads, window %d, %d s of load, warm-up %d s, "
                "one connection replaced every %d ms\n",
                settings.connections, settings.threads, settings.window, settings.seconds, settings.warmup,
                settings.churn_ms);
    std::fflush(stdout);
    return Run(settings).execute();
}
