#pragma once

// Whole states of the ratchet and the receiving chain, for before-and-after comparisons in the
// self-checks and the fault sweep.

#include <cstdint>
#include <map>
#include <optional>
#include <utility>

#include "vostrel/common.hpp"
#include "vostrel/ratchet.hpp"
#include "vostrel/sendchain.hpp"

namespace vostrel::test {

// Every field of a ratchet, kept keys in a fixed order.
struct Snapshot {
  Key32 dh_secret;
  Key32 dh_public;
  Key32 root_key;
  std::optional<Key32> send_chain;
  std::optional<Key32> recv_chain;
  std::optional<Key32> remote_dh;
  std::uint32_t send_count;
  std::uint32_t recv_count;
  std::uint32_t previous_send_count;
  std::map<std::pair<Key32, std::uint32_t>, Key32> skipped;

  bool operator==(const Snapshot&) const = default;
};

inline Snapshot snapshot(const ratchet::Ratchet& r) {
  Snapshot s{r.dh_secret.bytes(), r.dh_public,  r.root_key,   r.send_chain,          r.recv_chain,
             r.remote_dh,         r.send_count, r.recv_count, r.previous_send_count, {}};
  for (const auto& [id, key] : r.skipped) s.skipped.emplace(std::pair(id.dh_public, id.index), key);
  return s;
}

// Everything a receive may change: chain key, counter and every kept key.
inline Bytes state_of(const sendchain::RecvChain& chain) {
  Bytes out;
  put_bytes(out, chain.chain_key().view());
  put_be(out, chain.next());
  for (const auto& [counter, key] : chain.skipped()) {
    put_be(out, counter);
    put_bytes(out, key.view());
  }
  return out;
}

}  // namespace vostrel::test
