// An in-memory Transport driven by a script: reads deliver `incoming` bytes,
// possibly cut short, writes are recorded or answered as scripted, and the
// asynchronous ones may be held back until the test completes them. Every
// call is recorded, so buffer ownership and request sizes can be seen.
// Header-only and free of GoogleTest, so fuzz targets can use it too.
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

/// What a ScriptedTransport delivers and what it saw. Kept apart from the
/// transport, so that a test still reads it once the socket that owned the
/// transport is gone; a scripted listener's connections share their
/// listener's.
struct Script {
    using StatusCode = Transport::StatusCode;

    /// Bytes the reads deliver, in order; then the end of the stream.
    std::vector<unsigned char> incoming;
    /// Per read call, the most it may deliver; unlimited once empty.
    std::deque<long> read_limits;
    /// Per write call, what it reports; everything, with OKAY, once empty.
    std::deque<std::pair<long, StatusCode>> write_results;
    /// When set, read_async and write_async keep their handler until
    /// complete_read() / complete_write() instead of completing at once.
    bool hold_completions = false;
    /// What connect and bind report; once OKAY, accept hands out a
    /// connection reading from this same script.
    StatusCode endpoint = StatusCode(StatusCode::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Unsupported operation");

    std::vector<long> read_requests;
    /// Reads asked with `all` false: the framer never needs one.
    long partial_read_requests = 0;
    std::vector<std::pair<const void*, long>> writes;
    std::vector<unsigned char> outgoing;
    int closes = 0;

    /// The operations held back while hold_completions is set.
    Transport::read_handler_t held_read;
    void* held_read_buffer = nullptr;
    long held_read_length = 0;
    Transport::write_handler_t held_write;
};

class ScriptedTransport : public Transport {
public:
    explicit ScriptedTransport(std::shared_ptr<Script> shared = std::make_shared<Script>())
        : script(std::move(shared))
    {
    }

    const std::shared_ptr<Script> script;

    StatusCode connect(std::string, port_t) override { return script->endpoint; }
    void connect_async(std::string, port_t, connect_handler_t callback) override { callback(*this, script->endpoint); }
    StatusCode bind(port_t, std::string) override { return script->endpoint; }
    std::unique_ptr<Transport> accept(StatusCode* status) override
    {
        if (status != nullptr) {
            *status = script->endpoint;
        }
        return !script->endpoint ? nullptr : std::make_unique<ScriptedTransport>(script);
    }
    void accept_async(accept_handler_t callback) override
    {
        StatusCode status;
        std::unique_ptr<Transport> connection = accept(&status);
        callback(*this, std::move(connection), status);
    }

    korvane_buf_len_t read(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status, bool all) override
    {
        if (!all) {
            ++script->partial_read_requests;
        }
        script->read_requests.push_back(length);
        long limit = length;
        if (!script->read_limits.empty()) {
            limit = std::min(limit, script->read_limits.front());
            script->read_limits.pop_front();
        }
        std::vector<unsigned char>& incoming = script->incoming;
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
        if (script->hold_completions) {
            script->held_read_buffer = buffer;
            script->held_read_length = static_cast<long>(length);
            script->held_read = std::move(callback);
            return;
        }
        StatusCode status;
        const korvane_buf_len_t count = read(buffer, length, &status, all);
        callback(*this, count, buffer, length, status);
    }
    korvane_buf_len_t write(korvane_buf_t buffer, korvane_buf_len_t length, StatusCode* status) override
    {
        script->writes.emplace_back(buffer, length);
        if (!script->write_results.empty()) {
            auto [count, result] = script->write_results.front();
            script->write_results.pop_front();
            if (count < 0 && status != nullptr) {
                *status = result;
            }
            return count;
        }
        const auto* bytes = static_cast<const unsigned char*>(buffer);
        script->outgoing.insert(script->outgoing.end(), bytes, bytes + length);
        return length;
    }
    void write_async(korvane_buf_t buffer, korvane_buf_len_t length, write_handler_t callback) override
    {
        StatusCode status;
        const korvane_buf_len_t count = write(buffer, length, &status);
        if (script->hold_completions) {
            script->held_write = std::move(callback);
            return;
        }
        callback(*this, count, status);
    }
    StatusCode close() override
    {
        ++script->closes;
        return StatusCode();
    }
    StatusCode start() override { return StatusCode(); }
    void stop() override {}

    /// Runs the held read's handler with `bytes` copied into its buffer;
    /// false when no read is held or the bytes do not fit. The handler is
    /// taken out of the script first, as a transport forgets a finished
    /// operation, and may destroy this transport.
    bool complete_read(const std::vector<unsigned char>& bytes)
    {
        const std::shared_ptr<Script> held = script;
        if (!held->held_read || bytes.size() > static_cast<std::size_t>(held->held_read_length)) {
            return false;
        }
        std::memcpy(held->held_read_buffer, bytes.data(), bytes.size());
        read_handler_t handler = std::move(held->held_read);
        held->held_read = nullptr;
        handler(*this, static_cast<long>(bytes.size()), held->held_read_buffer, held->held_read_length, StatusCode());
        return true;
    }

    /// Runs the held write's handler with `bytes` and `status`; false when
    /// no write is held. As complete_read().
    bool complete_write(long bytes, StatusCode status)
    {
        if (!script->held_write) {
            return false;
        }
        write_handler_t handler = std::move(script->held_write);
        script->held_write = nullptr;
        handler(*this, bytes, status);
        return true;
    }
};

} // namespace testing
} // namespace korvane
