// Statuses in a boolean context and as std::error_code.
#include <gtest/gtest.h>

#include <system_error>

#include "transport/Transport.hpp"

namespace korvane {
namespace {

using Status = Transport::StatusCode;

TEST(ErrorCode, StatusesConvertToBoolAndErrorCodeOfTheKorvaneCategory)
{
    static_assert(!std::is_convertible<Status, bool>::value, "a status must not turn into a number silently");
    EXPECT_TRUE(static_cast<bool>(Status()));
    const Status refused(Status::TRANSPORT_STATUS_CONNECTION_REFUSED, "connect: Connection refused");
    EXPECT_FALSE(static_cast<bool>(refused));
    EXPECT_TRUE(!refused);

    const std::error_code ok = Status().code();
    EXPECT_FALSE(ok);
    const std::error_code ec = refused.code();
    EXPECT_TRUE(ec);
    EXPECT_STREQ(ec.category().name(), "korvane");
    EXPECT_EQ(ec.value(), -9);
    EXPECT_EQ(ec.message(), "Connection refused");
    EXPECT_EQ(ec, std::errc::connection_refused);
    EXPECT_EQ(make_error_code(refused), ec);

    // Every code in the table has a text of its own and keeps its value;
    // codes without a POSIX counterpart match no std::errc.
    for (korvane_buf_len_t value = 0; value >= -34; --value) {
        const auto code = static_cast<Status::transport_status_code_t>(value);
        const std::error_code each = code;
        EXPECT_EQ(each.value(), value);
        EXPECT_EQ(each.message().find("outside the table"), std::string::npos) << value;
        EXPECT_NE(each.message(), make_error_code(static_cast<Status::transport_status_code_t>(value - 1)).message());
    }
    const std::error_code decode = Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR;
    EXPECT_NE(decode, std::errc::invalid_argument);
    EXPECT_EQ(decode.default_error_condition().category(), korvane_category());
    EXPECT_NE(make_error_code(static_cast<Status::transport_status_code_t>(-99)).message().find("outside"),
              std::string::npos);
}

} // namespace
} // namespace korvane
