// 1 MiB messages over UDT on loopback: the default constructor's 65536-byte
// UDP buffers against the UDT library's own buffer defaults. Each message is
// acknowledged by one byte, so a measurement covers its whole delivery.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "transport/UDTTransport.hpp"

namespace {

using korvane::Transport;
using korvane::UDTTransport;
using korvane::korvane_buf_len_t;

constexpr korvane_buf_len_t MESSAGE_SIZE = 1024 * 1024;

// A UDP port the kernel just handed out for port 0.
Transport::port_t free_udp_port()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool found = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!found) {
        throw std::runtime_error("no free UDP port");
    }
    return ntohs(address.sin_port);
}

std::unique_ptr<UDTTransport> make_transport(bool library_defaults)
{
    return library_defaults ? std::make_unique<UDTTransport>(0, 0) : std::make_unique<UDTTransport>();
}

void BM_UDTMessage1MiB(benchmark::State& state, bool library_defaults)
{
    auto listener = make_transport(library_defaults);
    auto client = make_transport(library_defaults);
    const Transport::port_t port = free_udp_port();
    if (!listener->bind(port, "127.0.0.1") || !client->connect("127.0.0.1", port)) {
        state.SkipWithError("cannot connect over loopback");
        return;
    }
    std::unique_ptr<Transport> server = listener->accept(nullptr);
    if (!server) {
        state.SkipWithError("accept failed");
        return;
    }

    // The receiver acknowledges every whole message until the stream ends.
    std::thread receiver([&server] {
        std::vector<char> message(MESSAGE_SIZE);
        char ack = 'k';
        while (server->read(message.data(), MESSAGE_SIZE, nullptr, true) == MESSAGE_SIZE) {
            if (server->write(&ack, 1, nullptr) != 1) {
                break;
            }
        }
    });

    std::vector<char> message(MESSAGE_SIZE, 'm');
    for (auto _ : state) {
        char ack = 0;
        if (client->write(message.data(), MESSAGE_SIZE, nullptr) != MESSAGE_SIZE ||
            client->read(&ack, 1, nullptr, true) != 1) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    client->close();
    receiver.join();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * MESSAGE_SIZE);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// UDT's congestion control needs a moment to settle: warm up before measuring.
BENCHMARK_CAPTURE(BM_UDTMessage1MiB, udp_buffers_65536, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinWarmUpTime(1.0)
    ->MinTime(3.0);
BENCHMARK_CAPTURE(BM_UDTMessage1MiB, udt_library_defaults, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinWarmUpTime(1.0)
    ->MinTime(3.0);

} // namespace

BENCHMARK_MAIN();
