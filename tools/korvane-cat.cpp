// korvane-cat: try a korvane connection by hand. Each line of standard input
// goes out as one message; each message received is written to standard
// output followed by a newline. End of input closes the socket; the peer
// closing ends the program. On a terminal, bytes that are not printable
// ASCII are shown as \xNN (and a backslash as \\), so that a peer cannot
// send escape sequences to it; into a pipe or file they go unchanged.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "ToolSupport.hpp"

using namespace korvane;
using namespace korvane::tools;
using Status = Transport::StatusCode;

namespace {

// Set once end of input closes our side: the reader's failing receive is
// then expected, not news.
std::atomic<bool> g_closing{false};

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: korvane-cat (--listen PORT | --connect HOST:PORT) [options]\n"
                 "Sends each line of standard input as one message (empty lines are\n"
                 "skipped: a message has at least one byte) and prints each message\n"
                 "received on its own line.\n"
                 "%s"
                 "  --help                   this text\n",
                 connection_usage());
}

Connection parse(int argc, char** argv, bool& help)
{
    Connection c;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            help = true;
        } else if (!parse_connection_option(argc, argv, i, c)) {
            throw UsageError(option + ": unknown option");
        }
    }
    if (!help && !c.listening() && !c.connecting()) throw UsageError("--listen or --connect: one is required");
    validate(c, false);
    if (c.transport == TransportKind::tls && c.listening() && c.certificate.empty()) {
        throw UsageError("--cert: a TLS listener needs --cert FILE --key FILE");
    }
    return c;
}

void write_escaped(const Message& message)
{
    const auto* bytes = static_cast<const unsigned char*>(message.buffer());
    for (korvane_buf_len_t i = 0; i < message.length(); ++i) {
        const unsigned char byte = bytes[i];
        if (byte == '\\') std::fputs("\\\\", stdout);
        else if ((byte >= 0x20 && byte < 0x7f) || byte == '\t') std::fputc(byte, stdout);
        else std::fprintf(stdout, "\\x%02x", byte);
    }
}

// Prints every message until the connection ends, then ends the program:
// the peer hung up, so there is nobody left to send to.
void print_incoming(SocketImpl& socket)
{
    const bool terminal = ::isatty(STDOUT_FILENO) != 0;
    Status status;
    for (;;) {
        const Message message = socket.recv(&status);
        if (message.null()) break;
        if (terminal) write_escaped(message);
        else std::fwrite(message.buffer(), 1, static_cast<std::size_t>(message.length()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    std::fflush(stdout);
    if (g_closing) return; // main() finishes the program
    if (status.code() < 0) std::fprintf(stderr, "korvane-cat: %s\n", status.message().c_str());
    std::_Exit(status.code() < 0 ? 1 : 0);
}

} // namespace

int main(int argc, char** argv)
{
    Connection c;
    bool help = false;
    try {
        c = parse(argc, argv, help);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "korvane-cat: %s\n", error.what());
        usage(stderr);
        return 2;
    }
    if (help) {
        usage(stdout);
        return 0;
    }
    crypto::XSalsa20::init();
    LoopThreads loops(c.transport, c.connections > 1 ? 2 : 0);
    Socket listener;
    Socket socket;
    Status status;
    if (c.listening()) {
        listener = make_socket(c, true);
        status = listener->bind(parse_port("--listen", c.listen_port), "*");
        if (status.code() >= 0) socket = accept_peer(*listener, c, loops, status);
    } else {
        socket = make_socket(c, false);
        status = socket->connect(c.connect_host, c.connect_port);
    }
    if (!socket || status.code() < 0) {
        std::fprintf(stderr, "korvane-cat: %s\n", status.message().c_str());
        return 1;
    }
    std::thread reader(print_incoming, std::ref(*socket));
    reader.detach(); // ends the process when the peer hangs up

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        status = socket->send(Message(line.data(), static_cast<korvane_buf_len_t>(line.size())));
        if (status.code() < 0) {
            std::fprintf(stderr, "korvane-cat: send: %s\n", status.message().c_str());
            return 1;
        }
    }
    g_closing = true;
    shut_down(loops, {listener.get(), socket.get()});
    std::fflush(stdout);
    std::_Exit(0); // the reader may still be inside recv() on the closed socket
}
