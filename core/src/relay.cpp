#include "vostrel/relay.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <ostream>
#include <string_view>

#include "vostrel/crypto.hpp"
#include "vostrel/internal/relay.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/pow.hpp"

namespace vostrel::relay {
namespace {

constexpr std::string_view kCapabilityLabel = labels::kRelayCapability;
constexpr std::string_view kDigestLabel = labels::kRelayRequestId;
constexpr std::uint64_t kMaxTime = std::numeric_limits<std::uint64_t>::max();

// What the capability tag and the replay digest bind after their 27-byte labels: op, mailbox,
// timestamp, request id, nonce and the payload's digest.
using BoundFields = ByteArray<89>;

template <std::size_t N>
std::uint8_t* put(std::uint8_t* out, FixedView<N> bytes) noexcept {
  return std::copy(bytes.begin(), bytes.end(), out);
}
std::uint8_t* put(std::uint8_t* out, std::uint64_t value) noexcept {
  store_be(out, value);
  return out + sizeof(value);
}

ByteArray<81> challenge_over(RelayOp op, KeyView mailbox, std::uint64_t timestamp,
                             std::uint64_t request_id, KeyView payload_hash) noexcept {
  ByteArray<81> challenge{};
  challenge[0] = static_cast<std::uint8_t>(op);
  std::uint8_t* at = put(challenge.data() + 1, mailbox);
  at = put(at, timestamp);
  at = put(at, request_id);
  put(at, payload_hash);
  return challenge;
}

BoundFields bound_fields(RelayOp op, KeyView mailbox, std::uint64_t timestamp,
                         std::uint64_t request_id, std::uint64_t pow_nonce,
                         KeyView payload_hash) noexcept {
  BoundFields fields{};
  fields[0] = static_cast<std::uint8_t>(op);
  std::uint8_t* at = put(fields.data() + 1, mailbox);
  at = put(at, timestamp);
  at = put(at, request_id);
  at = put(at, pow_nonce);
  put(at, payload_hash);
  return fields;
}

BoundFields bound_fields(RelayOp op, const RelayRequest& request, KeyView payload_hash) noexcept {
  return bound_fields(op, request.mailbox, request.timestamp, request.request_id, request.pow_nonce,
                      payload_hash);
}

Key32 capability_over(KeyView key, const BoundFields& fields) {
  return crypto::hmac_sha256(key, {as_bytes(kCapabilityLabel), ByteView(fields)});
}

RequestDigest digest_over(const BoundFields& fields) {
  return crypto::sha256({as_bytes(kDigestLabel), ByteView(fields)});
}

std::uint64_t distance(std::uint64_t a, std::uint64_t b) noexcept {
  return a > b ? a - b : b - a;
}

std::uint64_t oldest_of(const std::vector<StoredDeposit>& queue) noexcept {
  std::uint64_t oldest = kMaxTime;
  for (const StoredDeposit& entry : queue) oldest = std::min(oldest, entry.stored_at);
  return oldest;
}

}  // namespace

// Every byte is compared whatever the earlier ones held, so timing says nothing about the tag.
bool capability_matches(const Key32& expected, const Key32& presented) noexcept {
  volatile std::uint8_t difference = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    difference = static_cast<std::uint8_t>(difference | (expected[i] ^ presented[i]));
  }
  return difference == 0;
}

std::string_view to_string(RelayError error) noexcept {
  switch (error) {
    case RelayError::Stale:
      return "Stale";
    case RelayError::BadCapability:
      return "BadCapability";
    case RelayError::BadPow:
      return "BadPow";
    case RelayError::Replay:
      return "Replay";
  }
  return "RelayError(unknown)";
}

std::ostream& operator<<(std::ostream& out, RelayError error) {
  return out << to_string(error);
}

ByteArray<81> pow_challenge(RelayOp op, KeyView mailbox, std::uint64_t timestamp,
                            std::uint64_t request_id, ByteView payload) {
  return challenge_over(op, mailbox, timestamp, request_id, crypto::sha256({payload}));
}

Key32 compute_capability(KeyView key, RelayOp op, KeyView mailbox, std::uint64_t timestamp,
                         std::uint64_t request_id, std::uint64_t pow_nonce, ByteView payload) {
  return capability_over(
      key, bound_fields(op, mailbox, timestamp, request_id, pow_nonce, crypto::sha256({payload})));
}

RequestDigest request_digest(RelayOp op, const RelayRequest& request, ByteView payload) {
  return digest_over(bound_fields(op, request, crypto::sha256({payload})));
}

std::optional<RelayRequest> build_request(RelayOp op, const std::optional<Key32>& capability_key,
                                          KeyView mailbox, std::uint64_t timestamp,
                                          ByteView payload) {
  ByteArray<8> id_bytes{};
  if (!try_os_random(id_bytes)) return std::nullopt;
  RelayRequest request;
  std::copy(mailbox.begin(), mailbox.end(), request.mailbox.begin());
  request.timestamp = timestamp;
  request.request_id = load_be<std::uint64_t>(id_bytes.data());

  const Key32 payload_hash = crypto::sha256({payload});
  const auto challenge = challenge_over(op, mailbox, timestamp, request.request_id, payload_hash);
  const auto nonce = pow::solve(challenge, kBuildRequestDifficulty);
  if (!nonce) return std::nullopt;
  request.pow_nonce = *nonce;
  if (capability_key) {
    request.capability = capability_over(*capability_key, bound_fields(op, request, payload_hash));
  }
  return request;
}

Relay::Relay(std::uint64_t max_skew, std::uint64_t retention, std::optional<Key32> capability_key,
             std::uint8_t difficulty)
    : max_skew_(max_skew),
      retention_(retention),
      capability_key_(std::move(capability_key)),
      difficulty_(difficulty) {}

std::expected<void, RelayError> Relay::check_request(RelayOp op, const RelayRequest& request,
                                                     ByteView payload, std::uint64_t now) {
  moved_.check("Relay");
  if (distance(request.timestamp, now) > max_skew_) return std::unexpected(RelayError::Stale);

  const Key32 payload_hash = crypto::sha256({payload});
  const BoundFields fields = bound_fields(op, request, payload_hash);
  if (capability_key_) {
    const Key32 expected = capability_over(*capability_key_, fields);
    // ctgrind: decision check_request
    if (!capability_matches(expected, request.capability)) {
      return std::unexpected(RelayError::BadCapability);
    }
  }

  const auto challenge =
      challenge_over(op, request.mailbox, request.timestamp, request.request_id, payload_hash);
  if (!pow::verify(challenge, difficulty_, request.pow_nonce)) {
    return std::unexpected(RelayError::BadPow);
  }

  const RequestDigest digest = digest_over(fields);
  if (!seen_.empty()) {
    // In a large cache the digest's place arrives from memory while pruning runs.
    seen_.prefetch(digest);
    prune_seen(now);
  }
  // One hash of the digest serves both the replay test and the insertion.
  const auto [slot, fresh] = seen_.try_emplace(digest, request.timestamp);
  if (!fresh) return std::unexpected(RelayError::Replay);
  try {
    index_seen(request.timestamp, digest);
  } catch (...) {
    seen_.erase(slot);
    throw;
  }
  return {};
}

bool Relay::is_live(const StoredDeposit& entry, std::uint64_t now) const noexcept {
  const std::uint64_t age = now > entry.stored_at ? now - entry.stored_at : 0;
  return age <= retention_;
}

void Relay::prune_seen(std::uint64_t now) {
  const std::uint64_t horizon = max_skew_ == kMaxTime ? kMaxTime : max_skew_ + 1;
  if (now > horizon) {
    // Timestamps below now - horizon lie more than the horizon behind.
    forget_seen(seen_by_time_.begin(), seen_by_time_.lower_bound(now - horizon));
  }
  if (horizon <= kMaxTime - now) {
    // Timestamps above now + horizon lie more than the horizon ahead.
    forget_seen(seen_by_time_.upper_bound(now + horizon), seen_by_time_.end());
  }
}

void Relay::index_seen(std::uint64_t timestamp, const RequestDigest& digest) {
  // Timestamps mostly arrive in order, so the last group, or a new one at the end, is usually
  // the place.
  auto group = seen_by_time_.end();
  if (group != seen_by_time_.begin() && std::prev(group)->first == timestamp) {
    --group;
  } else {
    group = seen_by_time_.try_emplace(group, timestamp);
  }
  try {
    group->second.push_back(digest);
  } catch (...) {
    if (group->second.empty()) seen_by_time_.erase(group);
    throw;
  }
}

void Relay::forget_seen(TimeIndex::iterator first, TimeIndex::iterator last) {
  // In a large cache every erasure waits on memory; asking for the lines of the digests a few
  // places ahead lets those waits overlap. The cursor runs across groups, as a second may hold a
  // single digest.
  constexpr int kAhead = 8;
  auto ahead_group = first;
  std::size_t ahead_at = 0;
  const auto ask_ahead = [&] {
    while (ahead_group != last && ahead_at == ahead_group->second.size()) {
      ++ahead_group;
      ahead_at = 0;
    }
    if (ahead_group != last) seen_.prefetch(ahead_group->second[ahead_at++]);
  };
  for (int i = 0; i < kAhead; ++i) ask_ahead();
  for (auto group = first; group != last; ++group) {
    for (const RequestDigest& digest : group->second) {
      ask_ahead();
      seen_.erase(digest);
    }
  }
  seen_by_time_.erase(first, last);
}

void Relay::sweep(std::uint64_t now) {
  moved_.check("Relay");
  // Entries stored before now - retention are past it, and only mailboxes whose oldest entry is
  // among them hold any.
  if (now > retention_) {
    const std::uint64_t cutoff = now - retention_;
    while (!mailboxes_by_age_.empty() && mailboxes_by_age_.begin()->first < cutoff) {
      const MailboxId mailbox = mailboxes_by_age_.begin()->second;
      if (const auto found = deposits_.find(mailbox); found != deposits_.end()) {
        std::vector<StoredDeposit>& queue = found->second;
        std::erase_if(queue, [&](const StoredDeposit& entry) { return !is_live(entry, now); });
        if (queue.empty()) {
          deposits_.erase(found);
        } else {
          mailboxes_by_age_.insert({oldest_of(queue), mailbox});
        }
      }
      mailboxes_by_age_.erase(mailboxes_by_age_.begin());
    }
  }
  prune_seen(now);
}

std::vector<ExportedDeposit> Relay::export_entries() const {
  moved_.check("Relay");
  std::size_t count = 0;
  for (const auto& [mailbox, queue] : deposits_) count += queue.size();
  std::vector<ExportedDeposit> entries;
  entries.reserve(count);
  // Among many mailboxes each queue, and then its first payload, is a trip to memory: asking for
  // queues eight mailboxes ahead and for payloads four ahead lets the trips overlap.
  auto queue_ahead = deposits_.begin();
  auto payload_ahead = deposits_.begin();
  const auto ask_for_queue = [&] {
    if (queue_ahead != deposits_.end()) __builtin_prefetch((queue_ahead++)->second.data());
  };
  const auto ask_for_payload = [&] {
    if (payload_ahead == deposits_.end()) return;
    const auto& queue = (payload_ahead++)->second;
    if (!queue.empty()) __builtin_prefetch(queue.front().payload.data());
  };
  for (int i = 0; i < 4; ++i) ask_for_queue();
  for (int i = 0; i < 4; ++i) ask_for_queue(), ask_for_payload();
  for (const auto& [mailbox, queue] : deposits_) {
    ask_for_queue();
    ask_for_payload();
    for (const StoredDeposit& entry : queue) {
      entries.push_back(ExportedDeposit{mailbox, entry.payload, entry.stored_at});
    }
  }
  return entries;
}

template <class Append>
void Relay::store(const MailboxId& mailbox, std::uint64_t oldest, std::uint64_t newest,
                  Append&& append) {
  const auto [slot, fresh] = deposits_.try_emplace(mailbox);
  std::vector<StoredDeposit>& queue = slot->second;
  const auto kept = static_cast<std::ptrdiff_t>(queue.size());
  // Only an entry older than the latest one stored can be older than the queue's oldest.
  std::optional<std::uint64_t> replaced;
  if (!fresh && oldest < latest_stored_) {
    if (const std::uint64_t current = oldest_of(queue); oldest < current) replaced = current;
  }
  try {
    append(queue);
    if (fresh || replaced) mailboxes_by_age_.insert({oldest, mailbox});
  } catch (...) {
    queue.erase(queue.begin() + kept, queue.end());
    if (fresh) deposits_.erase(slot);
    throw;
  }
  if (replaced) mailboxes_by_age_.erase({*replaced, mailbox});
  latest_stored_ = std::max(latest_stored_, newest);
}

void Relay::import(std::vector<ExportedDeposit> entries) {
  moved_.check("Relay");
  // An export lists each mailbox's entries together: each run is stored at once.
  for (auto run = entries.begin(); run != entries.end();) {
    const MailboxId& mailbox = run->mailbox;
    const auto end = std::find_if(
        run, entries.end(), [&](const ExportedDeposit& entry) { return entry.mailbox != mailbox; });
    std::uint64_t oldest = kMaxTime;
    std::uint64_t newest = 0;
    for (auto entry = run; entry != end; ++entry) {
      oldest = std::min(oldest, entry->stored_at);
      newest = std::max(newest, entry->stored_at);
    }
    store(mailbox, oldest, newest, [&](std::vector<StoredDeposit>& queue) {
      for (auto entry = run; entry != end; ++entry) {
        queue.push_back(StoredDeposit{std::move(entry->payload), entry->stored_at});
      }
    });
    run = end;
  }
}

std::expected<void, RelayError> try_deposit(Relay& relay, const RelayRequest& request,
                                            Bytes payload, std::uint64_t now) {
  if (auto admitted = relay.check_request(RelayOp::Deposit, request, payload, now); !admitted) {
    return admitted;
  }
  relay.store(request.mailbox, now, now, [&](std::vector<StoredDeposit>& queue) {
    queue.push_back(StoredDeposit{std::move(payload), now});
  });
  return {};
}

std::expected<std::vector<Bytes>, RelayError> try_peek(Relay& relay, const RelayRequest& request,
                                                       std::uint64_t now) {
  if (auto admitted = relay.check_request(RelayOp::Peek, request, {}, now); !admitted) {
    return std::unexpected(admitted.error());
  }
  std::vector<Bytes> payloads;
  const auto found = relay.deposits_.find(request.mailbox);
  if (found == relay.deposits_.end()) return payloads;
  for (const StoredDeposit& entry : found->second) {
    if (relay.is_live(entry, now)) payloads.push_back(entry.payload);
  }
  return payloads;
}

std::expected<std::vector<Bytes>, RelayError> try_pull(Relay& relay, const RelayRequest& request,
                                                       std::uint64_t now) {
  if (auto admitted = relay.check_request(RelayOp::Pull, request, {}, now); !admitted) {
    return std::unexpected(admitted.error());
  }
  std::vector<Bytes> payloads;
  auto queue = relay.deposits_.extract(request.mailbox);
  if (queue.empty()) return payloads;
  relay.mailboxes_by_age_.erase({oldest_of(queue.mapped()), request.mailbox});
  for (StoredDeposit& entry : queue.mapped()) {
    if (relay.is_live(entry, now)) payloads.push_back(std::move(entry.payload));
  }
  return payloads;
}

}  // namespace vostrel::relay
