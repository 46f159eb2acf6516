// Status values and the socket-error translation shared by TCP and TLS.
#include <gtest/gtest.h>

#include <asio/error.hpp>

#include <sstream>

#include "transport/AsioError.hpp"
#include "transport/Transport.hpp"

using namespace korvane;
using Status = Transport::StatusCode;

TEST(StatusCode, DefaultIsSuccessAndEveryNegativeCodeIsAFailure)
{
    Status ok;
    EXPECT_EQ(Status::TRANSPORT_STATUS_OKAY, ok.code());
    EXPECT_EQ("", ok.message());
    EXPECT_FALSE(!ok);
    for (korvane_buf_len_t code = -1; code >= -34; --code) {
        Status failure(static_cast<Status::transport_status_code_t>(code), "text");
        EXPECT_TRUE(!failure) << code;
        EXPECT_EQ("text", failure.message());
    }
    // Out-of-table codes are kept and classified by their sign.
    EXPECT_TRUE(!Status(static_cast<Status::transport_status_code_t>(-99), ""));
    EXPECT_FALSE(!Status(static_cast<Status::transport_status_code_t>(7), ""));
}

TEST(StatusCode, TableValuesAreFixed)
{
    EXPECT_EQ(-1, Status::TRANSPORT_STATUS_UNKNOWN);
    EXPECT_EQ(-9, Status::TRANSPORT_STATUS_CONNECTION_REFUSED);
    EXPECT_EQ(-24, Status::TRANSPORT_STATUS_OPERATION_ABORTED);
    EXPECT_EQ(-31, Status::TRANSPORT_STATUS_MSG_TOO_LARGE);
    EXPECT_EQ(-34, Status::TRANSPORT_STATUS_TRY_AGAIN);
}

TEST(StatusCode, ComparisonsAndPrinting)
{
    Status refused(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, "connect: Connection refused");
    EXPECT_EQ(refused, Status(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, "connect: Connection refused"));
    EXPECT_NE(refused, Status(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, "other"));
    EXPECT_TRUE(refused == Status::TRANSPORT_STATUS_CONNECTION_REFUSED);
    EXPECT_TRUE(refused != Status::TRANSPORT_STATUS_OKAY);
    std::ostringstream out;
    out << refused;
    EXPECT_EQ("CONNECTION_REFUSED (-9): connect: Connection refused", out.str());
}

TEST(AsioErrorTranslation, LooksOnlyAtTheValue)
{
    auto code = [](int value) { return detail::from_asio_error(asio::error_code(value, asio::system_category())); };
    EXPECT_EQ(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, code(111));
    EXPECT_EQ(Status::TRANSPORT_STATUS_OPERATION_ABORTED, code(125));
    EXPECT_EQ(Status::TRANSPORT_STATUS_HOST_NOT_FOUND, code(1));
    EXPECT_EQ(Status::TRANSPORT_STATUS_UNKNOWN, code(2));
    EXPECT_EQ(Status::TRANSPORT_STATUS_UNKNOWN, code(90)); // EMSGSIZE is not MSG_TOO_LARGE
    EXPECT_EQ(Status::TRANSPORT_STATUS_UNKNOWN, code(126));
    EXPECT_EQ(Status::TRANSPORT_STATUS_UNKNOWN, code(-3));
    EXPECT_EQ(Status::TRANSPORT_STATUS_UNKNOWN, code(0));
    // The category is ignored: the resolver's host-not-found has value 1.
    EXPECT_EQ(Status::TRANSPORT_STATUS_HOST_NOT_FOUND, detail::from_asio_error(asio::error::host_not_found));
    EXPECT_EQ(Status::TRANSPORT_STATUS_UNKNOWN, detail::from_asio_error(asio::error::eof));
}

TEST(AsioErrorTranslation, StepNamePrefixesTheErrorText)
{
    const asio::error_code refused(111, asio::system_category());
    const Status status = detail::status_from("connect", refused);
    EXPECT_EQ(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, status.code());
    EXPECT_EQ("connect: " + refused.message(), status.message());
    EXPECT_EQ(refused.message(), detail::status_from(refused).message());
}
