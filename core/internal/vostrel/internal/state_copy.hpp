#pragma once

// Duplicates of live state, outside the public headers. Two copies of one sending state seal two
// messages under one message key and nonce, so applications never get to make them: the library
// copies a receiving chain to try a prekey's mix on the side, and the self-checks, the fuzz targets
// and the benchmarks copy a state to replay it many times.

#include "vostrel/ratchet.hpp"
#include "vostrel/sendchain.hpp"

namespace vostrel::internal {

struct StateCopy {
  static ratchet::Ratchet of(const ratchet::Ratchet& ratchet) { return ratchet.clone(); }
  static sendchain::RecvChain of(const sendchain::RecvChain& chain) { return chain.clone(); }
};

// The whole state, kept keys included, with its own copies of every key; each copy's secrets are
// wiped on their own. Stops as the original's operations do when it has been moved from.
inline ratchet::Ratchet clone(const ratchet::Ratchet& ratchet) {
  return StateCopy::of(ratchet);
}
inline sendchain::RecvChain clone(const sendchain::RecvChain& chain) {
  return StateCopy::of(chain);
}

}  // namespace vostrel::internal
