// Throughput and latency of korvane sockets beside a raw-socket baseline and
// ZeroMQ, all measured in this one run on loopback, printed with their ratio
// to the baseline. The raw baseline uses the same framing (8-byte header,
// then the payload) in two forms: two send() calls per message, which is what
// the blocking framer does, and one writev() per message, which is what the
// asynchronous framer's single contiguous write amounts to.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <sodium.h>
#include <nng/nng.h>
#include <nng/protocol/pipeline0/pull.h>
#include <nng/protocol/pipeline0/push.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ToolSupport.hpp"
#include "korvane.hpp"

using namespace korvane;
using Clock = std::chrono::steady_clock;
using Status = Transport::StatusCode;

namespace {

// ------------------------------------------------------------------ helpers

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "korvane-bench: %s\n", what.c_str());
    std::exit(1);
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint16_t free_port()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fail("no free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

Message pattern(korvane_buf_len_t size)
{
    Message message(size);
    auto* bytes = static_cast<unsigned char*>(message.buffer());
    for (korvane_buf_len_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 31 + 7);
    }
    return message;
}

// Enough messages to move about 256 MiB, within sane bounds for small sizes.
long count_for(korvane_buf_len_t size)
{
    const long by_volume = static_cast<long>((256L << 20) / size);
    return std::clamp(by_volume, 256L, 200000L);
}

struct Rate {
    double messages_per_second = 0;
    double mib_per_second = 0;
};

Rate rate(korvane_buf_len_t size, long count, double seconds)
{
    Rate r;
    r.messages_per_second = static_cast<double>(count) / seconds;
    r.mib_per_second = r.messages_per_second * static_cast<double>(size) / (1024.0 * 1024.0);
    return r;
}

// Best of three runs: loopback figures are noisy, the best is the repeatable one.
Rate best_of(const std::function<Rate()>& run)
{
    Rate best;
    for (int i = 0; i < 3; ++i) {
        const Rate r = run();
        if (r.messages_per_second > best.messages_per_second) best = r;
    }
    return best;
}

double percentile(std::vector<double> samples, double p)
{
    std::sort(samples.begin(), samples.end());
    const std::size_t index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
    return samples[index];
}

// ------------------------------------------------------------------ raw sockets

struct RawPair {
    int client = -1;
    int server = -1;
    ~RawPair()
    {
        if (client >= 0) ::close(client);
        if (server >= 0) ::close(server);
    }
};

// The client gets the options the TCP transport gives a connecting socket.
RawPair raw_pair()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fail("raw listener");
    }
    RawPair pair;
    pair.client = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1, eight_mib = 8 << 20;
    ::setsockopt(pair.client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(pair.client, SOL_SOCKET, SO_SNDBUF, &eight_mib, sizeof eight_mib);
    ::setsockopt(pair.client, SOL_SOCKET, SO_RCVBUF, &eight_mib, sizeof eight_mib);
    if (::connect(pair.client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("raw connect");
    pair.server = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    if (pair.server < 0) fail("raw accept");
    return pair;
}

void send_all(int fd, const void* data, std::size_t length)
{
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n <= 0) fail("raw send");
        p += n;
        length -= static_cast<std::size_t>(n);
    }
}

void recv_all(int fd, void* data, std::size_t length)
{
    char* p = static_cast<char*>(data);
    while (length > 0) {
        const ssize_t n = ::recv(fd, p, length, MSG_WAITALL);
        if (n <= 0) fail("raw recv");
        p += n;
        length -= static_cast<std::size_t>(n);
    }
}

void raw_send_frame(int fd, const Message& payload, bool use_writev)
{
    unsigned char header[8] = {};
    endian::store_big32(header + 4, static_cast<std::uint32_t>(payload.length()));
    if (!use_writev) {
        send_all(fd, header, sizeof header);
        send_all(fd, payload.buffer(), static_cast<std::size_t>(payload.length()));
        return;
    }
    iovec parts[2] = {{header, sizeof header}, {const_cast<void*>(payload.buffer()), static_cast<std::size_t>(payload.length())}};
    std::size_t left = sizeof header + static_cast<std::size_t>(payload.length());
    int index = 0;
    while (left > 0) {
        const ssize_t n = ::writev(fd, parts + index, 2 - index);
        if (n <= 0) fail("raw writev");
        left -= static_cast<std::size_t>(n);
        std::size_t consumed = static_cast<std::size_t>(n);
        while (index < 2 && consumed >= parts[index].iov_len) {
            consumed -= parts[index].iov_len;
            ++index;
        }
        if (index < 2) {
            parts[index].iov_base = static_cast<char*>(parts[index].iov_base) + consumed;
            parts[index].iov_len -= consumed;
        }
    }
}

// The receiver reads each payload into a fresh Message, as the framer does.
Message raw_recv_frame(int fd)
{
    unsigned char header[8];
    recv_all(fd, header, sizeof header);
    Message payload(static_cast<korvane_buf_len_t>(endian::load_big32(header + 4)));
    recv_all(fd, payload.buffer(), static_cast<std::size_t>(payload.length()));
    return payload;
}

Rate raw_throughput(korvane_buf_len_t size, long count, bool use_writev)
{
    RawPair pair = raw_pair();
    const Message payload = pattern(size);
    const auto start = Clock::now();
    std::thread receiver([&] {
        for (long i = 0; i < count; ++i) {
            if (raw_recv_frame(pair.server).length() != size) fail("raw: wrong length");
        }
    });
    for (long i = 0; i < count; ++i) raw_send_frame(pair.client, payload, use_writev);
    receiver.join();
    return rate(size, count, seconds_since(start));
}

std::vector<double> raw_round_trips(int iterations)
{
    RawPair pair = raw_pair();
    const Message ping = pattern(64);
    // The echo answers with one write per frame, as korvane's does.
    std::thread echo([&] {
        for (int i = 0; i < iterations; ++i) raw_send_frame(pair.server, raw_recv_frame(pair.server), true);
    });
    std::vector<double> samples;
    for (int i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        raw_send_frame(pair.client, ping, false);
        raw_recv_frame(pair.client);
        samples.push_back(seconds_since(start) * 1e6);
    }
    echo.join();
    return samples;
}

// ------------------------------------------------------------------ korvane

enum class Stages { none, encrypt };

struct KeyPair {
    crypto::XSalsa20::xsalsa20_asymmetric_public_key_t pk;
    crypto::XSalsa20::xsalsa20_asymmetric_secret_key_t sk;
    KeyPair() { crypto::XSalsa20::key_pair(pk, sk); }
};

void configure(SocketImpl& socket, Stages stages)
{
    if (stages == Stages::encrypt) {
        KeyPair keys;
        socket.pipeline().append_encoder(std::make_shared<Encryptor>(keys.pk, keys.sk));
        socket.pipeline().append_decoder(std::make_shared<Decryptor>(keys.pk, keys.sk));
    }
}

struct KorvanePair {
    Socket listener;
    Socket client;
    Socket server;
};

// Blocking accept in a thread, blocking connect here: both key exchanges run
// on application threads, so no loop thread is needed to set up.
KorvanePair korvane_pair(Stages stages)
{
    KorvanePair pair;
    pair.listener = BasicSocket::create(std::make_unique<TCPTransport>());
    configure(*pair.listener, stages);
    const std::uint16_t port = free_port();
    Status status = pair.listener->bind(port, "127.0.0.1");
    if (!status) fail("bind: " + status.message());
    std::thread acceptor([&] {
        Status accepted;
        pair.server = pair.listener->accept(&accepted);
        if (!pair.server) fail("accept: " + accepted.message());
    });
    pair.client = BasicSocket::create(std::make_unique<TCPTransport>());
    configure(*pair.client, stages);
    status = pair.client->connect("127.0.0.1", port);
    acceptor.join();
    if (!status) fail("connect: " + status.message());
    return pair;
}

Rate korvane_blocking(korvane_buf_len_t size, long count, Stages stages)
{
    KorvanePair pair = korvane_pair(stages);
    Message payload = pattern(size);
    const auto start = Clock::now();
    std::thread receiver([&] {
        Status status;
        for (long i = 0; i < count; ++i) {
            if (pair.server->recv(&status).length() != size) fail("korvane: lost message: " + status.message());
        }
    });
    for (long i = 0; i < count; ++i) {
        const Status status = pair.client->send(payload);
        if (!status) fail("korvane send: " + status.message());
    }
    receiver.join();
    return rate(size, count, seconds_since(start));
}

// One send and one receive outstanding at a time, each re-armed from its
// completion, on two loop threads.
Rate korvane_async(korvane_buf_len_t size, long count)
{
    KorvanePair pair = korvane_pair(Stages::none);
    Message payload = pattern(size);
    std::atomic<long> sent{0}, received{0};
    std::atomic<bool> failed{false};

    std::function<void()> send_next = [&] {
        pair.client->send(payload, [&](SocketImpl&, Status status) {
            if (!status) failed = true;
            if (++sent < count && !failed) send_next();
        });
    };
    std::function<void()> recv_next = [&] {
        pair.server->recv([&](SocketImpl&, Message message, Status) {
            if (message.length() != size) failed = true;
            if (++received < count && !failed) recv_next();
        });
    };
    const auto start = Clock::now();
    recv_next();
    send_next();
    std::vector<std::thread> loop;
    for (int i = 0; i < 2; ++i) {
        loop.emplace_back([&] {
            while (received < count && !failed) pair.client->start();
        });
    }
    for (auto& thread : loop) thread.join();
    if (failed) fail("korvane async: lost or failed message");
    return rate(size, count, seconds_since(start));
}

// The client sends and receives blocking. The echo replies with an
// asynchronous send, one write per frame: the accepted side keeps Nagle's
// algorithm, so a blocking reply (header and payload written separately)
// would wait for the client's delayed acknowledgement.
std::vector<double> korvane_round_trips(int iterations)
{
    KorvanePair pair = korvane_pair(Stages::none);
    tools::LoopThreads loop(tools::TransportKind::tcp, 1);
    Message ping = pattern(64);
    std::thread echo([&] {
        Status status;
        for (int i = 0; i < iterations; ++i) {
            Message request = pair.server->recv(&status);
            std::promise<void> sent;
            pair.server->send(request, [&sent](SocketImpl&, Status) { sent.set_value(); });
            sent.get_future().wait();
        }
    });
    std::vector<double> samples;
    Status status;
    for (int i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        pair.client->send(ping);
        if (pair.client->recv(&status).length() != 64) fail("korvane round trip lost");
        samples.push_back(seconds_since(start) * 1e6);
    }
    echo.join();
    tools::shut_down(loop, {pair.client.get(), pair.server.get(), pair.listener.get()});
    return samples;
}

// ------------------------------------------------------------------ ZeroMQ

struct ZmqPair {
    void* context = zmq_ctx_new();
    void* a = nullptr;
    void* b = nullptr;
    ZmqPair(int bind_type, int connect_type)
    {
        a = zmq_socket(context, bind_type);
        b = zmq_socket(context, connect_type);
        const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(free_port());
        if (zmq_bind(a, endpoint.c_str()) != 0 || zmq_connect(b, endpoint.c_str()) != 0) fail("zmq set-up");
    }
    ~ZmqPair()
    {
        const int zero = 0;
        zmq_setsockopt(a, ZMQ_LINGER, &zero, sizeof zero);
        zmq_setsockopt(b, ZMQ_LINGER, &zero, sizeof zero);
        zmq_close(a);
        zmq_close(b);
        zmq_ctx_term(context);
    }
};

Rate zmq_throughput(korvane_buf_len_t size, long count)
{
    ZmqPair pair(ZMQ_PULL, ZMQ_PUSH);
    const Message payload = pattern(size);
    const auto start = Clock::now();
    std::thread receiver([&] {
        zmq_msg_t message;
        zmq_msg_init(&message);
        for (long i = 0; i < count; ++i) {
            if (zmq_msg_recv(&message, pair.a, 0) != size) fail("zmq: wrong length");
        }
        zmq_msg_close(&message);
    });
    for (long i = 0; i < count; ++i) {
        if (zmq_send(pair.b, payload.buffer(), static_cast<std::size_t>(size), 0) != size) fail("zmq send");
    }
    receiver.join();
    return rate(size, count, seconds_since(start));
}

std::vector<double> zmq_round_trips(int iterations)
{
    ZmqPair pair(ZMQ_PAIR, ZMQ_PAIR);
    const Message ping = pattern(64);
    std::thread echo([&] {
        char buffer[64];
        for (int i = 0; i < iterations; ++i) {
            zmq_recv(pair.a, buffer, sizeof buffer, 0);
            zmq_send(pair.a, buffer, sizeof buffer, 0);
        }
    });
    std::vector<double> samples;
    char buffer[64];
    for (int i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        zmq_send(pair.b, ping.buffer(), 64, 0);
        if (zmq_recv(pair.b, buffer, sizeof buffer, 0) != 64) fail("zmq round trip lost");
        samples.push_back(seconds_since(start) * 1e6);
    }
    echo.join();
    return samples;
}

// ------------------------------------------------------------------ nng

// PUSH/PULL with 1024-message queues on both sides, near ZeroMQ's default
// high-water mark of 1000, so that neither queues more than the other.
Rate nng_throughput(korvane_buf_len_t size, long count)
{
    nng_socket pull, push;
    const std::string url = "tcp://127.0.0.1:" + std::to_string(free_port());
    if (nng_pull0_open(&pull) != 0 || nng_push0_open(&push) != 0 ||
        nng_socket_set_int(pull, NNG_OPT_RECVBUF, 1024) != 0 || nng_socket_set_int(push, NNG_OPT_SENDBUF, 1024) != 0 ||
        nng_listen(pull, url.c_str(), nullptr, 0) != 0 || nng_dial(push, url.c_str(), nullptr, 0) != 0) {
        fail("nng set-up");
    }
    const Message payload = pattern(size);
    const auto start = Clock::now();
    std::thread receiver([&] {
        for (long i = 0; i < count; ++i) {
            nng_msg* message = nullptr;
            if (nng_recvmsg(pull, &message, 0) != 0 || nng_msg_len(message) != static_cast<std::size_t>(size)) {
                fail("nng: lost message");
            }
            nng_msg_free(message);
        }
    });
    for (long i = 0; i < count; ++i) {
        if (nng_send(push, const_cast<void*>(payload.buffer()), static_cast<std::size_t>(size), 0) != 0) fail("nng send");
    }
    receiver.join();
    const Rate result = rate(size, count, seconds_since(start));
    nng_close(push);
    nng_close(pull);
    return result;
}

// ------------------------------------------------------------------ sealing

// How fast one core seals 64 KiB boxes with a precomputed shared key: the
// ceiling for an encrypted stream.
Rate seal_rate(korvane_buf_len_t size)
{
    KeyPair a, b;
    unsigned char shared[crypto_box_BEFORENMBYTES];
    if (crypto_box_beforenm(shared, b.pk, a.sk) != 0) fail("beforenm");
    const Message plain = pattern(size);
    std::vector<unsigned char> sealed(static_cast<std::size_t>(size) + crypto_box_MACBYTES);
    unsigned char nonce[crypto_box_NONCEBYTES] = {};
    long count = 0;
    const auto start = Clock::now();
    while (seconds_since(start) < 1.0) {
        crypto_box_easy_afternm(sealed.data(), static_cast<const unsigned char*>(plain.buffer()),
                                static_cast<unsigned long long>(size), nonce, shared);
        ++count;
    }
    return rate(size, count, seconds_since(start));
}

// ------------------------------------------------------------------ report

void header()
{
    std::printf("%-34s %9s %12s %10s %8s %8s\n", "workload", "size", "msgs/s", "MiB/s", "/2send", "/writev");
}

void row(const std::string& name, korvane_buf_len_t size, Rate r, Rate two_send, Rate writev)
{
    std::printf("%-34s %9lld %12.0f %10.1f %8.2f %8.2f\n", name.c_str(), static_cast<long long>(size),
                r.messages_per_second, r.mib_per_second, r.mib_per_second / two_send.mib_per_second,
                r.mib_per_second / writev.mib_per_second);
    std::fflush(stdout);
}

void latency_row(const std::string& name, const std::vector<double>& samples, double baseline_p50)
{
    const double p50 = percentile(samples, 0.50);
    std::printf("%-34s %9d %10.1f us p50 %8.1f us p99 %6.2fx raw\n", name.c_str(), 64, p50, percentile(samples, 0.99),
                p50 / baseline_p50);
    std::fflush(stdout);
}

} // namespace

int main()
{
    if (!crypto::XSalsa20::init()) fail("libsodium failed to initialise");
    std::printf("one-way throughput on loopback, best of 3 runs; ratios to the raw baselines of this run\n\n");
    header();
    for (korvane_buf_len_t size : {korvane_buf_len_t(64), korvane_buf_len_t(1024), korvane_buf_len_t(64 * 1024),
                                   korvane_buf_len_t(1024 * 1024)}) {
        const long count = count_for(size);
        const Rate two_send = best_of([&] { return raw_throughput(size, count, false); });
        const Rate writev = best_of([&] { return raw_throughput(size, count, true); });
        row("raw, two send() per message", size, two_send, two_send, writev);
        row("raw, one writev() per message", size, writev, two_send, writev);
        row("korvane TCP, blocking", size, best_of([&] { return korvane_blocking(size, count, Stages::none); }),
            two_send, writev);
        row("korvane TCP, asynchronous", size, best_of([&] { return korvane_async(size, count); }), two_send, writev);
        row("ZeroMQ PUSH/PULL", size, best_of([&] { return zmq_throughput(size, count); }), two_send, writev);
        row("nng PUSH/PULL", size, best_of([&] { return nng_throughput(size, count); }), two_send, writev);
        std::printf("\n");
    }

    const korvane_buf_len_t sealed_size = 64 * 1024;
    const Rate seal = seal_rate(sealed_size);
    const Rate encrypted =
        best_of([&] { return korvane_blocking(sealed_size, count_for(sealed_size) / 4, Stages::encrypt); });
    std::printf("one core sealing 64 KiB boxes (precomputed key): %10.1f MiB/s\n", seal.mib_per_second);
    std::printf("korvane TCP, blocking, encrypted, 64 KiB:       %10.1f MiB/s (%.2f of sealing)\n\n",
                encrypted.mib_per_second, encrypted.mib_per_second / seal.mib_per_second);
    std::fflush(stdout);

    const int iterations = 20000;
    const std::vector<double> raw = raw_round_trips(iterations);
    const double raw_p50 = percentile(raw, 0.50);
    std::printf("64-byte round trips (%d): blocking send and receive, the echo answering with one write\n",
                iterations);
    latency_row("raw, two send() per message", raw, raw_p50);
    latency_row("korvane TCP, blocking", korvane_round_trips(iterations), raw_p50);
    latency_row("ZeroMQ PAIR ping-pong", zmq_round_trips(iterations), raw_p50);
    return 0;
}
