// TLS server: presents a PEM certificate chain and key, accepts one client
// (blocking), and answers every message with "ack: " and the message.
// usage: tls_server PORT CERTIFICATE.pem KEY.pem
#include <cstdio>
#include <cstdlib>
#include <string>

#include <korvane.hpp>

#include "Arguments.hpp"

using namespace korvane;
using Status = Transport::StatusCode;

int main(int argc, char** argv)
{
    const char* usage = "tls_server PORT CERTIFICATE.pem KEY.pem";
    example::check_arguments(argc, argv, 3, 3, usage);
    const Transport::port_t port = example::port_argument(argv[1], usage);
    // The listener's transport carries the certificate; accepted connections
    // share its TLS context.
    Socket listener = BasicSocket::create(std::make_unique<TLSTransport>(argv[2], argv[3]));
    Status status = listener->bind(port, "127.0.0.1");
    if (!status) {
        std::fprintf(stderr, "bind: %s\n", status.message().c_str());
        return 1;
    }
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(port));
    std::fflush(stdout);

    Socket client = listener->accept(&status); // TCP accept, then the TLS handshake
    if (!client) {
        std::fprintf(stderr, "accept: %s\n", status.message().c_str());
        return 1;
    }
    for (;;) {
        const Message request = client->recv(&status);
        if (request.null()) break; // the client closed (or failed: status says which)
        const std::string reply =
            "ack: " + std::string(static_cast<const char*>(request.buffer()), static_cast<std::size_t>(request.length()));
        std::printf("received %lld bytes\n", static_cast<long long>(request.length()));
        status = client->send(Message(reply.data(), static_cast<korvane_buf_len_t>(reply.size())));
        if (!status) break;
    }
    std::printf("client left%s%s\n", status.message().empty() ? "" : ": ", status.message().c_str());
    return status.code() < 0 ? 1 : 0;
}
