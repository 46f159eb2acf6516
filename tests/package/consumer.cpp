// Uses the installed headers and library the way an application would.
#include <korvane.hpp>

#include <cstdio>
#include <cstring>

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
    const bool ok = !copy.null() && std::memcmp(copy.buffer(), text, sizeof text) == 0 && !(!status);
    std::puts(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
