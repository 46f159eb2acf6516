// Allocation watching has two implementations: under a sanitizer, its
// allocator hooks; otherwise, a replacement of the global operator new
// (which would clash with the sanitizer's own).
#include "FuzzSupport.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "message/Message.hpp"
#include "util/Endianness.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORVANE_FUZZ_SANITIZER_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORVANE_FUZZ_SANITIZER_HOOKS 1
#endif
#endif

#if defined(KORVANE_FUZZ_SANITIZER_HOOKS)
// Declared here: GCC's runtimes export it but ship no header for it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                                         void (*free_hook)(const volatile void*));
#endif

namespace korvane {
namespace fuzz {

namespace {

std::atomic<bool> g_watching{false};
std::atomic<std::size_t> g_largest{0};

} // namespace

void record_allocation(std::size_t size)
{
    if (!g_watching.load(std::memory_order_relaxed)) {
        return;
    }
    std::size_t seen = g_largest.load(std::memory_order_relaxed);
    while (size > seen && !g_largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
}

namespace {

#if defined(KORVANE_FUZZ_SANITIZER_HOOKS)
void on_malloc(const volatile void*, std::size_t size)
{
    record_allocation(size);
}

void on_free(const volatile void*) {}

bool install_hooks()
{
    return __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
}
#endif

} // namespace

void check_failed(const char* condition, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

void watch_allocations()
{
#if defined(KORVANE_FUZZ_SANITIZER_HOOKS)
    static const bool installed = install_hooks();
    if (!installed) {
        check_failed("sanitizer allocation hooks installed", __FILE__, __LINE__);
    }
#endif
    g_largest.store(0, std::memory_order_relaxed);
    g_watching.store(true, std::memory_order_relaxed);
}

std::size_t largest_allocation()
{
    return g_largest.load(std::memory_order_relaxed);
}

void exhaust_message_pool()
{
    // More Messages than the pool has slices, each of a size it serves; the
    // surplus come from the heap.
    thread_local std::vector<Message> held;
    while (held.size() < 16) {
        held.emplace_back(korvane_buf_len_t{4096});
    }
}

Bytes text(const std::string& characters)
{
    return Bytes(characters.begin(), characters.end());
}

Bytes hex(const std::string& digits)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

Bytes big32(std::uint32_t value)
{
    Bytes bytes(4);
    endian::store_big32(bytes.data(), value);
    return bytes;
}

Bytes big64(std::uint64_t value)
{
    Bytes bytes(8);
    endian::store_big64(bytes.data(), value);
    return bytes;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes bytes;
    for (const Bytes& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

Bytes first(const Bytes& bytes, std::size_t count)
{
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(count, bytes.size())));
}

Bytes frame_header(std::uint32_t length)
{
    return cat({Bytes(4, 0), big32(length)});
}

Bytes frame(const Bytes& payload)
{
    return cat({frame_header(static_cast<std::uint32_t>(payload.size())), payload});
}

} // namespace fuzz
} // namespace korvane

#if !defined(KORVANE_FUZZ_SANITIZER_HOOKS)
// Every other form of new (arrays, nothrow) ends up here in libstdc++, for
// this program and the shared library alike.
void* operator new(std::size_t size)
{
    korvane::fuzz::record_allocation(size);
    if (size == 0) {
        size = 1;
    }
    if (void* block = std::malloc(size)) {
        return block;
    }
    throw std::bad_alloc();
}
#endif
