#include "vostrel/relay.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <ostream>
#include <string_view>

#include "vostrel/crypto.hpp"
#include "vostrel/internal/error_queue.hpp"
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
  const crypto::HeldErrorQueue held;
  return capability_over(
      key, bound_fields(op, mailbox, timestamp, request_id, pow_nonce, crypto::sha256({payload})));
}

RequestDigest request_digest(RelayOp op, const RelayRequest& request, ByteView payload) {
  const crypto::HeldErrorQueue held;
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
  const crypto::HeldErrorQueue held;

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

Relay& Relay::operator=(const Relay& other) {
  if (this != &other) *this = Relay(other);
  return *this;
}
static_assert(std::is_nothrow_move_assignable_v<Relay>, "a copy must go in without throwing");

std::expected<RequestDigest, RelayError> Relay::verify(RelayOp op, const RelayRequest& request,
                                                       ByteView payload, std::uint64_t now) const {
  if (distance(request.timestamp, now) > max_skew_) return std::unexpected(RelayError::Stale);
  const crypto::HeldErrorQueue held;

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
  return digest_over(fields);
}

// Whatever can throw comes before the pruning, the one change that cannot be taken back: until
// then the digest is filed in a way that can be undone without allocating. An admitted digest
// lies within the window, so the pruning never removes it and may as well come last.
template <class Act>
auto Relay::admit(RelayOp op, const RelayRequest& request, ByteView payload, std::uint64_t now,
                  Act&& act) -> std::expected<std::invoke_result_t<Act&>, RelayError> {
  moved_.check("Relay");
  const auto digest = verify(op, request, payload, now);
  if (!digest) return std::unexpected(digest.error());

  // One hash of the digest serves both the replay test and the insertion.
  const auto [slot, fresh] = seen_.try_emplace(*digest, request.timestamp);
  if (!fresh) {
    prune_seen(now);
    return std::unexpected(RelayError::Replay);
  }
  TimeIndex::iterator group;
  try {
    group = index_seen(request.timestamp, *digest);
  } catch (...) {
    seen_.erase(slot);
    throw;
  }

  using Result = std::invoke_result_t<Act&>;
  std::expected<Result, RelayError> admitted;
  try {
    if constexpr (std::is_void_v<Result>) {
      act();
    } else {
      *admitted = act();
    }
  } catch (...) {
    group->second.pop_back();
    if (group->second.empty()) seen_by_time_.erase(group);
    seen_.erase(*digest);
    throw;
  }
  prune_seen(now);
  return admitted;
}

std::expected<void, RelayError> Relay::check_request(RelayOp op, const RelayRequest& request,
                                                     ByteView payload, std::uint64_t now) {
  return admit(op, request, payload, now, [] {});
}

bool Relay::is_live(const StoredDeposit& entry, std::uint64_t now) const noexcept {
  const std::uint64_t age = now > entry.stored_at ? now - entry.stored_at : 0;
  return age <= retention_;
}

void Relay::prune_seen(std::uint64_t now) noexcept {
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

Relay::TimeIndex::iterator Relay::index_seen(std::uint64_t timestamp, const RequestDigest& digest) {
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
  return group;
}

void Relay::forget_seen(TimeIndex::iterator first, TimeIndex::iterator last) noexcept {
  for (auto group = first; group != last; ++group) {
    for (const RequestDigest& digest : group->second) seen_.erase(digest);
  }
  seen_by_time_.erase(first, last);
}

void Relay::sweep(std::uint64_t now) {
  moved_.check("Relay");
  // Entries stored before now - retention are past it, and only mailboxes whose oldest entry is
  // among them hold any. A mailbox that keeps entries is filed again in the node it had, so
  // nothing here allocates and nothing throws.
  if (now > retention_) {
    const std::uint64_t cutoff = now - retention_;
    while (!mailboxes_by_age_.empty() && mailboxes_by_age_.begin()->first < cutoff) {
      auto node = mailboxes_by_age_.extract(mailboxes_by_age_.begin());
      const auto found = deposits_.find(node.value().second);
      if (found == deposits_.end()) continue;
      std::vector<StoredDeposit>& queue = found->second;
      std::erase_if(queue, [&](const StoredDeposit& entry) { return !is_live(entry, now); });
      if (queue.empty()) {
        deposits_.erase(found);
      } else {
        reindex_age(std::move(node), oldest_of(queue));
      }
    }
  }
  prune_seen(now);
}

void Relay::reindex_age(AgeIndex::node_type node, std::uint64_t oldest) noexcept {
  node.value().first = oldest;
  mailboxes_by_age_.insert(std::move(node));
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
    if (fresh) mailboxes_by_age_.insert({oldest, mailbox});
  } catch (...) {
    queue.erase(queue.begin() + kept, queue.end());
    if (fresh) deposits_.erase(slot);
    throw;
  }
  if (replaced) reindex_age(mailboxes_by_age_.extract({*replaced, mailbox}), oldest);
  latest_stored_ = std::max(latest_stored_, newest);
}

void Relay::unstore(const MailboxId& mailbox, std::size_t count) noexcept {
  const auto found = deposits_.find(mailbox);
  std::vector<StoredDeposit>& queue = found->second;
  auto node = mailboxes_by_age_.extract({oldest_of(queue), mailbox});
  queue.erase(queue.end() - static_cast<std::ptrdiff_t>(count), queue.end());
  if (queue.empty()) {
    deposits_.erase(found);
  } else {
    reindex_age(std::move(node), oldest_of(queue));
  }
}

void Relay::import(std::vector<ExportedDeposit> entries) {
  moved_.check("Relay");
  const std::uint64_t latest_before = latest_stored_;
  const auto run_end = [&](std::vector<ExportedDeposit>::iterator run) {
    return std::find_if(run, entries.end(), [&](const ExportedDeposit& entry) {
      return entry.mailbox != run->mailbox;
    });
  };
  // An export lists each mailbox's entries together: each run is stored at once.
  auto run = entries.begin();
  try {
    while (run != entries.end()) {
      const auto end = run_end(run);
      std::uint64_t oldest = kMaxTime;
      std::uint64_t newest = 0;
      for (auto entry = run; entry != end; ++entry) {
        oldest = std::min(oldest, entry->stored_at);
        newest = std::max(newest, entry->stored_at);
      }
      store(run->mailbox, oldest, newest, [&](std::vector<StoredDeposit>& queue) {
        queue.reserve(queue.size() + static_cast<std::size_t>(end - run));
        for (auto entry = run; entry != end; ++entry) {
          queue.push_back(StoredDeposit{std::move(entry->payload), entry->stored_at});
        }
      });
      run = end;
    }
  } catch (...) {
    // The runs stored before the one that threw come off again, the last first.
    for (auto stored_end = run; stored_end != entries.begin();) {
      const MailboxId& mailbox = std::prev(stored_end)->mailbox;
      auto start = std::prev(stored_end);
      while (start != entries.begin() && std::prev(start)->mailbox == mailbox) --start;
      unstore(mailbox, static_cast<std::size_t>(stored_end - start));
      stored_end = start;
    }
    latest_stored_ = latest_before;
    throw;
  }
}

std::vector<Bytes> Relay::take_live(const MailboxId& mailbox, std::uint64_t now) {
  std::vector<Bytes> payloads;
  const auto found = deposits_.find(mailbox);
  if (found == deposits_.end()) return payloads;
  std::vector<StoredDeposit>& queue = found->second;
  // The one step that can throw comes before anything is moved.
  payloads.reserve(static_cast<std::size_t>(std::ranges::count_if(
      queue, [&](const StoredDeposit& entry) { return is_live(entry, now); })));
  for (StoredDeposit& entry : queue) {
    if (is_live(entry, now)) payloads.push_back(std::move(entry.payload));
  }
  mailboxes_by_age_.erase({oldest_of(queue), mailbox});
  deposits_.erase(found);
  return payloads;
}

std::expected<void, RelayError> try_deposit(Relay& relay, const RelayRequest& request,
                                            Bytes payload, std::uint64_t now) {
  return relay.admit(RelayOp::Deposit, request, payload, now, [&] {
    relay.store(request.mailbox, now, now, [&](std::vector<StoredDeposit>& queue) {
      queue.push_back(StoredDeposit{std::move(payload), now});
    });
  });
}

std::expected<std::vector<Bytes>, RelayError> try_peek(Relay& relay, const RelayRequest& request,
                                                       std::uint64_t now) {
  return relay.admit(RelayOp::Peek, request, {}, now, [&] {
    std::vector<Bytes> payloads;
    const auto found = relay.deposits_.find(request.mailbox);
    if (found == relay.deposits_.end()) return payloads;
    for (const StoredDeposit& entry : found->second) {
      if (relay.is_live(entry, now)) payloads.push_back(entry.payload);
    }
    return payloads;
  });
}

std::expected<std::vector<Bytes>, RelayError> try_pull(Relay& relay, const RelayRequest& request,
                                                       std::uint64_t now) {
  return relay.admit(RelayOp::Pull, request, {}, now,
                     [&] { return relay.take_live(request.mailbox, now); });
}

}  // namespace vostrel::relay
