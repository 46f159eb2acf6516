// A socket's operating-system descriptor, for options the library does not set.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "SocketSupport.hpp"
#include "transport/UDTTransport.hpp"

namespace korvane {
namespace testing {
namespace {

int nodelay(int fd)
{
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0 ? value : -1;
}

TEST(NativeHandle, AcceptedTcpSocketTakesOptionsThroughItsDescriptorUntilClosed)
{
    SocketPair pair = connect_blocking(tcp_socket(), tcp_socket());
    ASSERT_TRUE(pair.server && pair.client);
    auto& server = dynamic_cast<BasicSocket&>(*pair.server);
    const int fd = server.native_handle();
    ASSERT_GE(fd, 0);
    EXPECT_NE(fd, dynamic_cast<BasicSocket&>(*pair.client).native_handle());
    const int on = 1;
    ASSERT_EQ(0, ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on));
    EXPECT_EQ(1, nodelay(fd));
    ASSERT_EQ(Status(), pair.server->send(Message("x", 1)));
    Status status;
    EXPECT_EQ(1, pair.client->recv(&status).length());

    server.close();
    EXPECT_EQ(-1, server.native_handle());
    Socket udt = BasicSocket::create(std::make_unique<UDTTransport>());
    EXPECT_EQ(-1, dynamic_cast<BasicSocket&>(*udt).native_handle());
}

} // namespace
} // namespace testing
} // namespace korvane
