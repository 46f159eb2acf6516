// The socket-error translation shared by TCP and TLS looks at the error's
// number only.
#include <gtest/gtest.h>

#include <asio.hpp>

#include "transport/AsioError.hpp"

namespace korvane {
namespace {

using Status = Transport::StatusCode;

Status::transport_status_code_t translate(int value)
{
    return detail::from_asio_error(asio::error_code(value, asio::system_category()));
}

TEST(AsioError, TranslatesByNumberAlone)
{
    EXPECT_EQ(Status::TRANSPORT_STATUS_HOST_NOT_FOUND, translate(1));
    EXPECT_EQ(Status::TRANSPORT_STATUS_UNKNOWN, translate(2));
    // EMSGSIZE is not in the table: it is not the framer's MSG_TOO_LARGE.
    EXPECT_EQ(Status::TRANSPORT_STATUS_UNKNOWN, translate(90));
    EXPECT_EQ(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, translate(111));
    EXPECT_EQ(Status::TRANSPORT_STATUS_OPERATION_ABORTED, translate(125));
    EXPECT_EQ(Status::TRANSPORT_STATUS_UNKNOWN, translate(126));
    EXPECT_EQ(Status::TRANSPORT_STATUS_UNKNOWN, translate(-3));
    EXPECT_EQ(Status::TRANSPORT_STATUS_UNKNOWN, translate(0));

    // Other categories with the same numbers translate the same way: the
    // resolver's "host not found" is 1, the end of file is 2.
    EXPECT_EQ(Status::TRANSPORT_STATUS_HOST_NOT_FOUND, detail::from_asio_error(asio::error::host_not_found));
    EXPECT_EQ(Status::TRANSPORT_STATUS_UNKNOWN, detail::from_asio_error(asio::error::eof));
}

TEST(AsioError, StatusTextsUseTheSystemDescription)
{
    EXPECT_EQ(Status(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, "Connection refused"),
              detail::status_from(asio::error::connection_refused));
    EXPECT_EQ(Status(Status::TRANSPORT_STATUS_ADDRESS_IN_USE, "bind: Address already in use"),
              detail::status_from("bind", asio::error::address_in_use));
}

TEST(AsioError, StepNamePrefixesTheErrorText)
{
    const asio::error_code refused(111, asio::system_category());
    const Status status = detail::status_from("connect", refused);
    EXPECT_EQ(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, status.code());
    EXPECT_EQ("connect: " + refused.message(), status.message());
    EXPECT_EQ(refused.message(), detail::status_from(refused).message());
}

} // namespace
} // namespace korvane
