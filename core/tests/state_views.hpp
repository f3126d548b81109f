#pragma once

// Whole states of the ratchet, the receiving chain, the relay and the blind mailbox, for
// before-and-after comparisons in the self-checks and the fault sweep.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "vostrel/common.hpp"
#include "vostrel/mailbox.hpp"
#include "vostrel/ratchet.hpp"
#include "vostrel/relay.hpp"
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

// Reads what the blind mailbox keeps to itself.
struct BlindMailboxProbe {
  static std::size_t queue_count(const mailbox::BlindMailbox& store) { return store.queues.size(); }
  static std::size_t slot_hash(const mailbox::BlindMailbox& store, const mailbox::Token& location) {
    return store.queues.hash_function()(location);
  }
  static const auto& queues(const mailbox::BlindMailbox& store) { return store.queues; }
};

// Every queue of a blind mailbox, an empty one too, in token order.
using MailboxView = std::map<mailbox::Token, std::vector<Bytes>>;

inline MailboxView view_of(const mailbox::BlindMailbox& store) {
  const auto& queues = BlindMailboxProbe::queues(store);
  return MailboxView(queues.begin(), queues.end());
}

// The first rule of the mailbox's own bookkeeping that `store` breaks; empty when it keeps all.
inline std::optional<std::string_view> broken_rule(const mailbox::BlindMailbox& store) {
  for (const auto& [token, queue] : BlindMailboxProbe::queues(store)) {
    if (queue.empty()) return "a token has an entry with an empty queue";
  }
  return std::nullopt;
}

// Reads the relay's indexes, which only the relay itself consults.
struct RelayProbe {
  static const auto& seen_by_time(const relay::Relay& relay) { return relay.seen_by_time_; }
  static const auto& mailboxes_by_age(const relay::Relay& relay) { return relay.mailboxes_by_age_; }
  static std::uint64_t latest_stored(const relay::Relay& relay) { return relay.latest_stored_; }
};

// Every member of a relay that an operation may change, in orders of its own. A mailbox left
// holding an empty queue is part of it.
struct RelayView {
  std::uint64_t max_skew;
  std::uint64_t retention;
  std::optional<Key32> capability_key;
  std::uint8_t difficulty;
  std::map<relay::MailboxId, std::vector<relay::StoredDeposit>> deposits;
  std::map<relay::RequestDigest, std::uint64_t> seen;
  std::map<std::uint64_t, std::vector<relay::RequestDigest>> seen_by_time;
  std::set<std::pair<std::uint64_t, relay::MailboxId>> mailboxes_by_age;
  std::uint64_t latest_stored;
  // The maps' hashes of one fixed key: whose hash keys the maps have.
  std::size_t deposits_hash;
  std::size_t seen_hash;

  bool operator==(const RelayView&) const = default;
};

inline RelayView view_of(const relay::Relay& relay) {
  const auto& by_time = RelayProbe::seen_by_time(relay);
  const auto& by_age = RelayProbe::mailboxes_by_age(relay);
  constexpr Key32 kFixed{};
  return RelayView{relay.max_skew(),
                   relay.retention(),
                   relay.capability_key(),
                   relay.difficulty(),
                   {relay.deposits().begin(), relay.deposits().end()},
                   {relay.seen().begin(), relay.seen().end()},
                   {by_time.begin(), by_time.end()},
                   {by_age.begin(), by_age.end()},
                   RelayProbe::latest_stored(relay),
                   relay.deposits().hash_function()(kFixed),
                   relay.seen().hash_function()(kFixed)};
}

// The first rule of the relay's own bookkeeping that `relay` breaks; empty when it keeps all.
inline std::optional<std::string_view> broken_rule(const relay::Relay& relay) {
  const auto& by_age = RelayProbe::mailboxes_by_age(relay);
  for (const auto& [mailbox, queue] : relay.deposits()) {
    if (queue.empty()) return "a mailbox holds no entry";
    std::uint64_t oldest = queue.front().stored_at;
    for (const relay::StoredDeposit& entry : queue) {
      if (entry.stored_at > RelayProbe::latest_stored(relay)) {
        return "an entry is later than the latest stored";
      }
      oldest = std::min(oldest, entry.stored_at);
    }
    if (!by_age.contains({oldest, mailbox})) {
      return "a mailbox is not filed under its oldest entry";
    }
  }
  if (by_age.size() != relay.deposits().size()) {
    return "the age index does not hold one entry per mailbox";
  }

  std::set<relay::RequestDigest> indexed;
  for (const auto& [timestamp, group] : RelayProbe::seen_by_time(relay)) {
    if (group.empty()) return "the replay index keeps an empty group";
    for (const relay::RequestDigest& digest : group) {
      const auto found = relay.seen().find(digest);
      if (found == relay.seen().end() || found->second != timestamp) {
        return "the replay index files a digest the cache does not hold at that time";
      }
      if (!indexed.insert(digest).second) return "the replay index files a digest twice";
    }
  }
  if (indexed.size() != relay.seen().size()) {
    return "the replay index misses a digest of the cache";
  }
  return std::nullopt;
}

}  // namespace vostrel::test
