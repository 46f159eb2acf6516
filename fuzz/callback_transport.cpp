// The input scripts a series of reads on a CallbackTransport and everything
// its read callback does in them: deliver bytes, deliver nothing, fail with a
// negative number, throw, or claim more bytes than it was offered. Property:
// every read asks the callback for the rest of the caller's buffer and nothing
// beyond it, shares one long that starts at 0, and ends as the transport
// promises: success with the bytes delivered (all of them when `all`, one
// call's worth otherwise), the callback's own negative value, or -1; never a
// count above what was asked or delivered, and the bytes in the buffer are the
// callback's bytes in order.
//
// Input: per read, a flags byte (bit 0 `all`, bit 1 pass a status) and a
// signed 16-bit big-endian length; then the callback's actions until the read
// is over, each an opcode byte and its operands (see Script::call). Once the
// input runs out the callback reports the end of the stream (0).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzSupport.hpp"
#include "transport/CallbackTransport.hpp"

namespace korvane {
namespace {

using Status = Transport::StatusCode;

const char* const THROWN_TEXT = "medium on fire";
const Status STALE(Status::TRANSPORT_STATUS_NO_DATA, "stale status");

enum Opcode : std::uint8_t {
    DELIVER,      // count byte, then that many data bytes (as many as fit)
    DELIVER_MORE, // the same, for a second weight in the mix
    NOTHING,      // returns 0
    FAIL,         // byte b: returns -1 - b * 65536
    THROW_STD,    // throws std::runtime_error
    THROW_OTHER,  // throws an int
    OVERCLAIM,    // fills what it was offered, byte b: claims b + 1 more
    OPCODES
};

// How the last callback call of a read ended.
enum class Ending { NONE, COUNT, NEGATIVE, THREW_STD, THREW_OTHER, OVERCLAIMED };

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_offset == m_size; }
    std::size_t left() const { return m_size - m_offset; }
    std::uint8_t byte() { return empty() ? 0 : m_data[m_offset++]; }
    const std::uint8_t* take(std::size_t count)
    {
        const std::uint8_t* start = m_data + m_offset;
        m_offset += count;
        return start;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
};

// The callback side of one read: what it was offered, what it did.
struct Script {
    Script(Input& source, unsigned char* destination, long size) : input(source), buffer(destination), length(size)
    {
    }

    Input& input;
    unsigned char* buffer;
    long length;
    long delivered = 0; // sum of the counts it returned so far in this read
    long calls = 0;
    long last_shared = 0;
    long last_result = 0;
    Ending ending = Ending::NONE;
    std::vector<unsigned char> bytes; // everything it placed, in order

    long call(void* destination, long offered, long& shared)
    {
        // Each call is offered exactly the rest of the buffer, nothing else.
        FUZZ_CHECK(ending == Ending::NONE || ending == Ending::COUNT);
        FUZZ_CHECK(offered > 0 && offered == length - delivered);
        FUZZ_CHECK(destination == buffer + delivered);
        // One long per read, starting at 0, passed on between calls.
        FUZZ_CHECK(shared == (calls == 0 ? 0 : last_shared));
        ++calls;
        shared = last_shared = static_cast<long>(input.left()) * 7 + calls;

        if (input.empty()) {
            return count(0);
        }
        switch (input.byte() % OPCODES) {
        case DELIVER:
        case DELIVER_MORE:
            return place(destination, offered, input.byte());
        case NOTHING:
            return count(0);
        case FAIL:
            ending = Ending::NEGATIVE;
            return last_result = -1 - static_cast<long>(input.byte()) * 65536;
        case THROW_STD:
            ending = Ending::THREW_STD;
            throw std::runtime_error(THROWN_TEXT);
        case THROW_OTHER:
            ending = Ending::THREW_OTHER;
            throw 7;
        default: {
            const long extra = 1 + input.byte();
            place(destination, offered, static_cast<std::size_t>(offered));
            ending = Ending::OVERCLAIMED;
            return last_result = offered + extra;
        }
        }
    }

    long place(void* destination, long offered, std::size_t wanted)
    {
        const std::size_t count_placed =
            std::min({wanted, static_cast<std::size_t>(offered), input.left()});
        const std::uint8_t* source = input.take(count_placed);
        std::memcpy(destination, source, count_placed);
        bytes.insert(bytes.end(), source, source + count_placed);
        return count(static_cast<long>(count_placed));
    }

    long count(long result)
    {
        ending = Ending::COUNT;
        delivered += result;
        return last_result = result;
    }
};

void check_failure(const Script& script, korvane_buf_len_t result, const Status* status)
{
    switch (script.ending) {
    case Ending::NEGATIVE:
        FUZZ_CHECK(result == script.last_result);
        FUZZ_CHECK(status == nullptr || *status == Status(Status::TRANSPORT_STATUS_UNKNOWN, ""));
        break;
    case Ending::THREW_STD:
        FUZZ_CHECK(result == -1);
        FUZZ_CHECK(status == nullptr || *status == Status(Status::TRANSPORT_STATUS_UNKNOWN, THROWN_TEXT));
        break;
    case Ending::THREW_OTHER:
        FUZZ_CHECK(result == -1);
        FUZZ_CHECK(status == nullptr || *status == Status(Status::TRANSPORT_STATUS_UNKNOWN, ""));
        break;
    case Ending::OVERCLAIMED:
        // A callback that claims more than it was offered has broken the
        // buffer's bounds as far as anyone can tell: a failure, never a count.
        FUZZ_CHECK(result == -1);
        FUZZ_CHECK(status == nullptr
                   || *status == Status(Status::TRANSPORT_STATUS_UNKNOWN,
                                        "Read callback reported more bytes than offered"));
        break;
    default:
        FUZZ_CHECK(false);
    }
}

void check_read(const Script& script, bool all, korvane_buf_len_t result, const Status* status)
{
    if (script.length <= 0) {
        FUZZ_CHECK(script.calls == 0);
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(status == nullptr || *status == Status());
        return;
    }
    FUZZ_CHECK(script.calls >= 1);
    if (script.ending != Ending::COUNT) {
        check_failure(script, result, status);
        return;
    }
    if (all && script.last_result == 0) {
        // End of stream in the middle of an `all` read.
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(status == nullptr || *status == Status(Status::TRANSPORT_STATUS_UNKNOWN, ""));
        return;
    }
    FUZZ_CHECK(result == script.delivered);
    FUZZ_CHECK(result >= 0 && result <= script.length);
    FUZZ_CHECK(status == nullptr || *status == Status());
    FUZZ_CHECK(all ? result == script.length : script.calls == 1);
    FUZZ_CHECK(static_cast<std::size_t>(result) == script.bytes.size());
    FUZZ_CHECK(result == 0 || std::memcmp(script.buffer, script.bytes.data(), script.bytes.size()) == 0);
}

void one_read(CallbackTransport& transport, Script*& current, Input& input)
{
    const std::uint8_t flags = input.byte();
    const bool all = (flags & 1) != 0;
    const bool with_status = (flags & 2) != 0;
    const std::uint8_t high = input.byte();
    const std::uint8_t low = input.byte();
    const long length = static_cast<std::int16_t>(static_cast<std::uint16_t>(high << 8 | low));

    // Exactly the caller's size, so that a write past it is caught.
    std::unique_ptr<unsigned char[]> buffer(length > 0 ? new unsigned char[static_cast<std::size_t>(length)] : nullptr);
    Script script(input, buffer.get(), length);
    current = &script;
    Status status = STALE;
    const korvane_buf_len_t result = transport.read(buffer.get(), length, with_status ? &status : nullptr, all);
    current = nullptr;
    check_read(script, all, result, with_status ? &status : nullptr);
}

} // namespace
} // namespace korvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace korvane;
    Input input(data, size);
    Script* current = nullptr;
    CallbackTransport transport(nullptr, [&current](void* destination, long offered, long& shared) -> long {
        FUZZ_CHECK(current != nullptr);
        return current->call(destination, offered, shared);
    }, nullptr, nullptr);
    while (input.left() >= 3) {
        one_read(transport, current, input);
    }
    return 0;
}

namespace korvane {
namespace fuzz {

namespace {

// A read's flags and length.
Bytes read_of(std::uint8_t flags, std::int16_t length)
{
    return cat({Bytes{flags}, Bytes{static_cast<std::uint8_t>(static_cast<std::uint16_t>(length) >> 8),
                                    static_cast<std::uint8_t>(length & 0xFF)}});
}

Bytes deliver(const std::string& characters)
{
    return cat({Bytes{DELIVER, static_cast<std::uint8_t>(characters.size())}, text(characters)});
}

constexpr std::uint8_t ALL = 1;
constexpr std::uint8_t WITH_STATUS = 2;

} // namespace

std::vector<Seed> seeds()
{
    const std::uint8_t both = ALL | WITH_STATUS;
    return {
        {"all-in-three-deliveries", cat({read_of(both, 10), deliver("abc"), deliver("def"), deliver("ghij")})},
        {"all-end-of-stream-midway", cat({read_of(both, 6), deliver("ab"), Bytes{NOTHING}})},
        {"all-fails-after-part", cat({read_of(both, 10), deliver("abcd"), Bytes{FAIL, 4}})},
        {"all-without-status-fails", cat({read_of(ALL, 4), Bytes{FAIL, 0}})},
        {"all-input-runs-out", cat({read_of(both, 100), Bytes{DELIVER, 50}, text("only ten..")})},
        {"partial-one-delivery", cat({read_of(WITH_STATUS, 8), deliver("hello")})},
        {"partial-empty-read", cat({read_of(WITH_STATUS, 8), Bytes{NOTHING}})},
        {"partial-delivery-larger-than-asked", cat({read_of(WITH_STATUS, 3), deliver("abcdef")})},
        {"throws-std-exception", cat({read_of(both, 5), deliver("ab"), Bytes{THROW_STD}})},
        {"throws-other", cat({read_of(WITH_STATUS, 5), Bytes{THROW_OTHER}})},
        {"claims-more-than-offered", cat({read_of(both, 4), Bytes{OVERCLAIM, 0}, text("wxyz")})},
        {"partial-claims-more-than-offered", cat({read_of(WITH_STATUS, 4), deliver("a"), Bytes{OVERCLAIM, 200}})},
        {"zero-length", cat({read_of(both, 0), read_of(WITH_STATUS, 0)})},
        {"negative-length", cat({read_of(both, -5), read_of(WITH_STATUS, -32768)})},
        {"reads-in-a-row", cat({read_of(both, 3), deliver("abc"), read_of(WITH_STATUS, 3), deliver("d"),
                                read_of(both, 2), Bytes{NOTHING}, read_of(WITH_STATUS, 2), deliver("ef")})},
    };
}

} // namespace fuzz
} // namespace korvane
