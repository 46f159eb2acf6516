// A short tour of what the library does to one message: compress it, seal it
// for a peer, open and decompress it again, and hash it.
#include <cstdio>
#include <cstring>
#include <string>

#include "korvane.hpp"

using namespace korvane;
namespace x = korvane::crypto::XSalsa20;

static std::string hex(const void* data, std::size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

int main()
{
    if (!x::init()) {
        std::fprintf(stderr, "libsodium failed to initialise\n");
        return 1;
    }
    std::string text;
    for (int i = 0; i < 64; ++i) {
        text += "korvane carries whole messages. ";
    }
    Message plain(text.data(), static_cast<korvane_buf_len_t>(text.size()));

    Message packed(compression::LZ4::max_compression_size(plain.length()));
    packed.length(compression::LZ4::compress(plain.buffer(), packed.buffer(), plain.length(), packed.length()));

    x::xsalsa20_asymmetric_public_key_t alice_pk, bob_pk;
    x::xsalsa20_asymmetric_secret_key_t alice_sk, bob_sk;
    x::key_pair(alice_pk, alice_sk);
    x::key_pair(bob_pk, bob_sk);
    x::xsalsa20_asymmetric_nonce_t nonce;
    x::nonce(nonce, 0);

    Message sealed(x::encrypted_size_asymmetric(packed.length()));
    const bool sealed_ok = x::encrypt_asymmetric(packed.buffer(), sealed.buffer(), packed.length(), nonce, bob_pk, alice_sk);
    Message opened(x::dencrypted_size_asymmetric(sealed.length()));
    const bool opened_ok = x::decrypt_asymmetric(sealed.buffer(), opened.buffer(), sealed.length(), nonce, alice_pk, bob_sk);
    Message restored(compression::LZ4::decompressed_size(opened.buffer()));
    restored.length(compression::LZ4::decompress(opened.buffer(), restored.buffer(), opened.length(), restored.length()));

    crypto::Blake2b::blake2b_hash_t digest;
    crypto::Blake2b::hash(digest, plain.buffer(), plain.length());

    const bool same = restored.length() == plain.length() &&
                      std::memcmp(restored.buffer(), plain.buffer(), static_cast<std::size_t>(plain.length())) == 0;
    std::printf("message      %6lld bytes\n", static_cast<long long>(plain.length()));
    std::printf("compressed   %6lld bytes (LZ4, 4-byte header)\n", static_cast<long long>(packed.length()));
    std::printf("sealed       %6lld bytes (16-byte tag)\n", static_cast<long long>(sealed.length()));
    std::printf("round trip   %s\n", sealed_ok && opened_ok && same ? "identical" : "FAILED");
    std::printf("blake2b-256  %s\n", hex(digest.bytes, sizeof digest.bytes).c_str());
    return sealed_ok && opened_ok && same ? 0 : 1;
}
