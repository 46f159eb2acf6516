// A framer whose blocking message operations are the application's: whole
// Messages go to and come from two callbacks, which own message boundaries
// and encoding. The asynchronous operations keep framing over the owned
// transport, which also stays reachable through transport().
#pragma once

#include <functional>
#include <memory>

#include "message/Message.hpp"
#include "transport/Transport.hpp"
#include "transport/TransportFramer.hpp"

namespace korvane {

class CallbackTransportFramer : public TransportFramer {
public:
    /// Produces the next message; sets `*status` itself (the pointer may be
    /// null) when it has something to report.
    using read_message_callback_t = std::function<Message(Transport::StatusCode*)>;
    /// Sends one message and returns the outcome.
    using write_message_callback_t = std::function<Transport::StatusCode(Message)>;

    /// Takes ownership of `transport`; keeps copies of the callbacks, either
    /// of which may be empty.
    CallbackTransportFramer(std::unique_ptr<Transport> transport, read_message_callback_t readMessage,
                            write_message_callback_t writeMessage);
    ~CallbackTransportFramer() override;

    /// The asynchronous forms stay the base framer's.
    using TransportFramer::message;

    /// Blocking: returns what the read callback returns, unchecked, leaving
    /// `*status` as the callback left it. Null Message with
    /// TRANSPORT_STATUS_INVALID_ARGUMENT when there is no callback, or
    /// TRANSPORT_STATUS_UNKNOWN with the text of an exception it threw.
    Message message(Transport::StatusCode* status) override;
    /// Blocking: hands the message to the write callback and returns its
    /// status; TRANSPORT_STATUS_INVALID_ARGUMENT when there is no callback,
    /// TRANSPORT_STATUS_UNKNOWN with the text of an exception it threw.
    Transport::StatusCode message(Message message) override;

protected:
    read_message_callback_t m_read_message_callback;
    write_message_callback_t m_write_message_callback;
};

} // namespace korvane
