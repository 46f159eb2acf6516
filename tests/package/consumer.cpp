// Uses the installed headers and library the way an application would.
#include <korvane.hpp>
#include <korvane/Version.hpp>

#include <cstdio>
#include <cstring>

static_assert(KORVANE_VERSION_MAJOR >= 0 && KORVANE_VERSION_MINOR >= 0 && KORVANE_VERSION_PATCH >= 0,
              "the version macros are numbers");

int main()
{
    using namespace korvane;
    if (!crypto::XSalsa20::init()) {
        return 1;
    }
    const char text[] = "installed";
    Message message(text, sizeof text);
    Message copy(message);
    Transport::StatusCode status;
    const std::error_code refused = Transport::StatusCode::TRANSPORT_STATUS_CONNECTION_REFUSED;
    const bool ok = !copy.null() && std::memcmp(copy.buffer(), text, sizeof text) == 0 && !(!status) &&
                    static_cast<bool>(status) && refused == std::errc::connection_refused &&
                    std::strlen(KORVANE_VERSION_STRING) > 0;
    std::puts(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
