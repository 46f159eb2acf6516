// What every fuzz target shares: a check that stops the run on a broken
// property, a watch on the largest single heap allocation, and a way to make
// Message buffers exact-size heap blocks so that the sanitizer sees overruns.
#pragma once

#include <cstddef>

/// Stops the run, with the failed property and where it is, when `condition`
/// is false. Aborting is what libFuzzer and the replay runner both treat as a
/// crash, and it keeps the input that caused it.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::korvane::fuzz::check_failed(#condition, __FILE__, __LINE__);                         \
        }                                                                                          \
    } while (false)

namespace korvane {
namespace fuzz {

[[noreturn]] void check_failed(const char* condition, const char* file, int line);

/// Starts recording the largest single heap allocation made by any thread.
void watch_allocations();
/// The largest single allocation since watch_allocations(), in bytes.
std::size_t largest_allocation();
/// Called for every heap allocation; records it while watching.
void record_allocation(std::size_t size);

/// Takes every slice of this thread's Message pool and keeps it, so that
/// later Messages on this thread are heap blocks of exactly their length:
/// an overrun past a Message's length then lands outside its block, where
/// AddressSanitizer sees it, instead of inside a 4.5 MiB slice. Idempotent.
void exhaust_message_pool();

} // namespace fuzz
} // namespace korvane
