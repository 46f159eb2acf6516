// Callback framer: whole messages through the application's callbacks.
#include "transport/CallbackTransportFramer.hpp"

#include <exception>
#include <string>
#include <utility>

namespace korvane {

using Status = Transport::StatusCode;

CallbackTransportFramer::CallbackTransportFramer(std::unique_ptr<Transport> transport,
                                                 read_message_callback_t readMessage,
                                                 write_message_callback_t writeMessage)
    : TransportFramer(std::move(transport)), m_read_message_callback(std::move(readMessage)),
      m_write_message_callback(std::move(writeMessage))
{
}

CallbackTransportFramer::~CallbackTransportFramer() = default;

Message CallbackTransportFramer::message(Transport::StatusCode* status)
{
    Status failure;
    if (!m_read_message_callback) {
        failure = Status(Status::TRANSPORT_STATUS_INVALID_ARGUMENT, std::string());
    } else {
        try {
            return m_read_message_callback(status);
        } catch (const std::exception& error) {
            failure = Status(Status::TRANSPORT_STATUS_UNKNOWN, error.what());
        } catch (...) {
            // Not allowed of the callback, but no exception leaves the framer.
            failure = Status(Status::TRANSPORT_STATUS_UNKNOWN, std::string());
        }
    }
    if (status != nullptr) {
        *status = failure;
    }
    return Message();
}

Transport::StatusCode CallbackTransportFramer::message(Message message)
{
    if (!m_write_message_callback) {
        return Status(Status::TRANSPORT_STATUS_INVALID_ARGUMENT, std::string());
    }
    try {
        return m_write_message_callback(std::move(message));
    } catch (const std::exception& error) {
        return Status(Status::TRANSPORT_STATUS_UNKNOWN, error.what());
    } catch (...) {
        return Status(Status::TRANSPORT_STATUS_UNKNOWN, std::string());
    }
}

} // namespace korvane
