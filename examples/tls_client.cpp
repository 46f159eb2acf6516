// TLS client: connects (verifying the server's certificate with --verify,
// against the system trust store or SSL_CERT_FILE), sends two messages and
// prints the answers.
// usage: tls_client HOST PORT [--verify]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <korvane.hpp>

#include "Arguments.hpp"

using namespace korvane;
using Status = Transport::StatusCode;

int main(int argc, char** argv)
{
    const char* usage = "tls_client HOST PORT [--verify]";
    example::check_arguments(argc, argv, 2, 3, usage);
    const Transport::port_t port = example::port_argument(argv[2], usage);
    const bool verify = example::flag_argument(argc, argv, 3, "--verify", usage);
    Socket socket = BasicSocket::create(std::make_unique<TLSTransport>(verify));
    Status status = socket->connect(argv[1], port);
    if (!status) {
        // A refused certificate shows up here, e.g. "handshake: certificate verify failed".
        std::fprintf(stderr, "connect: %s\n", status.message().c_str());
        return 1;
    }
    for (const std::string text : {"first message", "second message"}) {
        status = socket->send(Message(text.data(), static_cast<korvane_buf_len_t>(text.size())));
        const Message reply = status.code() < 0 ? Message() : socket->recv(&status);
        if (reply.null()) {
            std::fprintf(stderr, "exchange failed: %s\n", status.message().c_str());
            return 1;
        }
        const std::string answer(static_cast<const char*>(reply.buffer()), static_cast<std::size_t>(reply.length()));
        std::printf("%s\n", answer.c_str());
        if (answer != "ack: " + text) return 1;
    }
    return socket->close().code() < 0 ? 1 : 0; // sends the TLS close alert
}
