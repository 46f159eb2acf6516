// Port helpers for loopback tests.
#include "support/Loopback.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace korvane {
namespace testing {

namespace {

std::uint16_t free_port(int type)
{
    const int fd = ::socket(AF_INET, type, 0);
    if (fd < 0) {
        throw std::runtime_error("socket() failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("bind() to port 0 failed");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace

std::uint16_t free_tcp_port()
{
    return free_port(SOCK_STREAM);
}

std::uint16_t free_udp_port()
{
    return free_port(SOCK_DGRAM);
}

} // namespace testing
} // namespace korvane

#if defined(__SANITIZE_THREAD__)
// libudt is not built with ThreadSanitizer: its threads hand packets over
// through synchronisation the sanitizer cannot see, so every UDT transfer
// would look like a race inside the library.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libudt.so\n";
}
#endif
