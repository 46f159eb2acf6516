// X25519 key pairs (the keys of crypto::XSalsa20 and of the session stages)
// on disk. Both files are short text: a versioned first line, then the key in
// hex. The secret file is created readable by its owner only and refused on
// load when group or others have any access to it.
#pragma once

#include <array>
#include <string>

#include "transport/Transport.hpp"
#include "util/XSalsa20.hpp"

namespace korvane {
namespace crypto {
namespace KeyFile {

using public_key_t = XSalsa20::xsalsa20_asymmetric_public_key_t;
using secret_key_t = XSalsa20::xsalsa20_asymmetric_secret_key_t;

/// Writes `base`.key (secret, created with mode 0600) and `base`.pub. Blocks
/// on the file system. Unless `overwrite`, an existing file fails with
/// TRANSPORT_STATUS_INVALID_ARGUMENT ("open FILE: File exists"); other system
/// failures report the failing step and the system's text.
Transport::StatusCode write_key_pair(const std::string& base, const public_key_t& public_key,
                                     const secret_key_t& secret_key, bool overwrite = false);
/// Reads a secret key file and derives its public key. Fails with
/// TRANSPORT_STATUS_ACCESS_DENIED when group or others may access the file,
/// TRANSPORT_STATUS_INVALID_ARGUMENT with "Malformed key file: FILE" on bad
/// contents; the outputs are then untouched.
Transport::StatusCode read_key_pair(const std::string& path, public_key_t& public_key, secret_key_t& secret_key);
/// Reads a public key file; statuses as read_key_pair() (no permission check).
Transport::StatusCode read_public_key(const std::string& path, public_key_t& public_key);
/// The same into an array, the form the session stages take peer keys in.
Transport::StatusCode read_public_key(const std::string& path, std::array<unsigned char, 32>& public_key);

} // namespace KeyFile
} // namespace crypto
} // namespace korvane
