// Command-line checks the examples share: --help, ports and counts. A bad
// argument prints one line and the usage, and ends the program with status 2.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <korvane.hpp>

namespace example {

// Prints the usage and exits when `--help` or `-h` is anywhere in argv (status
// 0), or when the arguments are fewer than `required` or more than `allowed`.
inline void check_arguments(int argc, char** argv, int required, int allowed, const char* usage)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: %s\n", usage);
            std::exit(0);
        }
    }
    if (argc - 1 < required || argc - 1 > allowed) {
        if (allowed > required) {
            std::fprintf(stderr, "%s: expected %d to %d arguments\nusage: %s\n", argv[0], required, allowed, usage);
        } else {
            std::fprintf(stderr, "%s: expected %d argument%s\nusage: %s\n", argv[0], required, required == 1 ? "" : "s",
                         usage);
        }
        std::exit(2);
    }
}

// A whole number from `min` to `max`, or the end of the program.
inline long number_argument(const char* what, const char* text, long min, long max, const char* usage)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || value < min || value > max) {
        std::fprintf(stderr, "%s: expected a whole number from %ld to %ld, got '%s'\nusage: %s\n", what, min, max,
                     text, usage);
        std::exit(2);
    }
    return value;
}

inline korvane::Transport::port_t port_argument(const char* text, const char* usage)
{
    return static_cast<korvane::Transport::port_t>(number_argument("PORT", text, 1, 65535, usage));
}

// The optional flag at argv[index]: true when it is `flag`, false when absent.
inline bool flag_argument(int argc, char** argv, int index, const char* flag, const char* usage)
{
    if (index >= argc) return false;
    if (std::strcmp(argv[index], flag) == 0) return true;
    std::fprintf(stderr, "%s: unknown argument '%s'\nusage: %s\n", argv[0], argv[index], usage);
    std::exit(2);
}

} // namespace example
