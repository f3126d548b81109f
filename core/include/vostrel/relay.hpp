#pragma once

// The relay's state: admission of client requests (freshness window, capability tag, proof of work,
// replay cache) and the per-mailbox store that admitted deposits, peeks and pulls act on.

#include <boost/unordered/unordered_flat_map.hpp>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <iosfwd>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "vostrel/common.hpp"
#include "vostrel/crypto_keyed_hash.hpp"

namespace vostrel::test {
struct RelayProbe;
}

namespace vostrel::relay {

using MailboxId = Key32;
using RequestDigest = Key32;

// Bound into every hashed string of a request; taken from the operation the caller invokes.
enum class RelayOp : std::uint8_t { Deposit = 1, Pull = 2, Peek = 3 };

struct RelayRequest {
  MailboxId mailbox{};
  Key32 capability{};  // all zero when built without a key
  std::uint64_t timestamp = 0;
  std::uint64_t request_id = 0;
  std::uint64_t pow_nonce = 0;

  friend bool operator==(const RelayRequest&, const RelayRequest&) = default;
};

enum class RelayError : std::uint8_t { Stale = 0, BadCapability = 1, BadPow = 2, Replay = 3 };

// The variant's name.
std::string_view to_string(RelayError error) noexcept;
std::ostream& operator<<(std::ostream& out, RelayError error);

struct StoredDeposit {
  Bytes payload;
  std::uint64_t stored_at = 0;  // the `now` of the deposit

  friend bool operator==(const StoredDeposit&, const StoredDeposit&) = default;
};

// One stored entry as an independent value, for handing to another relay.
struct ExportedDeposit {
  MailboxId mailbox{};
  Bytes payload;
  std::uint64_t stored_at = 0;

  friend bool operator==(const ExportedDeposit&, const ExportedDeposit&) = default;
};

// The difficulty at which `build_request` solves: that of every relay the system's callers use.
inline constexpr std::uint8_t kBuildRequestDifficulty = 8;

class Relay;

// Admits a deposit and stores the payload (taken over) with stored_at = now. A refused payload is
// released.
[[nodiscard]] std::expected<void, RelayError> try_deposit(Relay& relay, const RelayRequest& request,
                                                          Bytes payload, std::uint64_t now);
// Admits a peek and returns copies of the mailbox's live payloads; nothing is removed.
[[nodiscard]] std::expected<std::vector<Bytes>, RelayError> try_peek(Relay& relay,
                                                                     const RelayRequest& request,
                                                                     std::uint64_t now);
// Admits a pull, removes the mailbox whole and hands over its live payloads.
[[nodiscard]] std::expected<std::vector<Bytes>, RelayError> try_pull(Relay& relay,
                                                                     const RelayRequest& request,
                                                                     std::uint64_t now);

// A moved-from relay holds no deposits and no replay cache, so it would admit replays:
// check_request (and with it every try_*), sweep, export_entries and import on it stop with
// "Relay used after it was moved from". An operation that throws (a failed allocation, a stop from
// the cryptographic core) leaves the relay as it was.
class Relay {
 public:
  // Open addressing with the hash under a key drawn per map: a lookup probes a group or two
  // whatever the size, and clients cannot choose colliding keys. An insertion that throws leaves
  // the map as it was: a larger table is allocated, and the new element placed in it, before the
  // old one is touched.
  using Deposits =
      boost::unordered_flat_map<MailboxId, std::vector<StoredDeposit>, crypto::KeyedHash>;
  using Seen = boost::unordered_flat_map<RequestDigest, std::uint64_t, crypto::KeyedHash>;

  // A relay with nothing stored and an empty replay cache; no capability key means open mode.
  // `max_skew` and `retention` are seconds, the unit of `now` and of request timestamps: an entry
  // stored retention + 1 seconds before `now` is no longer live. `build_request` solves at
  // kBuildRequestDifficulty (8), so a relay admits the requests it builds only at a difficulty of
  // 8 or less. Draws its maps' hash keys; stops with "OS CSPRNG" when the random source fails.
  Relay(std::uint64_t max_skew, std::uint64_t retention, std::optional<Key32> capability_key,
        std::uint8_t difficulty);
  Relay(const Relay&) = default;
  Relay(Relay&&) noexcept = default;
  // Copies whole before it replaces anything: a copy that throws leaves this relay as it was.
  Relay& operator=(const Relay& other);
  Relay& operator=(Relay&&) noexcept = default;
  ~Relay() = default;

  std::uint64_t max_skew() const noexcept { return max_skew_; }
  std::uint64_t retention() const noexcept { return retention_; }
  const std::optional<Key32>& capability_key() const noexcept { return capability_key_; }
  std::uint8_t difficulty() const noexcept { return difficulty_; }
  const Deposits& deposits() const noexcept { return deposits_; }
  // Digest of every admitted request still within the horizon, with the request's timestamp.
  const Seen& seen() const noexcept { return seen_; }

  // Window, capability, work, then replay; the first failing test decides. Only success (and a
  // replay, through pruning) changes the replay cache.
  [[nodiscard]] std::expected<void, RelayError> check_request(RelayOp op,
                                                              const RelayRequest& request,
                                                              ByteView payload, std::uint64_t now);

  // Drops entries past retention, mailboxes left empty and replay-cache entries beyond the horizon.
  void sweep(std::uint64_t now);

  // Every stored entry, expired ones included, in queue order within each mailbox.
  [[nodiscard]] std::vector<ExportedDeposit> export_entries() const;

  // Appends each entry (taken over) behind what its mailbox already holds; nothing is filtered.
  void import(std::vector<ExportedDeposit> entries);

 private:
  friend std::expected<void, RelayError> try_deposit(Relay&, const RelayRequest&, Bytes,
                                                     std::uint64_t);
  friend std::expected<std::vector<Bytes>, RelayError> try_peek(Relay&, const RelayRequest&,
                                                                std::uint64_t);
  friend std::expected<std::vector<Bytes>, RelayError> try_pull(Relay&, const RelayRequest&,
                                                                std::uint64_t);
  friend struct vostrel::test::RelayProbe;

  // One group of digests per timestamp: a second's admissions go into one array instead of a
  // tree node each, so a large cache adds at its end and prunes whole seconds in order.
  using TimeIndex = std::map<std::uint64_t, std::vector<RequestDigest>>;
  using AgeIndex = std::set<std::pair<std::uint64_t, MailboxId>>;

  [[nodiscard]] bool is_live(const StoredDeposit& entry, std::uint64_t now) const noexcept;
  // The window, capability and work tests; the digest of a request that passes them.
  [[nodiscard]] std::expected<RequestDigest, RelayError> verify(RelayOp op,
                                                                const RelayRequest& request,
                                                                ByteView payload,
                                                                std::uint64_t now) const;
  // Admits the request and runs `act` on its behalf; the cache is pruned once both are done.
  template <class Act>
  auto admit(RelayOp op, const RelayRequest& request, ByteView payload, std::uint64_t now,
             Act&& act) -> std::expected<std::invoke_result_t<Act&>, RelayError>;
  void prune_seen(std::uint64_t now) noexcept;
  void forget_seen(TimeIndex::iterator first, TimeIndex::iterator last) noexcept;
  // Files an admitted digest under its timestamp and returns its group. When it throws, the index
  // is as it was.
  TimeIndex::iterator index_seen(std::uint64_t timestamp, const RequestDigest& digest);
  // Appends to the mailbox's queue, created when absent, through `append`, for entries stored
  // between `oldest` and `newest`. When it throws, the relay is as it was.
  template <class Append>
  void store(const MailboxId& mailbox, std::uint64_t oldest, std::uint64_t newest, Append&& append);
  // Takes the last `count` entries off the mailbox's queue again, after a store of them.
  void unstore(const MailboxId& mailbox, std::size_t count) noexcept;
  // Files the mailbox under a new oldest time, in the node it had.
  void reindex_age(AgeIndex::node_type node, std::uint64_t oldest) noexcept;
  // Removes the mailbox and hands over its live payloads. When it throws, the relay is as it was.
  std::vector<Bytes> take_live(const MailboxId& mailbox, std::uint64_t now);

  std::uint64_t max_skew_;
  std::uint64_t retention_;
  std::optional<Key32> capability_key_;
  std::uint8_t difficulty_;
  Deposits deposits_;
  Seen seen_;
  // The same digests grouped by timestamp, so pruning touches only what it removes.
  TimeIndex seen_by_time_;
  // Each mailbox under the stored_at of its oldest entry, so a sweep visits only mailboxes that
  // hold an expired entry.
  AgeIndex mailboxes_by_age_;
  // No entry ever stored is later: one stored at this time or after is no mailbox's new oldest.
  std::uint64_t latest_stored_ = 0;
  MoveMark moved_;
};

// op || mailbox || timestamp || request_id || sha256(payload): 81 bytes, no label.
[[nodiscard]] ByteArray<81> pow_challenge(RelayOp op, KeyView mailbox, std::uint64_t timestamp,
                                          std::uint64_t request_id, ByteView payload);

// HMAC-SHA-256 under the capability key over the 116-byte capability message.
[[nodiscard]] Key32 compute_capability(KeyView key, RelayOp op, KeyView mailbox,
                                       std::uint64_t timestamp, std::uint64_t request_id,
                                       std::uint64_t pow_nonce, ByteView payload);

// Unkeyed SHA-256 binding every field but the capability: the replay cache's key.
[[nodiscard]] RequestDigest request_digest(RelayOp op, const RelayRequest& request,
                                           ByteView payload);

// A client's request with a random id, a stamp at kBuildRequestDifficulty and, with a key, its
// capability tag. Absent when the random source fails or no nonce exists. Pull and peek requests
// are built over the empty payload.
[[nodiscard]] std::optional<RelayRequest> build_request(RelayOp op,
                                                        const std::optional<Key32>& capability_key,
                                                        KeyView mailbox, std::uint64_t timestamp,
                                                        ByteView payload);

}  // namespace vostrel::relay
