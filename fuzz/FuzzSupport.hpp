// What every fuzz target shares: a check that stops the run on a broken
// property, a watch on the largest single heap allocation, and a way to make
// Message buffers exact-size heap blocks so that the sanitizer sees overruns;
// and the seed corpus each target declares for itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

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

using Bytes = std::vector<std::uint8_t>;

/// One input of a target's seed corpus, under a file name that says what it is.
struct Seed {
    std::string name;
    Bytes bytes;
};

/// The target's seed corpus, defined next to the target: the replay runner
/// writes it out with --make-corpus (fuzz/make-corpus.sh), so that every seed
/// can be made again from what the target knows about its input.
std::vector<Seed> seeds();

/// Builders for seeds.
Bytes text(const std::string& characters);
Bytes hex(const std::string& digits);
Bytes big32(std::uint32_t value);
Bytes big64(std::uint64_t value);
Bytes cat(std::initializer_list<Bytes> parts);
Bytes first(const Bytes& bytes, std::size_t count);
/// A frame as the framer sends it: 4 unused bytes, the big-endian length,
/// the payload.
Bytes frame(const Bytes& payload);
/// A frame header announcing `length`, whatever follows.
Bytes frame_header(std::uint32_t length);

} // namespace fuzz
} // namespace korvane
