// The "korvane" std::error_category over the status codes: a fixed text per
// code, and the portable std::errc condition of each code that has one.
#include "transport/Transport.hpp"

#include <cerrno>

namespace korvane {

namespace {

using Status = Transport::StatusCode;

struct CodeInfo {
    const char* text;
    int posix; // errno counterpart, 0 for none
};

// Indexed by -code; the order of transport_status_code_t.
const CodeInfo CODES[] = {
    {"Success", 0},
    {"Unknown error", 0},
    {"Access denied", EACCES},
    {"Address family not supported", EAFNOSUPPORT},
    {"Address already in use", EADDRINUSE},
    {"Already connected", EISCONN},
    {"Operation already in progress", EALREADY},
    {"Broken pipe", EPIPE},
    {"Connection aborted", ECONNABORTED},
    {"Connection refused", ECONNREFUSED},
    {"Connection reset by peer", ECONNRESET},
    {"Bad file descriptor", EBADF},
    {"Host unreachable", EHOSTUNREACH},
    {"Host not found", 0},
    {"Interrupted", EINTR},
    {"Invalid argument", EINVAL},
    {"Network is down", ENETDOWN},
    {"Network dropped connection on reset", ENETRESET},
    {"Network is unreachable", ENETUNREACH},
    {"Too many open files", EMFILE},
    {"No buffer space available", ENOBUFS},
    {"Out of memory", ENOMEM},
    {"Protocol option not available", ENOPROTOOPT},
    {"Not connected", ENOTCONN},
    {"Operation aborted", ECANCELED},
    {"Unsupported operation", EOPNOTSUPP},
    {"Shut down", ESHUTDOWN},
    {"Timed out", ETIMEDOUT},
    {"No data", 0},
    {"Pipeline could not encode the message", 0},
    {"Pipeline could not decode the message", 0},
    {"Message too large", EMSGSIZE},
    {"Name too long", ENAMETOOLONG},
    {"Not a socket", ENOTSOCK},
    {"Resource temporarily unavailable", EAGAIN},
};

const CodeInfo* info(int value)
{
    const int index = -value;
    if (index < 0 || index >= static_cast<int>(sizeof CODES / sizeof CODES[0])) return nullptr;
    return &CODES[index];
}

class KorvaneCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "korvane"; }

    std::string message(int value) const override
    {
        const CodeInfo* code = info(value);
        return code != nullptr ? code->text : "Status code " + std::to_string(value) + " outside the table";
    }

    std::error_condition default_error_condition(int value) const noexcept override
    {
        const CodeInfo* code = info(value);
        if (code != nullptr && code->posix != 0) return std::error_condition(code->posix, std::generic_category());
        return std::error_condition(value, *this);
    }
};

} // namespace

const std::error_category& korvane_category() noexcept
{
    static const KorvaneCategory category;
    return category;
}

std::error_code make_error_code(Status::transport_status_code_t code) noexcept
{
    return std::error_code(static_cast<int>(code), korvane_category());
}

std::error_code make_error_code(const Status& status) noexcept
{
    return make_error_code(status.code());
}

} // namespace korvane
