// Asynchronous echo server: accepts connections and sends every message
// back, all from completion handlers on two event-loop threads.
// usage: echo_server PORT [--once]   (--once: exit after the first client leaves)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <korvane.hpp>

#include "Arguments.hpp"

using namespace korvane;
using Status = Transport::StatusCode;

static bool g_once = false;

// Receive one message, send it back, repeat until the client goes away.
static void echo(std::shared_ptr<SocketImpl> client)
{
    client->recv([client](SocketImpl& socket, Message message, Status status) {
        if (message.null()) {
            std::printf("client left (%s)\n", status.message().empty() ? "closed" : status.message().c_str());
            socket.close(); // with --once nothing is left to do: start() returns
            return;
        }
        socket.send(std::move(message), [client](SocketImpl&, Status sent) {
            if (!sent) std::printf("send failed: %s\n", sent.message().c_str());
            else echo(client);
        });
    });
}

static void accept_next(SocketImpl& listener)
{
    listener.accept_async([](SocketImpl& self, Socket accepted, Status status) {
        if (accepted && status.code() >= 0) {
            std::printf("client connected\n");
            echo(std::shared_ptr<SocketImpl>(std::move(accepted)));
        }
        if (!g_once) accept_next(self);
    });
}

int main(int argc, char** argv)
{
    const char* usage = "echo_server PORT [--once]";
    example::check_arguments(argc, argv, 1, 2, usage);
    const Transport::port_t port = example::port_argument(argv[1], usage);
    g_once = example::flag_argument(argc, argv, 2, "--once", usage);
    Socket listener = BasicSocket::create(std::make_unique<TCPTransport>());
    const Status bound = listener->bind(port, "127.0.0.1");
    if (!bound) {
        std::fprintf(stderr, "bind: %s\n", bound.message().c_str());
        return 1;
    }
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(port));
    std::fflush(stdout);
    accept_next(*listener);
    // Handlers run inside start(); two threads, since a handler may block
    // (the key exchange of an encrypting pipeline runs in the accept handler).
    std::vector<std::thread> loop;
    for (int i = 0; i < 2; ++i) loop.emplace_back([&] { listener->start(); });
    for (auto& thread : loop) thread.join();
    return 0;
}
