// Prints a new X25519 key pair in hex, for Encryptor/Decryptor stages that
// do not use the public example pair.
#include <cstdio>

#include <korvane.hpp>

#include "Arguments.hpp"

int main(int argc, char** argv)
{
    example::check_arguments(argc, argv, 0, 0, "keygen");
    namespace x = korvane::crypto::XSalsa20;
    if (!x::init()) {
        std::fprintf(stderr, "libsodium failed to initialise\n");
        return 1;
    }
    x::xsalsa20_asymmetric_public_key_t public_key;
    x::xsalsa20_asymmetric_secret_key_t secret_key;
    x::key_pair(public_key, secret_key);
    std::printf("public ");
    for (unsigned char byte : public_key) std::printf("%02x", byte);
    std::printf("\nsecret ");
    for (unsigned char byte : secret_key) std::printf("%02x", byte);
    std::printf("\n");
    return 0;
}
