// What a transport without a gather write of its own does with several
// pieces: small runs are copied into one buffer, so they still cost one
// write, and large ones go out piece by piece, where a copy would cost more
// than the extra call.
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "transport/Transport.hpp"

namespace korvane {

namespace {

constexpr korvane_buf_len_t COALESCED_LIMIT = 64 * 1024;

korvane_buf_len_t total_length(const Transport::ConstBuffer* pieces, std::size_t count)
{
    korvane_buf_len_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        total += pieces[i].length;
    }
    return total;
}

void copy_pieces(const Transport::ConstBuffer* pieces, std::size_t count, unsigned char* out)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (pieces[i].length > 0) {
            std::memcpy(out, pieces[i].data, static_cast<std::size_t>(pieces[i].length));
            out += pieces[i].length;
        }
    }
}

Transport::StatusCode out_of_memory(const std::exception& error)
{
    return Transport::StatusCode(Transport::StatusCode::TRANSPORT_STATUS_NO_MEMORY, error.what());
}

} // namespace

korvane_buf_len_t Transport::write_gather(const ConstBuffer* pieces, std::size_t count, StatusCode* status)
{
    const korvane_buf_len_t total = total_length(pieces, count);
    if (total <= COALESCED_LIMIT && count > 1) {
        unsigned char run[COALESCED_LIMIT];
        copy_pieces(pieces, count, run);
        return write(run, total, status);
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (pieces[i].length == 0) {
            continue;
        }
        const korvane_buf_len_t written = write(const_cast<void*>(pieces[i].data), pieces[i].length, status);
        if (written != pieces[i].length) {
            return written;
        }
    }
    return total;
}

void Transport::write_gather_async(const ConstBuffer* pieces, std::size_t count, write_handler_t callback)
{
    std::shared_ptr<std::vector<unsigned char>> run;
    try {
        run = std::make_shared<std::vector<unsigned char>>(static_cast<std::size_t>(total_length(pieces, count)));
    } catch (const std::exception& error) {
        callback(*this, -1, out_of_memory(error));
        return;
    }
    copy_pieces(pieces, count, run->data());
    write_async(run->data(), static_cast<korvane_buf_len_t>(run->size()),
                [run, callback](Transport& transport, long written, StatusCode status) {
                    callback(transport, written, std::move(status));
                });
}

std::size_t Transport::write_gather_ahead(const ConstBuffer*, std::size_t) noexcept
{
    return 0;
}

void Transport::post(std::function<void()> work)
{
    work();
}

} // namespace korvane
