// An in-memory Transport driven by a script: reads deliver `incoming` bytes,
// possibly cut short, writes are recorded or answered as scripted. Every call
// the framer makes is recorded, so buffer ownership and request sizes can be
// seen. Header-only and free of GoogleTest, so fuzz targets can use it too.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "transport/Transport.hpp"

namespace korvane {
namespace testing {

class ScriptedTransport : public Transport {
public:
    /// Bytes the reads deliver, in order.
    std::vector<unsigned char> incoming;
    /// Per read call, the most it may deliver; unlimited once empty.
    std::deque<long> read_limits;
    /// Per write call, what it reports; everything, with OKAY, once empty.
    std::deque<std::pair<long, StatusCode>> write_results;

    std::vector<long> read_requests;
    /// Reads asked with `all` false: the framer never needs one.
    long partial_read_requests = 0;
    std::vector<std::pair<const void*, long>> writes;
    std::vector<unsigned char> outgoing;

    StatusCode connect(std::string, port_t) override { return unsupported(); }
    void connect_async(std::string, port_t, connect_handler_t callback) override { callback(*this, unsupported()); }
    StatusCode bind(port_t, std::string) override { return unsupported(); }
    std::unique_ptr<Transport> accept(StatusCode* status) override
    {
        if (status != nullptr) {
            *status = unsupported();
        }
        return nullptr;
    }
    void accept_async(accept_handler_t callback) override { callback(*this, nullptr, unsupported()); }

    korvane_buf_len_t read(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status, bool all) override
    {
        if (!all) {
            ++partial_read_requests;
        }
        read_requests.push_back(length);
        long limit = length;
        if (!read_limits.empty()) {
            limit = std::min(limit, read_limits.front());
            read_limits.pop_front();
        }
        const long count = std::min<long>(limit, static_cast<long>(incoming.size()));
        if (count > 0) {
            std::memcpy(buffer, incoming.data(), static_cast<std::size_t>(count));
            incoming.erase(incoming.begin(), incoming.begin() + count);
        }
        if (status != nullptr) {
            *status = StatusCode();
        }
        return count;
    }
    void read_async(korvane_buf_t buffer, korvane_buf_len_t length, read_handler_t callback, bool all) override
    {
        StatusCode status;
        const korvane_buf_len_t count = read(buffer, length, &status, all);
        callback(*this, count, buffer, length, status);
    }
    korvane_buf_len_t write(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status) override
    {
        writes.emplace_back(buffer, length);
        if (!write_results.empty()) {
            auto [count, result] = write_results.front();
            write_results.pop_front();
            if (count < 0 && status != nullptr) {
                *status = result;
            }
            return count;
        }
        const auto* bytes = static_cast<const unsigned char*>(buffer);
        outgoing.insert(outgoing.end(), bytes, bytes + length);
        return length;
    }
    void write_async(korvane_buf_t buffer, korvane_buf_len_t length, write_handler_t callback) override
    {
        StatusCode status;
        const korvane_buf_len_t count = write(buffer, length, &status);
        callback(*this, count, status);
    }
    StatusCode close() override { return StatusCode(); }
    StatusCode start() override { return StatusCode(); }
    void stop() override {}

private:
    static StatusCode unsupported()
    {
        return StatusCode(StatusCode::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Unsupported operation");
    }
};

} // namespace testing
} // namespace korvane
