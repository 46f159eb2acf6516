// Status values: their codes, classification, comparison and printing.
#include <gtest/gtest.h>

#include <sstream>

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
