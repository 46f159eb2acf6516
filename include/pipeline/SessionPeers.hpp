// The long-term keys the session stages are built from.
#pragma once

#include <array>
#include <vector>

namespace korvane {

/// An X25519 public key (32 bytes), as written by crypto::KeyFile.
using session_peer_key_t = std::array<unsigned char, 32>;
/// The peers a session accepts. Empty: any peer at all, which authenticates
/// nobody (a man in the middle can then speak for either end).
using session_peer_keys_t = std::vector<session_peer_key_t>;

} // namespace korvane
