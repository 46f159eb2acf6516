// korvane-keygen: writes a fresh X25519 key pair for the session stages,
// NAME.key (the secret, readable by its owner only) and NAME.pub (to hand to
// peers for --peer-key). Prints only the file names and the public key.
#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "korvane.hpp"

namespace {

const char USAGE[] =
    "usage: korvane-keygen [--force] NAME\n"
    "Writes a new key pair for secure sessions: NAME.key (secret, mode 0600)\n"
    "and NAME.pub (public, give it to peers). Existing files are kept unless\n"
    "--force is given.\n";

int usage_error(const char* text)
{
    std::fprintf(stderr, "korvane-keygen: %s\n%s", text, USAGE);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace korvane;
    std::string name;
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (option == "--force") {
            force = true;
        } else if (option.empty() || option[0] == '-' || !name.empty()) {
            return usage_error(option.empty() || option[0] != '-' ? "one NAME only" : "unknown option");
        } else {
            name = option;
        }
    }
    if (name.empty()) {
        return usage_error("NAME is required");
    }
    if (!crypto::XSalsa20::init()) {
        std::fprintf(stderr, "korvane-keygen: libsodium failed to initialise\n");
        return 1;
    }
    crypto::XSalsa20::xsalsa20_asymmetric_public_key_t public_key;
    crypto::XSalsa20::xsalsa20_asymmetric_secret_key_t secret_key;
    crypto::XSalsa20::key_pair(public_key, secret_key);
    const Transport::StatusCode status = crypto::KeyFile::write_key_pair(name, public_key, secret_key, force);
    crypto::XSalsa20::wipe(secret_key, sizeof secret_key);
    if (!status) {
        std::fprintf(stderr, "korvane-keygen: %s\n", status.message().c_str());
        return 1;
    }
    char hex[2 * sizeof public_key + 1];
    sodium_bin2hex(hex, sizeof hex, public_key, sizeof public_key);
    std::printf("wrote %s.key and %s.pub\npublic key %s\n", name.c_str(), name.c_str(), hex);
    return 0;
}
