// The handshake driver. The blocking and the asynchronous run make the same
// steps in the same order; the asynchronous one keeps its state in one shared
// object that every completion holds, so nothing waits on the peer.
#include "socket/Handshake.hpp"

#include <new>
#include <utility>

#include "socket/KeyExchange.hpp"
#include "socket/SessionHandshake.hpp"

namespace korvane {
namespace detail {

using Status = Transport::StatusCode;

namespace {

const Transport::clock_t::time_point NO_DEADLINE = Transport::clock_t::time_point::max();

void bound(Transport& transport, Transport::clock_t::time_point deadline)
{
    transport.read_deadline(deadline);
    transport.write_deadline(deadline);
}

/// A transport's failure as the handshake reports it: a timeout names the
/// handshake, everything else is passed on.
Status named(const Handshake& handshake, Status status)
{
    if (status.code() == Status::TRANSPORT_STATUS_TIMEOUT) {
        return Status(Status::TRANSPORT_STATUS_TIMEOUT, handshake.timeout_text());
    }
    return status;
}

Status no_memory()
{
    return Status(Status::TRANSPORT_STATUS_NO_MEMORY, "Out of memory during the handshake");
}

Status unwritten()
{
    return Status(Status::TRANSPORT_STATUS_BROKEN_PIPE, "Connection reset by peer");
}

bool ends(const Handshake::Step& step)
{
    return step.done || step.status.code() < 0;
}

Status run_steps(Handshake& handshake, TransportFramer& framer)
{
    Handshake::Step step = handshake.start();
    for (;;) {
        for (Message& frame : step.out) {
            const Status sent = framer.message(std::move(frame));
            if (sent.code() < 0) {
                return named(handshake, sent);
            }
        }
        if (ends(step)) {
            return step.status;
        }
        Status status;
        Message frame = framer.message(&status);
        if (frame.null()) {
            return status.code() < 0 ? named(handshake, status) : handshake.peer_closed();
        }
        step = handshake.receive(std::move(frame));
    }
}

class AsyncRun : public std::enable_shared_from_this<AsyncRun> {
public:
    AsyncRun(std::shared_ptr<Handshake> handshake, std::shared_ptr<TransportFramer> framer, handshake_done_t done)
        : m_handshake(std::move(handshake)), m_framer(std::move(framer)), m_done(std::move(done))
    {
    }

    void begin()
    {
        guarded([this] { run(m_handshake->start()); });
    }

private:
    void run(Handshake::Step step)
    {
        m_step = std::move(step);
        m_next = 0;
        send_next();
    }

    void send_next()
    {
        std::shared_ptr<AsyncRun> self = shared_from_this();
        if (m_next < m_step.out.size()) {
            Message frame = std::move(m_step.out[m_next++]);
            m_framer->message(std::move(frame), [self](TransportFramer&, long bytes, Status status) {
                self->on_sent(bytes, std::move(status));
            });
        } else if (ends(m_step)) {
            finish(m_step.status);
        } else {
            m_framer->message([self](TransportFramer&, Message frame, Status status) {
                self->on_frame(std::move(frame), std::move(status));
            });
        }
    }

    void on_sent(long bytes, Status status)
    {
        if (status.code() < 0) {
            finish(named(*m_handshake, std::move(status)));
        } else if (bytes <= 0) {
            finish(unwritten());
        } else {
            guarded([this] { send_next(); });
        }
    }

    void on_frame(Message frame, Status status)
    {
        if (frame.null()) {
            finish(status.code() < 0 ? named(*m_handshake, std::move(status)) : m_handshake->peer_closed());
            return;
        }
        guarded([this, &frame] { run(m_handshake->receive(std::move(frame))); });
    }

    template <typename Step>
    void guarded(Step step)
    {
        try {
            step();
        } catch (const std::bad_alloc&) {
            finish(no_memory());
        }
    }

    // Runs `done` once; a late completion after a failure finds it gone.
    void finish(Status status)
    {
        if (!m_done) {
            return;
        }
        bound(*m_framer->transport(), NO_DEADLINE);
        handshake_done_t done = std::move(m_done);
        m_done = nullptr;
        done(std::move(status));
    }

    std::shared_ptr<Handshake> m_handshake;
    std::shared_ptr<TransportFramer> m_framer;
    handshake_done_t m_done;
    Handshake::Step m_step;
    std::size_t m_next = 0;
};

} // namespace

std::unique_ptr<Handshake> handshake_for(Pipeline& pipeline, bool initiator, Status* status)
{
    Status ignored;
    Status* outcome = status != nullptr ? status : &ignored;
    // Session stages take precedence; a pipeline mixing them with the plain
    // stages is refused there rather than half served by the plain exchange.
    std::unique_ptr<Handshake> session = SessionHandshake::create(pipeline, initiator, outcome);
    if (session || !*outcome) {
        return session;
    }
    return KeyExchange::for_pipeline(pipeline, outcome); // symmetric: no initiator
}

Status run_handshake(Handshake& handshake, TransportFramer& framer, Transport::clock_t::time_point deadline) noexcept
{
    Transport& transport = *framer.transport();
    bound(transport, deadline);
    Status status;
    try {
        status = run_steps(handshake, framer);
    } catch (const std::bad_alloc&) {
        status = no_memory();
    }
    bound(transport, NO_DEADLINE);
    return status;
}

void run_handshake_async(std::shared_ptr<Handshake> handshake, std::shared_ptr<TransportFramer> framer,
                         Transport::clock_t::time_point deadline, handshake_done_t done) noexcept
{
    std::shared_ptr<AsyncRun> run;
    try {
        run = std::make_shared<AsyncRun>(std::move(handshake), framer, std::move(done));
    } catch (const std::bad_alloc&) {
        done(no_memory());
        return;
    }
    bound(*framer->transport(), deadline);
    run->begin();
}

} // namespace detail
} // namespace korvane
