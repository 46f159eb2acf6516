// The stages were looked up by type, so the downcasts below cannot fail.
#include "socket/KeyExchange.hpp"

#include <utility>

#include "pipeline/decoder/Decryptor.hpp"
#include "pipeline/encoder/Encryptor.hpp"

namespace korvane {
namespace detail {

using Status = Transport::StatusCode;

namespace {

Status invalid_key()
{
    return Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Invalid public key length");
}

korvane_buf_len_t key_length()
{
    return static_cast<korvane_buf_len_t>(Encryptor::public_key_length());
}

} // namespace

std::unique_ptr<Handshake> KeyExchange::for_pipeline(Pipeline& pipeline, Status* status)
{
    *status = Status();
    Pipeline::EncoderEntry encoder = pipeline.encoder<Encryptor>();
    Pipeline::DecoderEntry decoder = pipeline.decoder<Decryptor>();
    if (!encoder || !decoder) {
        return nullptr;
    }
    const auto& encryptor = static_cast<const Encryptor&>(*encoder);
    const auto& decryptor = static_cast<const Decryptor&>(*decoder);
    if (!Encryptor::public_key_equal(encryptor.public_key(), decryptor.public_key())) {
        *status = Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Encryptor and decryptor public keys differ");
        return nullptr;
    }
    return std::make_unique<KeyExchange>(std::move(encoder), std::move(decoder));
}

KeyExchange::KeyExchange(Pipeline::EncoderEntry encryptor, Pipeline::DecoderEntry decryptor)
    : m_encryptor(std::move(encryptor)), m_decryptor(std::move(decryptor))
{
}

Handshake::Step KeyExchange::start()
{
    Step step;
    step.out.emplace_back(static_cast<Encryptor&>(*m_encryptor).public_key(), key_length());
    return step;
}

Handshake::Step KeyExchange::receive(Message frame)
{
    Step step;
    step.done = true;
    if (frame.length() != key_length()) {
        step.status = invalid_key();
        return step;
    }
    const auto* key = static_cast<const unsigned char*>(frame.buffer());
    static_cast<Encryptor&>(*m_encryptor).public_key(key);
    static_cast<Decryptor&>(*m_decryptor).public_key(key);
    return step;
}

Status KeyExchange::peer_closed() const
{
    return invalid_key();
}

} // namespace detail
} // namespace korvane
