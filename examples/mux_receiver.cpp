// Multiplexed receiver: collects one sender's group of connections into a
// multiplexed socket and receives its messages in order, whatever
// connection each one took, then acknowledges them.
// usage: mux_receiver PORT COUNT
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <korvane.hpp>

#include "Arguments.hpp"

using namespace korvane;
using Status = Transport::StatusCode;

int main(int argc, char** argv)
{
    const char* usage = "mux_receiver PORT COUNT";
    example::check_arguments(argc, argv, 2, 2, usage);
    const Transport::port_t port = example::port_argument(argv[1], usage);
    const int count = static_cast<int>(example::number_argument("COUNT", argv[2], 1, 100000000, usage));
    std::vector<Socket> one;
    one.push_back(BasicSocket::create(std::make_unique<TCPTransport>()));
    Socket listener = MultiplexedSocket::create(std::move(one));
    Status status = listener->bind(port, "127.0.0.1");
    if (!status) {
        std::fprintf(stderr, "bind: %s\n", status.message().c_str());
        return 1;
    }
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(port));
    std::fflush(stdout);

    // A multiplexed listener accepts asynchronously: the callback gets the
    // whole group once every connection of it has arrived.
    std::mutex mutex;
    std::condition_variable arrived;
    Socket peer;
    listener->accept_async([&](SocketImpl&, Socket socket, Status) {
        std::lock_guard<std::mutex> lock(mutex);
        peer = std::move(socket);
        arrived.notify_all();
    });
    // start() arms the accept loop and runs the event loop on this thread.
    std::thread loop([&] { listener->start(); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        arrived.wait(lock, [&] { return peer != nullptr; });
    }
    int in_order = 0;
    for (int i = 0; i < count; ++i) {
        const Message message = peer->recv(&status);
        const std::string expected = "message " + std::to_string(i);
        if (!message.null() &&
            std::string(static_cast<const char*>(message.buffer()), static_cast<std::size_t>(message.length())) == expected) {
            ++in_order;
        }
    }
    std::printf("received %d of %d messages in order\n", in_order, count);
    peer->send(Message("done", 4)); // the sender closes only after this
    peer->close();
    listener->close(); // the accept loop stops; start() returns once idle
    loop.join();
    return in_order == count ? 0 : 1;
}
