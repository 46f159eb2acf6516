// One connection as a message socket: encode, frame, send; receive, unframe,
// decode. Completion handlers never touch the socket after the user's
// callback, which may destroy it.
#include "socket/BasicSocket.hpp"

#include <utility>

#include "pipeline/decoder/Decryptor.hpp"
#include "transport/TCPTransport.hpp"
#include "transport/TLSTransport.hpp"
#include "pipeline/encoder/Encryptor.hpp"

namespace korvane {

using Status = Transport::StatusCode;

Socket BasicSocket::create(std::unique_ptr<Transport> transport)
{
    if (!transport) {
        return Socket();
    }
    return Socket(new BasicSocket(std::move(transport)));
}

Socket BasicSocket::create(std::unique_ptr<TransportFramer> transportFramer)
{
    if (!transportFramer || !transportFramer->transport()) {
        return Socket();
    }
    return Socket(new BasicSocket(std::move(transportFramer)));
}

BasicSocket::BasicSocket(std::unique_ptr<Transport> transport)
    : BasicSocket(std::make_unique<TransportFramer>(std::move(transport)))
{
}

BasicSocket::BasicSocket(std::unique_ptr<TransportFramer> transportFramer)
    : m_transport_framer(std::move(transportFramer)), m_pipeline(), m_recv_pending(false), m_send_pending(false)
{
}

BasicSocket::~BasicSocket()
{
    close();
}

namespace {

// The transports keep their sockets protected; a derived class may name the
// member, and the pointer to it then applies to any transport of that class.
template <typename T>
struct SocketMember : T {
    static asio::ip::tcp::socket T::*get() { return &SocketMember::m_socket; }
};

template <typename T>
int descriptor_of(Transport* transport)
{
    T* typed = dynamic_cast<T*>(transport);
    if (typed == nullptr) return -1;
    asio::ip::tcp::socket& socket = typed->*SocketMember<T>::get();
    return socket.is_open() ? static_cast<int>(socket.native_handle()) : -1;
}

} // namespace

int BasicSocket::native_handle() noexcept
{
    const std::shared_ptr<Transport> connection = transport();
    if (!connection) return -1;
    const int tcp = descriptor_of<TCPTransport>(connection.get());
    return tcp >= 0 ? tcp : descriptor_of<TLSTransport>(connection.get());
}

std::shared_ptr<Transport> BasicSocket::transport()
{
    return m_transport_framer->transport();
}

std::unique_ptr<BasicSocket> BasicSocket::adopt(std::unique_ptr<Transport> transport)
{
    std::unique_ptr<BasicSocket> socket(new BasicSocket(std::move(transport)));
    socket->m_pipeline = m_pipeline;
    return socket;
}

// ---------------------------------------------------------------- connection

Status BasicSocket::connect(std::string address, Transport::port_t port) noexcept
{
    const Status status = transport()->connect(std::move(address), port);
    if (status.code() < 0) {
        return status;
    }
    return perform_public_key_exchange(*this);
}

void BasicSocket::connect(std::string address, Transport::port_t port, connect_handler_t callback) noexcept
{
    transport()->connect_async(std::move(address), port, [this, callback](Transport&, Status status) {
        if (status.code() >= 0) {
            status = perform_public_key_exchange(*this);
        }
        callback(*this, status);
    });
}

Status BasicSocket::bind(Transport::port_t port, std::string address) noexcept
{
    return transport()->bind(port, std::move(address));
}

Socket BasicSocket::accept(Transport::StatusCode* status) noexcept
{
    std::unique_ptr<Transport> connection = transport()->accept(status);
    if (!connection) {
        return Socket();
    }
    std::unique_ptr<BasicSocket> socket = adopt(std::move(connection));
    const Status result = perform_public_key_exchange(*socket);
    if (result.code() < 0) {
        socket->close();
        socket.reset();
    }
    if (status != nullptr) {
        *status = result;
    }
    return socket;
}

void BasicSocket::accept_async(accept_handler_t callback) noexcept
{
    transport()->accept_async([this, callback](Transport&, std::unique_ptr<Transport> connection, Status status) {
        if (!connection) {
            callback(*this, Socket(), status);
            return;
        }
        std::unique_ptr<BasicSocket> socket = adopt(std::move(connection));
        if (status.code() >= 0) {
            status = perform_public_key_exchange(*socket);
        }
        callback(*this, std::move(socket), status);
    });
}

Status BasicSocket::perform_public_key_exchange(BasicSocket& socket)
{
    Status status;
    const Pipeline::EncoderEntry encoder = socket.m_pipeline.encoder<Encryptor>();
    const Pipeline::DecoderEntry decoder = socket.m_pipeline.decoder<Decryptor>();
    if (!encoder || !decoder) {
        return status;
    }
    // Both lookups matched on type, so these casts cannot fail.
    Encryptor& encryptor = static_cast<Encryptor&>(*encoder);
    Decryptor& decryptor = static_cast<Decryptor&>(*decoder);
    if (!Encryptor::public_key_equal(encryptor.public_key(), decryptor.public_key())) {
        return Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Encryptor and decryptor public keys differ");
    }
    const auto key_length = static_cast<korvane_buf_len_t>(Encryptor::public_key_length());
    status = socket.m_transport_framer->message(Message(encryptor.public_key(), key_length));
    if (status.code() < 0) {
        return status;
    }
    const Message peer_key = socket.m_transport_framer->message(&status);
    if (status.code() < 0) {
        return status;
    }
    if (peer_key.null() || peer_key.length() != key_length) {
        return Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Invalid public key length");
    }
    const auto* key = static_cast<const unsigned char*>(peer_key.buffer());
    encryptor.public_key(key);
    decryptor.public_key(key);
    return status;
}

// ---------------------------------------------------------------- messages

Message BasicSocket::recv(Transport::StatusCode* status) noexcept
{
    Message frame = m_transport_framer->message(status);
    if (frame.null()) {
        return Message();
    }
    Message decoded = m_pipeline.decode(std::move(frame), status);
    return decoded.null() ? Message() : std::move(decoded);
}

void BasicSocket::recv(recv_handler_t callback) noexcept
{
    m_recv_pending = true;
    m_transport_framer->message([this, callback](TransportFramer&, Message frame, Status status) {
        m_recv_pending = false;
        if (frame.null()) {
            callback(*this, Message(), status);
            return;
        }
        Message decoded = m_pipeline.decode(std::move(frame), &status);
        callback(*this, decoded.null() ? Message() : std::move(decoded), status);
    });
}

Message BasicSocket::encode_copy(const Message& message, Transport::StatusCode* status)
{
    // The encoders consume their input: give them a copy of the caller's bytes.
    return m_pipeline.encode(Message(message), status);
}

Status BasicSocket::send_copy(const Message& message)
{
    Status status;
    Message encoded = encode_copy(message, &status);
    if (encoded.null()) {
        return status;
    }
    return m_transport_framer->message(std::move(encoded));
}

void BasicSocket::send_copy(const Message& message, send_handler_t callback)
{
    Status status;
    Message encoded = encode_copy(message, &status);
    if (encoded.null()) {
        callback(*this, status);
        return;
    }
    m_send_pending = true;
    m_transport_framer->message(std::move(encoded), [this, callback](TransportFramer&, long bytes, Status result) {
        m_send_pending = false;
        if (result.code() >= 0 && bytes == 0) {
            result = Status(Status::TRANSPORT_STATUS_BROKEN_PIPE, "Connection reset by peer");
        }
        callback(*this, result);
    });
}

Status BasicSocket::send(Message& message) noexcept
{
    return send_copy(message);
}

Status BasicSocket::send(Message&& message) noexcept
{
    return send_copy(message);
}

void BasicSocket::send(Message& message, send_handler_t callback) noexcept
{
    send_copy(message, std::move(callback));
}

void BasicSocket::send(Message&& message, send_handler_t callback) noexcept
{
    send_copy(message, std::move(callback));
}

// ---------------------------------------------------------------- control

Status BasicSocket::close() noexcept
{
    m_recv_pending = true;
    m_send_pending = true;
    return transport()->close();
}

Status BasicSocket::start() noexcept
{
    return transport()->start();
}

void BasicSocket::stop() noexcept
{
    transport()->stop();
}

bool BasicSocket::recv_pending() const noexcept
{
    return m_recv_pending;
}

bool BasicSocket::send_pending() const noexcept
{
    return m_send_pending;
}

Pipeline& BasicSocket::pipeline() noexcept
{
    return m_pipeline;
}

void BasicSocket::timeouts(const Timeouts& timeouts) noexcept
{
    m_timeouts = timeouts;
}

Timeouts BasicSocket::timeouts() const noexcept
{
    return m_timeouts;
}

} // namespace korvane
