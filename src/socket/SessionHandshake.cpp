// The session handshake as a state machine over whole frames. Nothing from
// the peer is trusted before the confirmation checks out: the hello is parsed
// at its exact size, its long-term key is checked against the accepted set
// before any key agreement, and no stage holds a key until the end.
#include "socket/SessionHandshake.hpp"

#include <sodium.h>

#include <cstring>
#include <utility>

#include "pipeline/SessionKeys.hpp"
#include "pipeline/decoder/Decryptor.hpp"
#include "pipeline/decoder/SessionDecryptor.hpp"
#include "pipeline/encoder/Encryptor.hpp"
#include "pipeline/encoder/SessionEncryptor.hpp"

namespace korvane {
namespace detail {

using Status = Transport::StatusCode;

namespace {

constexpr unsigned char SESSION_VERSION = 1;
constexpr std::size_t KEY = SESSION_KEY_SIZE;
constexpr std::size_t HELLO_SIZE = 1 + 2 * KEY;
constexpr std::size_t CONFIRMATION_SIZE = 32;
const char TRANSCRIPT_LABEL[] = "korvane session v1";

static_assert(crypto_kx_PUBLICKEYBYTES == KEY && crypto_kx_SESSIONKEYBYTES == KEY, "kx sizes");
static_assert(crypto_scalarmult_BYTES == KEY, "scalarmult size");

const unsigned char* bytes(const Message& message)
{
    return static_cast<const unsigned char*>(message.buffer());
}

Status unsupported(const char* text)
{
    return Status(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, text);
}

// BLAKE2b keyed with a base key from crypto_kx, over a label and the rest of
// what the session depends on.
void derive(unsigned char* out, const unsigned char* base, const char* label, const unsigned char* transcript,
            const unsigned char* es, const unsigned char* se)
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, base, KEY, KEY);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(label), std::strlen(label));
    crypto_generichash_update(&state, transcript, KEY);
    crypto_generichash_update(&state, es, KEY);
    crypto_generichash_update(&state, se, KEY);
    crypto_generichash_final(&state, out, KEY);
    sodium_memzero(&state, sizeof state);
}

// The hash of both hellos, the initiator's first.
void hash_transcript(unsigned char* out, const unsigned char* initiator_hello, const unsigned char* responder_hello)
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, KEY);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(TRANSCRIPT_LABEL),
                              sizeof TRANSCRIPT_LABEL - 1);
    crypto_generichash_update(&state, initiator_hello, HELLO_SIZE);
    crypto_generichash_update(&state, responder_hello, HELLO_SIZE);
    crypto_generichash_final(&state, out, KEY);
}

// The agreements and the keys between them, wiped on every path.
struct AgreedKeys {
    unsigned char rx[KEY], tx[KEY], es[KEY], se[KEY], own_confirm[KEY], peer_confirm[KEY];
    ~AgreedKeys() { sodium_memzero(this, sizeof *this); }
};

} // namespace

// Everything secret or half-checked between start() and the end; wiped.
struct SessionHandshake::Secrets {
    unsigned char own_hello[HELLO_SIZE];
    unsigned char ephemeral_public[KEY];
    unsigned char ephemeral_secret[KEY];
    unsigned char send_key[KEY];
    unsigned char receive_key[KEY];
    unsigned char peer_confirmation[CONFIRMATION_SIZE];

    ~Secrets() { sodium_memzero(this, sizeof *this); }
};

std::unique_ptr<Handshake> SessionHandshake::create(Pipeline& pipeline, bool initiator, Status* status)
{
    auto encryptor = std::dynamic_pointer_cast<SessionEncryptor>(pipeline.encoder<SessionEncryptor>());
    auto decryptor = std::dynamic_pointer_cast<SessionDecryptor>(pipeline.decoder<SessionDecryptor>());
    Status outcome;
    if (!encryptor && !decryptor) {
        outcome = Status();
    } else if (!encryptor || !decryptor) {
        outcome = unsupported("Session encryptor and decryptor must be used together");
    } else if (pipeline.encoder<Encryptor>() || pipeline.decoder<Decryptor>()) {
        outcome = unsupported("Session and plain encryption stages cannot be mixed");
    } else if (!encryptor->m_keys->identity->same_as(*decryptor->m_keys->identity)) {
        outcome = unsupported("Session encryptor and decryptor keys differ");
    }
    if (status != nullptr) {
        *status = outcome;
    }
    if (!encryptor || !decryptor || !outcome) {
        return nullptr;
    }
    return std::make_unique<SessionHandshake>(std::move(encryptor), std::move(decryptor), initiator);
}

SessionHandshake::SessionHandshake(std::shared_ptr<SessionEncryptor> encryptor,
                                   std::shared_ptr<SessionDecryptor> decryptor, bool initiator)
    : m_encryptor(std::move(encryptor)), m_decryptor(std::move(decryptor)), m_initiator(initiator)
{
}

SessionHandshake::~SessionHandshake() = default;

Handshake::Step SessionHandshake::fail(Status::transport_status_code_t code, const char* text)
{
    m_state = State::failed;
    m_secrets.reset();
    Step step;
    step.status = Status(code, text);
    return step;
}

Handshake::Step SessionHandshake::start()
{
    if (m_state != State::fresh) {
        return fail(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Unexpected handshake frame");
    }
    m_secrets = std::make_unique<Secrets>();
    Secrets& s = *m_secrets;
    crypto_kx_keypair(s.ephemeral_public, s.ephemeral_secret);
    s.own_hello[0] = SESSION_VERSION;
    std::memcpy(s.own_hello + 1, m_encryptor->m_keys->identity->public_key, KEY);
    std::memcpy(s.own_hello + 1 + KEY, s.ephemeral_public, KEY);
    m_state = State::awaiting_hello;
    Step step;
    step.out.emplace_back(s.own_hello, static_cast<korvane_buf_len_t>(HELLO_SIZE));
    return step;
}

Handshake::Step SessionHandshake::receive(Message frame)
{
    switch (m_state) {
    case State::awaiting_hello:
        return on_hello(frame);
    case State::awaiting_confirmation:
        return on_confirmation(frame);
    default:
        return fail(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Unexpected handshake frame");
    }
}

Handshake::Step SessionHandshake::on_hello(const Message& hello)
{
    if (hello.null() || static_cast<std::size_t>(hello.length()) != HELLO_SIZE) {
        return fail(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Malformed session hello");
    }
    if (bytes(hello)[0] != SESSION_VERSION) {
        return fail(Status::TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, "Unsupported session version");
    }
    if (!m_encryptor->m_keys->identity->accepts(bytes(hello) + 1)) {
        return fail(Status::TRANSPORT_STATUS_ACCESS_DENIED, "Peer key not accepted");
    }
    unsigned char confirmation[CONFIRMATION_SIZE];
    if (!derive_keys(bytes(hello), confirmation)) {
        return fail(Status::TRANSPORT_STATUS_ACCESS_DENIED, "Peer authentication failed");
    }
    Step step;
    step.out.emplace_back(confirmation, static_cast<korvane_buf_len_t>(sizeof confirmation));
    m_state = State::awaiting_confirmation;
    return step;
}

bool SessionHandshake::derive_keys(const unsigned char* peer_hello, unsigned char* confirmation)
{
    Secrets& s = *m_secrets;
    const unsigned char* peer_static = peer_hello + 1;
    const unsigned char* peer_ephemeral = peer_hello + 1 + KEY;
    unsigned char transcript[KEY];
    hash_transcript(transcript, m_initiator ? s.own_hello : peer_hello, m_initiator ? peer_hello : s.own_hello);

    // ee per direction from crypto_kx (client = initiator), then the two
    // agreements that tie each ephemeral key to the other end's identity.
    AgreedKeys k;
    const int kx = m_initiator ? crypto_kx_client_session_keys(k.rx, k.tx, s.ephemeral_public, s.ephemeral_secret,
                                                               peer_ephemeral)
                               : crypto_kx_server_session_keys(k.rx, k.tx, s.ephemeral_public, s.ephemeral_secret,
                                                               peer_ephemeral);
    const int first = crypto_scalarmult(m_initiator ? k.es : k.se, s.ephemeral_secret, peer_static);
    const int second = crypto_scalarmult(m_initiator ? k.se : k.es, m_encryptor->m_keys->identity->secret_key,
                                         peer_ephemeral);
    sodium_memzero(s.ephemeral_secret, KEY);
    if (kx != 0 || first != 0 || second != 0) {
        return false;
    }
    derive(s.send_key, k.tx, "message", transcript, k.es, k.se);
    derive(s.receive_key, k.rx, "message", transcript, k.es, k.se);
    derive(k.own_confirm, k.tx, m_initiator ? "initiator confirms" : "responder confirms", transcript, k.es, k.se);
    derive(k.peer_confirm, k.rx, m_initiator ? "responder confirms" : "initiator confirms", transcript, k.es, k.se);
    crypto_generichash(confirmation, CONFIRMATION_SIZE, transcript, KEY, k.own_confirm, KEY);
    crypto_generichash(s.peer_confirmation, CONFIRMATION_SIZE, transcript, KEY, k.peer_confirm, KEY);
    return true;
}

Handshake::Step SessionHandshake::on_confirmation(const Message& confirmation)
{
    Secrets& s = *m_secrets;
    if (confirmation.null() || static_cast<std::size_t>(confirmation.length()) != CONFIRMATION_SIZE
        || sodium_memcmp(bytes(confirmation), s.peer_confirmation, CONFIRMATION_SIZE) != 0) {
        return fail(Status::TRANSPORT_STATUS_ACCESS_DENIED, "Peer authentication failed");
    }
    m_encryptor->m_keys->channel.install(s.send_key);
    m_decryptor->m_keys->channel.install(s.receive_key);
    m_secrets.reset();
    m_state = State::done;
    Step step;
    step.done = true;
    return step;
}

} // namespace detail
} // namespace korvane
