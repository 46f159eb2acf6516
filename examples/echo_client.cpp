// Asynchronous echo client: sends a few messages to echo_server, one at a
// time from completion handlers, and checks that each comes back unchanged.
// usage: echo_client PORT
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <korvane.hpp>

#include "Arguments.hpp"

using namespace korvane;
using Status = Transport::StatusCode;

static const int COUNT = 5;
static int g_failures = 0;

static Message numbered(int i)
{
    const std::string text = "hello number " + std::to_string(i);
    return Message(text.data(), static_cast<korvane_buf_len_t>(text.size()));
}

// Send message i; when its echo arrives, compare it and go on with i + 1.
static void round_trip(SocketImpl& socket, int i)
{
    if (i == COUNT) {
        socket.close(); // nothing left to wait for: start() returns
        return;
    }
    socket.send(numbered(i), [i](SocketImpl& self, Status sent) {
        if (!sent) {
            std::printf("send failed: %s\n", sent.message().c_str());
            ++g_failures;
            return;
        }
        self.recv([i](SocketImpl& again, Message echo, Status status) {
            const Message expected = numbered(i);
            const bool same = echo.length() == expected.length() &&
                              std::string(static_cast<const char*>(echo.buffer()), echo.length()) ==
                                  std::string(static_cast<const char*>(expected.buffer()), expected.length());
            std::printf("echo %d: %s\n", i, same ? "ok" : ("MISMATCH " + status.message()).c_str());
            if (!same) ++g_failures;
            round_trip(again, i + 1);
        });
    });
}

int main(int argc, char** argv)
{
    const char* usage = "echo_client PORT";
    example::check_arguments(argc, argv, 1, 1, usage);
    const Transport::port_t port = example::port_argument(argv[1], usage);
    Socket socket = BasicSocket::create(std::make_unique<TCPTransport>());
    socket->connect("127.0.0.1", port, [](SocketImpl& self, Status status) {
        if (!status) {
            std::printf("connect failed: %s\n", status.message().c_str());
            ++g_failures;
            return;
        }
        round_trip(self, 0);
    });
    socket->start(); // runs the handlers until no work is left
    return g_failures == 0 ? 0 : 1;
}
