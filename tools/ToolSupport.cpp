// Option parsing, socket construction and loop threads for the tools.
#include "ToolSupport.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace korvane {
namespace tools {

namespace {

std::string value_of(int argc, char** argv, int& i)
{
    const std::string option = argv[i];
    if (i + 1 >= argc) {
        throw UsageError(option + ": missing value");
    }
    return argv[++i];
}

// ------------------------------------------------------------------ sessions
// --session, --identity FILE and --peer-key FILE: the keys are read while
// parsing, so a bad file is a usage error before anything connects.

bool parse_session_option(int argc, char** argv, int& i, Connection& c)
{
    const std::string option = argv[i];
    Transport::StatusCode status;
    if (option == "--session") {
        c.session = true;
    } else if (option == "--identity") {
        status = crypto::KeyFile::read_key_pair(value_of(argc, argv, i), c.session_public, c.session_secret);
        c.session_identity = true;
    } else if (option == "--peer-key") {
        session_peer_key_t peer;
        status = crypto::KeyFile::read_public_key(value_of(argc, argv, i), peer);
        c.session_peers.push_back(peer);
    } else {
        return false;
    }
    if (!status) {
        throw UsageError(option + ": " + status.message());
    }
    return true;
}

void validate_session(const Connection& c)
{
    if (!c.session && (c.session_identity || !c.session_peers.empty())) {
        throw UsageError(c.session_identity ? "--identity: needs --session" : "--peer-key: needs --session");
    }
    if (c.session && c.encrypt) {
        throw UsageError("--session: cannot be combined with --encrypt");
    }
}

void add_session_stages(Pipeline& pipeline, const Connection& c)
{
    crypto::XSalsa20::xsalsa20_asymmetric_public_key_t pk;
    crypto::XSalsa20::xsalsa20_asymmetric_secret_key_t sk;
    if (c.session_identity) {
        std::memcpy(pk, c.session_public, sizeof pk);
        std::memcpy(sk, c.session_secret, sizeof sk);
    } else {
        crypto::XSalsa20::key_pair(pk, sk);
    }
    pipeline.append_encoder(std::make_shared<SessionEncryptor>(pk, sk, c.session_peers));
    pipeline.append_decoder(std::make_shared<SessionDecryptor>(pk, sk, c.session_peers));
    crypto::XSalsa20::wipe(sk, sizeof sk);
}

} // namespace

std::uint16_t parse_port(const std::string& option, const std::string& text)
{
    return static_cast<std::uint16_t>(parse_number(option, text, 1, 65535));
}

long long parse_number(const std::string& option, const std::string& text, long long min, long long max)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < min || value > max) {
        throw UsageError(option + ": expected a whole number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", got '" + text + "'");
    }
    return value;
}

bool parse_connection_option(int argc, char** argv, int& i, Connection& c)
{
    const std::string option = argv[i];
    if (option == "--listen") {
        c.listen_port = value_of(argc, argv, i);
        parse_port(option, c.listen_port);
    } else if (option == "--connect") {
        const std::string target = value_of(argc, argv, i);
        const auto colon = target.rfind(':');
        if (colon == std::string::npos || colon == 0) {
            throw UsageError("--connect: expected HOST:PORT, got '" + target + "'");
        }
        c.connect_host = target.substr(0, colon);
        if (c.connect_host.size() > 2 && c.connect_host.front() == '[' && c.connect_host.back() == ']') {
            c.connect_host = c.connect_host.substr(1, c.connect_host.size() - 2);
        }
        c.connect_port = parse_port(option, target.substr(colon + 1));
    } else if (option == "--transport") {
        const std::string kind = value_of(argc, argv, i);
        if (kind == "tcp") c.transport = TransportKind::tcp;
        else if (kind == "tls") c.transport = TransportKind::tls;
        else if (kind == "udt") c.transport = TransportKind::udt;
        else throw UsageError("--transport: expected tcp, tls or udt, got '" + kind + "'");
    } else if (option == "--connections") {
        c.connections = static_cast<int>(parse_number(option, value_of(argc, argv, i), 1, 64));
    } else if (option == "--compress") {
        c.compress = true;
    } else if (option == "--encrypt") {
        c.encrypt = true;
    } else if (option == "--cert") {
        c.certificate = value_of(argc, argv, i);
    } else if (option == "--key") {
        c.key = value_of(argc, argv, i);
    } else if (option == "--verify") {
        c.verify = true;
    } else if (option == "--udp-buffer") {
        c.udp_buffer = static_cast<int>(parse_number(option, value_of(argc, argv, i), 0, 1 << 30));
    } else if (parse_session_option(argc, argv, i, c)) {
    } else {
        return false;
    }
    return true;
}

void validate(const Connection& c, bool asynchronous)
{
    if (c.listening() && c.connecting()) {
        throw UsageError("--listen: cannot be combined with --connect");
    }
    if (c.transport == TransportKind::udt && c.connections > 1) {
        throw UsageError("--connections: multiplexed sockets need an asynchronous transport (tcp or tls), not udt");
    }
    if (c.transport == TransportKind::udt && asynchronous) {
        throw UsageError("--async: the udt transport is blocking only");
    }
    if (c.certificate.empty() != c.key.empty()) {
        throw UsageError(c.certificate.empty() ? "--key: needs --cert as well" : "--cert: needs --key as well");
    }
    validate_session(c);
}

const char* connection_usage()
{
    return "  --listen PORT            wait for the peer on PORT (all interfaces)\n"
           "  --connect HOST:PORT      connect to a peer started with --listen\n"
           "  --transport tcp|tls|udt  byte stream under the socket (default tcp)\n"
           "  --connections N          N > 1: one multiplexed socket over N connections\n"
           "  --compress               LZ4-compress every message\n"
           "  --encrypt                seal every message (fresh key pair, exchanged on connect)\n"
           "  --session                authenticated session encryption, fresh keys per connection\n"
           "  --identity FILE          --session: this end's key pair (korvane-keygen's NAME.key;\n"
           "                           default: a fresh pair, which no peer can pin)\n"
           "  --peer-key FILE          --session: accept only this peer key (NAME.pub; repeatable)\n"
           "  --cert FILE --key FILE   TLS listener's PEM certificate chain and key\n"
           "                           (default: a self-signed one made for this run)\n"
           "  --verify                 TLS client verifies the server's certificate\n"
           "  --udp-buffer BYTES       UDT send and receive buffers (0: the UDT library's\n"
           "                           default; without it: the transport's 65536)\n";
}

const char* name(TransportKind kind)
{
    switch (kind) {
    case TransportKind::tcp: return "tcp";
    case TransportKind::tls: return "tls";
    case TransportKind::udt: return "udt";
    }
    return "?";
}

std::string pipeline_name(const Connection& c)
{
    if (c.session) return c.compress ? "lz4+session" : "session";
    if (c.compress && c.encrypt) return "lz4+box";
    if (c.compress) return "lz4";
    if (c.encrypt) return "box";
    return "none";
}

// ------------------------------------------------------------------ certificate

namespace {

void add_extension(X509* certificate, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) throw std::runtime_error("certificate extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

void write_pem(const std::string& path, EVP_PKEY* key, X509* certificate)
{
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) throw std::runtime_error("cannot write " + path);
    const int ok = key != nullptr ? PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr)
                                  : PEM_write_X509(file, certificate);
    std::fclose(file);
    if (ok != 1) throw std::runtime_error("cannot write " + path);
}

} // namespace

TemporaryCertificate::TemporaryCertificate()
{
    char pattern[] = "/tmp/korvane-cert-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
    m_directory = pattern;
    m_certificate = m_directory + "/server.pem";
    m_key = m_directory + "/server.key";

    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    if (key == nullptr || certificate == nullptr) throw std::runtime_error("certificate allocation");
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* subject = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate, subject);
    add_extension(certificate, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    add_extension(certificate, NID_basic_constraints, "critical,CA:TRUE");
    if (X509_sign(certificate, key, EVP_sha256()) == 0) throw std::runtime_error("certificate signing");
    write_pem(m_key, key, nullptr);
    write_pem(m_certificate, nullptr, certificate);
    X509_free(certificate);
    EVP_PKEY_free(key);
}

TemporaryCertificate::~TemporaryCertificate()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
}

// ------------------------------------------------------------------ sockets

namespace {

std::unique_ptr<Transport> make_transport(const Connection& c, bool listener)
{
    switch (c.transport) {
    case TransportKind::tcp: return std::make_unique<TCPTransport>();
    case TransportKind::tls:
        if (listener) return std::make_unique<TLSTransport>(c.certificate, c.key);
        return std::make_unique<TLSTransport>(c.verify);
    case TransportKind::udt:
        if (c.udp_buffer < 0) return std::make_unique<UDTTransport>();
        return std::make_unique<UDTTransport>(c.udp_buffer, c.udp_buffer);
    }
    return nullptr;
}

Socket make_basic_socket(const Connection& c, bool listener)
{
    Socket socket = BasicSocket::create(make_transport(c, listener));
    Pipeline& pipeline = socket->pipeline();
    crypto::XSalsa20::xsalsa20_asymmetric_public_key_t pk;
    crypto::XSalsa20::xsalsa20_asymmetric_secret_key_t sk;
    crypto::XSalsa20::key_pair(pk, sk);
    // Decoders undo the peer's encoders in reverse order.
    if (c.compress) pipeline.append_encoder(std::make_shared<Compressor>());
    if (c.session) {
        add_session_stages(pipeline, c);
    } else if (c.encrypt) {
        pipeline.append_encoder(std::make_shared<Encryptor>(pk, sk));
        pipeline.append_decoder(std::make_shared<Decryptor>(pk, sk));
    }
    if (c.compress) pipeline.append_decoder(std::make_shared<Decompressor>());
    return socket;
}

} // namespace

Socket make_socket(const Connection& c, bool listener)
{
    if (c.connections == 1) {
        return make_basic_socket(c, listener);
    }
    std::vector<Socket> underlying;
    const int count = listener ? 1 : c.connections;
    for (int i = 0; i < count; ++i) {
        underlying.push_back(make_basic_socket(c, listener));
    }
    return MultiplexedSocket::create(std::move(underlying));
}

namespace {

// The transports keep their loop to themselves; a derived class may name it,
// which is all a work guard needs.
template <typename T>
struct LoopOf : T {
    static asio::io_service& service() { return T::m_io_service; }
};

} // namespace

LoopThreads::LoopThreads(TransportKind kind, int count)
{
    if (kind == TransportKind::udt || count == 0) return; // no event loop to run
    if (kind == TransportKind::tcp) {
        m_control = std::make_unique<TCPTransport>();
        m_guard = std::make_unique<asio::executor_work_guard<asio::io_service::executor_type>>(
            LoopOf<TCPTransport>::service().get_executor());
    } else {
        m_control = std::make_unique<TLSTransport>();
        m_guard = std::make_unique<asio::executor_work_guard<asio::io_service::executor_type>>(
            LoopOf<TLSTransport>::service().get_executor());
    }
    for (int i = 0; i < count; ++i) {
        add([this] {
            // start() returns whenever the loop runs out of work; go on
            // until told to stop.
            while (!m_stop) m_control->start();
        });
    }
}

LoopThreads::~LoopThreads()
{
    stop();
}

void LoopThreads::exited()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_running;
    m_exited.notify_all();
}

void LoopThreads::drain(std::chrono::milliseconds deadline)
{
    m_stop = true;
    m_guard.reset();
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool drained = m_exited.wait_for(lock, deadline, [this] { return m_running == 0; });
    lock.unlock();
    if (!drained && m_control) m_control->stop();
    join();
}

void LoopThreads::stop()
{
    m_stop = true;
    m_guard.reset();
    if (m_control) m_control->stop();
    join();
}

void LoopThreads::join()
{
    for (auto& thread : m_threads) {
        if (thread.joinable()) thread.join();
    }
}

void shut_down(LoopThreads& loops, std::initializer_list<SocketImpl*> sockets)
{
    for (SocketImpl* socket : sockets) {
        if (socket != nullptr) socket->close();
    }
    loops.drain();
}

Socket accept_peer(SocketImpl& listener, const Connection& c, LoopThreads& loops, Transport::StatusCode& status)
{
    if (c.connections == 1) {
        return listener.accept(&status);
    }
    // A multiplexed listener accepts only asynchronously; its start() arms
    // the accept loop and runs the event loop on a thread of its own.
    std::mutex mutex;
    std::condition_variable done;
    Socket accepted;
    bool arrived = false;
    listener.accept_async([&](SocketImpl&, Socket socket, Transport::StatusCode result) {
        std::lock_guard<std::mutex> lock(mutex);
        accepted = std::move(socket);
        status = result;
        arrived = true;
        done.notify_all();
    });
    loops.add([&listener] { listener.start(); }); // returns when the loop is stopped
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return arrived; });
    return accepted;
}

} // namespace tools
} // namespace korvane
