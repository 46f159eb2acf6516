// An in-memory SocketImpl whose asynchronous operations complete only when a
// test says so: sends can be completed in any order or failed, receives fed
// crafted frames or failed, connects and accepts answered on command. Two
// fakes can be linked so that a completed send lands in the peer's inbox.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "socket/SocketImpl.hpp"

namespace korvane {
namespace testing {

class FakeSocket : public SocketImpl {
public:
    using Status = Transport::StatusCode;

    // Scripted outcomes of the blocking calls.
    Status connect_result;
    Status bind_result;
    Status blocking_send_result;

    /// When set, asynchronous sends fail with it before send() returns, as an
    /// encoder failure or an oversized message does.
    std::optional<Status> fail_sends_at_once;
    /// Whether close() aborts outstanding operations, as transports do.
    bool abort_on_close = true;
    /// Set to true when the fake is destroyed (dropped connections).
    bool* destroyed = nullptr;
    /// The same for fakes dropped on another thread.
    std::atomic<int>* gone = nullptr;

    ~FakeSocket() override
    {
        if (destroyed != nullptr) {
            *destroyed = true;
        }
        if (gone != nullptr) {
            ++*gone;
        }
    }

    static void link(FakeSocket& a, FakeSocket& b)
    {
        a.m_peer = &b;
        b.m_peer = &a;
    }

    // ---- observations
    std::vector<Message> sent() const { return locked([&] { return m_sent; }); }
    std::size_t pending_sends() const { return locked([&] { return m_sends.size(); }); }
    bool recv_armed() const { return locked([&] { return m_recv.has_value(); }); }
    bool accept_armed() const { return locked([&] { return m_accept.has_value(); }); }
    bool closed() const { return locked([&] { return m_closed; }); }
    int starts() const { return locked([&] { return m_starts; }); }
    int stops() const { return locked([&] { return m_stops; }); }
    void clear_inbox() { locked([&] { m_inbox.clear(); return 0; }); }

    // ---- control
    /// Completes pending send `index` (0 = oldest); on success its message
    /// lands in the peer's inbox.
    void complete_send(std::size_t index = 0, Status status = Status())
    {
        if (index >= pending_sends()) {
            ADD_FAILURE() << "no pending send " << index << " to complete";
            return;
        }
        std::pair<Message, send_handler_t> send = locked([&] {
            auto it = m_sends.begin() + static_cast<std::ptrdiff_t>(index);
            auto taken = std::move(*it);
            m_sends.erase(it);
            return taken;
        });
        if (status.code() >= 0 && m_peer != nullptr) {
            m_peer->push_inbox(send.first);
        }
        send.second(*this, status);
    }

    void push_inbox(Message message)
    {
        locked([&] { m_inbox.push_back(std::move(message)); return 0; });
    }

    /// Hands the oldest inbox message to the armed receive; false if either
    /// is missing.
    bool deliver(Status status = Status())
    {
        std::optional<std::pair<recv_handler_t, Message>> ready = locked([&] {
            std::optional<std::pair<recv_handler_t, Message>> taken;
            if (m_recv && !m_inbox.empty()) {
                taken.emplace(std::move(*m_recv), std::move(m_inbox.front()));
                m_recv.reset();
                m_inbox.pop_front();
            }
            return taken;
        });
        if (!ready) {
            return false;
        }
        ready->first(*this, std::move(ready->second), status);
        return true;
    }

    /// Completes the armed receive with a null message.
    void fail_recv(Status status = Status(Status::TRANSPORT_STATUS_CONNECTION_RESET, "reset"))
    {
        recv_handler_t callback = locked([&] { auto cb = std::move(*m_recv); m_recv.reset(); return cb; });
        callback(*this, Message(), status);
    }

    void complete_connect(Status status = Status())
    {
        connect_handler_t callback = locked([&] { auto cb = std::move(m_connects.front()); m_connects.pop_front(); return cb; });
        callback(*this, status);
    }

    void complete_accept(Socket socket, Status status = Status())
    {
        accept_handler_t callback = locked([&] { auto cb = std::move(*m_accept); m_accept.reset(); return cb; });
        callback(*this, std::move(socket), status);
    }

    // ---- SocketImpl
    Status connect(std::string, Transport::port_t) noexcept override { return connect_result; }
    void connect(std::string, Transport::port_t, connect_handler_t callback) noexcept override
    {
        locked([&] { m_connects.push_back(std::move(callback)); return 0; });
    }
    Status bind(Transport::port_t, std::string) noexcept override { return bind_result; }
    Socket accept(Status*) noexcept override { return Socket(); }
    void accept_async(accept_handler_t callback) noexcept override
    {
        locked([&] { m_accept = std::move(callback); return 0; });
    }
    Message recv(Status*) noexcept override { return Message(); }
    void recv(recv_handler_t callback) noexcept override
    {
        locked([&] { m_recv = std::move(callback); return 0; });
    }
    Status send(Message& message) noexcept override
    {
        locked([&] { m_sent.push_back(message); return 0; });
        if (blocking_send_result.code() >= 0 && m_peer != nullptr) {
            m_peer->push_inbox(message);
        }
        return blocking_send_result;
    }
    Status send(Message&& message) noexcept override { return send(message); }
    void send(Message& message, send_handler_t callback) noexcept override
    {
        if (fail_sends_at_once) {
            callback(*this, *fail_sends_at_once);
            return;
        }
        locked([&] {
            m_sent.push_back(message);
            m_sends.emplace_back(message, std::move(callback));
            return 0;
        });
    }
    void send(Message&& message, send_handler_t callback) noexcept override { send(message, std::move(callback)); }

    /// Like a real transport, a close aborts what is outstanding; here the
    /// handlers run at once, on the closing thread.
    Status close() noexcept override
    {
        std::deque<std::pair<Message, send_handler_t>> sends;
        std::optional<recv_handler_t> recv;
        std::optional<accept_handler_t> accept;
        locked([&] {
            m_closed = true;
            if (!abort_on_close) {
                return 0;
            }
            std::swap(sends, m_sends);
            std::swap(recv, m_recv);
            std::swap(accept, m_accept);
            return 0;
        });
        const Status aborted(Status::TRANSPORT_STATUS_OPERATION_ABORTED, "Operation aborted");
        for (auto& send : sends) {
            send.second(*this, aborted);
        }
        if (recv) {
            (*recv)(*this, Message(), aborted);
        }
        if (accept) {
            (*accept)(*this, Socket(), aborted);
        }
        return Status();
    }
    Status start() noexcept override { return locked([&] { ++m_starts; return Status(); }); }
    void stop() noexcept override { locked([&] { return ++m_stops; }); }
    bool recv_pending() const noexcept override { return locked([&] { return m_closed || m_recv.has_value(); }); }
    bool send_pending() const noexcept override { return locked([&] { return m_closed || !m_sends.empty(); }); }
    Pipeline& pipeline() noexcept override { return m_pipeline; }
    void timeouts(const Timeouts& timeouts) noexcept override { locked([&] { m_timeouts = timeouts; return 0; }); }
    Timeouts timeouts() const noexcept override { return locked([&] { return m_timeouts; }); }

private:
    template <typename F>
    auto locked(F f) const -> decltype(f())
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f();
    }

    mutable std::mutex m_mutex;
    FakeSocket* m_peer = nullptr;
    std::vector<Message> m_sent;
    std::deque<std::pair<Message, send_handler_t>> m_sends;
    std::deque<Message> m_inbox;
    std::optional<recv_handler_t> m_recv;
    std::optional<accept_handler_t> m_accept;
    std::deque<connect_handler_t> m_connects;
    bool m_closed = false;
    int m_starts = 0;
    int m_stops = 0;
    Pipeline m_pipeline;
    Timeouts m_timeouts;
};

} // namespace testing
} // namespace korvane
