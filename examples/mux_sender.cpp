// Multiplexed sender: one ordered stream of numbered messages spread over
// several TCP connections to mux_receiver.
// usage: mux_sender PORT CONNECTIONS COUNT
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <korvane.hpp>

#include "Arguments.hpp"

using namespace korvane;
using Status = Transport::StatusCode;

int main(int argc, char** argv)
{
    const char* usage = "mux_sender PORT CONNECTIONS COUNT";
    example::check_arguments(argc, argv, 3, 3, usage);
    const Transport::port_t port = example::port_argument(argv[1], usage);
    const int connections = static_cast<int>(example::number_argument("CONNECTIONS", argv[2], 1, 64, usage));
    const int count = static_cast<int>(example::number_argument("COUNT", argv[3], 1, 100000000, usage));
    std::vector<Socket> underlying;
    for (int i = 0; i < connections; ++i) {
        underlying.push_back(BasicSocket::create(std::make_unique<TCPTransport>()));
    }
    Socket socket = MultiplexedSocket::create(std::move(underlying));
    // Opens every connection and announces the group on each.
    Status status = socket->connect("127.0.0.1", port);
    if (!status) {
        std::fprintf(stderr, "connect: %s\n", status.message().c_str());
        return 1;
    }
    // Frames move on the event loop; blocking send waits for it, so it runs
    // on a thread of its own (never call blocking send on a loop thread).
    std::thread loop([&] { socket->start(); });
    for (int i = 0; i < count && status.code() >= 0; ++i) {
        const std::string text = "message " + std::to_string(i);
        status = socket->send(Message(text.data(), static_cast<korvane_buf_len_t>(text.size())));
    }
    std::printf("sent %d messages over %d connections: %s\n", count, connections,
                status.code() < 0 ? status.message().c_str() : "ok");
    // Wait for the receiver's acknowledgement before closing: a connection
    // that closes wakes a waiting receiver with a null message, even while
    // the last frames are still on their way over the other connections.
    Status acknowledged;
    socket->recv(&acknowledged);
    socket->close(); // aborts the receives still armed; start() then returns
    loop.join();
    return status.code() < 0 ? 1 : 0;
}
