#include "vostrel/relay.hpp"

#include <sodium.h>

#include <limits>
#include <ostream>
#include <string_view>

#include "vostrel/crypto.hpp"
#include "vostrel/pow.hpp"

namespace vostrel::relay {
namespace {

constexpr std::string_view kCapabilityLabel = "vostrel/v1/relay-capability";
constexpr std::string_view kDigestLabel = "vostrel/v1/relay-request-id";
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

KeyedHash::KeyedHash() {
  static_assert(crypto_shorthash_KEYBYTES == 16 && crypto_shorthash_BYTES == 8);
  os_random(key_);
}

std::size_t KeyedHash::operator()(const Key32& bytes) const noexcept {
  ByteArray<crypto_shorthash_BYTES> hash{};
  crypto_shorthash(hash.data(), bytes.data(), bytes.size(), key_.data());
  return static_cast<std::size_t>(load_be<std::uint64_t>(hash.data()));
}

Key32 sha256(ByteView bytes) {
  return crypto::sha256({bytes});
}

ByteArray<81> pow_challenge(RelayOp op, KeyView mailbox, std::uint64_t timestamp,
                            std::uint64_t request_id, ByteView payload) {
  return challenge_over(op, mailbox, timestamp, request_id, sha256(payload));
}

Key32 compute_capability(KeyView key, RelayOp op, KeyView mailbox, std::uint64_t timestamp,
                         std::uint64_t request_id, std::uint64_t pow_nonce, ByteView payload) {
  return capability_over(
      key, bound_fields(op, mailbox, timestamp, request_id, pow_nonce, sha256(payload)));
}

RequestDigest request_digest(RelayOp op, const RelayRequest& request, ByteView payload) {
  return digest_over(bound_fields(op, request, sha256(payload)));
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

  const Key32 payload_hash = sha256(payload);
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
  if (distance(request.timestamp, now) > max_skew_) return std::unexpected(RelayError::Stale);

  const Key32 payload_hash = sha256(payload);
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
  if (!seen_.empty()) prune_seen(now);
  // One hash of the digest serves both the replay test and the insertion.
  const auto [slot, fresh] = seen_.try_emplace(digest, request.timestamp);
  if (!fresh) return std::unexpected(RelayError::Replay);
  try {
    seen_by_time_[request.timestamp].push_back(digest);
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

void Relay::forget_seen(TimeIndex::iterator first, TimeIndex::iterator last) {
  for (auto second = first; second != last; ++second) {
    for (const RequestDigest& digest : second->second) seen_.erase(digest);
  }
  seen_by_time_.erase(first, last);
}

void Relay::sweep(std::uint64_t now) {
  for (auto mailbox = deposits_.begin(); mailbox != deposits_.end();) {
    std::erase_if(mailbox->second,
                  [&](const StoredDeposit& entry) { return !is_live(entry, now); });
    mailbox = mailbox->second.empty() ? deposits_.erase(mailbox) : std::next(mailbox);
  }
  prune_seen(now);
}

std::vector<ExportedDeposit> Relay::export_entries() const {
  std::vector<ExportedDeposit> entries;
  for (const auto& [mailbox, queue] : deposits_) {
    for (const StoredDeposit& entry : queue) {
      entries.push_back(ExportedDeposit{mailbox, entry.payload, entry.stored_at});
    }
  }
  return entries;
}

void Relay::import(std::vector<ExportedDeposit> entries) {
  for (ExportedDeposit& entry : entries) {
    deposits_[entry.mailbox].push_back(StoredDeposit{std::move(entry.payload), entry.stored_at});
  }
}

std::expected<void, RelayError> try_deposit(Relay& relay, const RelayRequest& request,
                                            Bytes payload, std::uint64_t now) {
  if (auto admitted = relay.check_request(RelayOp::Deposit, request, payload, now); !admitted) {
    return admitted;
  }
  relay.deposits_[request.mailbox].push_back(StoredDeposit{std::move(payload), now});
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
  for (StoredDeposit& entry : queue.mapped()) {
    if (relay.is_live(entry, now)) payloads.push_back(std::move(entry.payload));
  }
  return payloads;
}

}  // namespace vostrel::relay
