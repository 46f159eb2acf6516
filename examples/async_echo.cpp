// Asynchronous echo, server and client in one process (the README's example).
// usage: async_echo PORT
#include <korvane.hpp>
#include <cstdio>
#include "Arguments.hpp"  // --help and the PORT check, shared by the examples
using namespace korvane;
using Status = Transport::StatusCode;

// Server side: receive, send back, repeat. A null message ends the stream
// (on a basic socket the peer closed, or `status` says what failed).
void echo(std::shared_ptr<SocketImpl> peer) {
    peer->recv([peer](SocketImpl& self, Message message, Status status) {
        if (message.null()) {
            std::printf("server: stream ended %s\n", status ? "cleanly" : status.message().c_str());
            return;
        }
        self.send(std::move(message), [peer](SocketImpl&, Status sent) { if (sent) echo(peer); });
    });
}

int main(int argc, char** argv) {
    example::check_arguments(argc, argv, 1, 1, "async_echo PORT");
    const Transport::port_t port = example::port_argument(argv[1], "async_echo PORT");
    Socket listener = BasicSocket::create(std::make_unique<TCPTransport>());
    if (!listener->bind(port, "127.0.0.1")) return 1;
    listener->accept_async([](SocketImpl&, Socket peer, Status status) {
        if (status) echo(std::shared_ptr<SocketImpl>(std::move(peer)));
    });
    Socket client = BasicSocket::create(std::make_unique<TCPTransport>());
    client->connect("127.0.0.1", port, [](SocketImpl& self, Status status) {
        if (!status) { std::printf("connect: %s\n", status.message().c_str()); return; }
        self.send(Message("ping", 4), [](SocketImpl& self, Status sent) {
            if (!sent) return;
            self.recv([](SocketImpl& self, Message reply, Status status) {
                if (reply.null()) std::printf("client: %s\n", status.message().c_str());
                else std::printf("client: %.*s\n", int(reply.length()), static_cast<const char*>(reply.buffer()));
                self.close();  // the server's receive now ends with a null message
            });
        });
    });
    // Handlers run inside start(), which returns once no operation is left
    // (at once if none was started): here after the echo and the close.
    listener->start();
}
