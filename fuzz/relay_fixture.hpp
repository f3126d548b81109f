#pragma once

// Shared by the relay targets and their seeds: a relay fixture with stored entries and a filled
// replay cache, the field-by-field form of a fuzzed request, and the model every admission and
// store change is checked against.

#include <limits>
#include <optional>
#include <vector>

#include "fuzz_support.hpp"
#include "vostrel/pow.hpp"
#include "vostrel/relay.hpp"

namespace vostrel::fuzz::relay_fixture {

inline constexpr std::uint64_t kNow = 1'000'000;
inline constexpr std::uint64_t kMaxSkew = 300;
inline constexpr std::uint64_t kRetention = 1000;
// Low enough that a fuzzed nonce passes one time in four.
inline constexpr std::uint8_t kDifficulty = 2;
inline constexpr std::size_t kMaxRequests = 32;

// The entry point a target drives.
enum class Entry { CheckRequest, Deposit, Peek, Pull };

// The fixture's mailboxes, numbered from 0.
inline relay::MailboxId mailbox(std::uint8_t number) {
  relay::MailboxId id{};
  id.fill(static_cast<std::uint8_t>(0xA0 + number));
  return id;
}

// One fuzzed request. Input layout: one byte choosing the relay (bit 0: keyed; bit 1: the window
// that never closes), then
// records of control (1), mailbox (32), capability (32), timestamp, request id, pow nonce and the
// relay's now (8 each, big-endian), payload length (2) and the payload (cut at the input's end).
struct Record {
  // Bit 0: the capability is computed with the relay's key, as its key holder would. Bits 1-2:
  // the operation check_request is asked for.
  std::uint8_t control = 0;
  relay::RelayRequest request;
  std::uint64_t now = 0;
  Bytes payload;
};

inline relay::RelayOp op_of(Entry entry, std::uint8_t control) {
  static constexpr relay::RelayOp kOps[4] = {relay::RelayOp::Deposit, relay::RelayOp::Pull,
                                             relay::RelayOp::Peek, relay::RelayOp::Deposit};
  switch (entry) {
    case Entry::CheckRequest:
      return kOps[(control >> 1) & 3];
    case Entry::Deposit:
      return relay::RelayOp::Deposit;
    case Entry::Peek:
      return relay::RelayOp::Peek;
    case Entry::Pull:
      return relay::RelayOp::Pull;
  }
  return relay::RelayOp::Deposit;
}

inline std::optional<Record> decode(ByteReader& reader) {
  Record record;
  const auto control = reader.u8();
  const auto mailbox_id = reader.array<32>();
  const auto capability = reader.array<32>();
  const auto timestamp = reader.u64();
  const auto request_id = reader.u64();
  const auto pow_nonce = reader.u64();
  const auto now = reader.u64();
  const auto length = reader.u16();
  if (!control || !mailbox_id || !capability || !timestamp || !request_id || !pow_nonce || !now ||
      !length) {
    return std::nullopt;
  }
  record.control = *control;
  record.request = {*mailbox_id, *capability, *timestamp, *request_id, *pow_nonce};
  record.now = *now;
  const ByteView payload = *reader.bytes(std::min<std::size_t>(*length, reader.remaining()));
  record.payload.assign(payload.begin(), payload.end());
  return record;
}

inline void encode(Bytes& out, const Record& record) {
  out.push_back(record.control);
  put_bytes(out, record.request.mailbox);
  put_bytes(out, record.request.capability);
  put_be(out, record.request.timestamp);
  put_be(out, record.request.request_id);
  put_be(out, record.request.pow_nonce);
  put_be(out, record.now);
  put_be(out, static_cast<std::uint16_t>(record.payload.size()));
  put_bytes(out, record.payload);
}

// A request its client built for the fixture: solved at the fixture's difficulty and, with the
// sign bit, tagged under the fixture's key.
inline Record valid_record(relay::RelayOp op, const relay::MailboxId& mailbox_id,
                           std::uint64_t timestamp, std::uint64_t request_id, ByteView payload,
                           std::uint64_t now) {
  Record record;
  record.control = static_cast<std::uint8_t>(1 | (op == relay::RelayOp::Pull   ? 2
                                                  : op == relay::RelayOp::Peek ? 4
                                                                               : 0));
  record.request.mailbox = mailbox_id;
  record.request.timestamp = timestamp;
  record.request.request_id = request_id;
  record.request.pow_nonce =
      pow::solve(relay::pow_challenge(op, mailbox_id, timestamp, request_id, payload), kDifficulty)
          .value();
  record.request.capability = relay::compute_capability(
      fixed_key(), op, mailbox_id, timestamp, request_id, record.request.pow_nonce, payload);
  record.now = now;
  record.payload.assign(payload.begin(), payload.end());
  return record;
}

// The requests the fixture's relays have admitted, one per operation.
inline std::vector<std::pair<relay::RelayOp, Record>> admitted() {
  using relay::RelayOp;
  return {
      {RelayOp::Deposit,
       valid_record(RelayOp::Deposit, mailbox(0), kNow - kMaxSkew, 1, as_bytes("admitted"), kNow)},
      {RelayOp::Pull, valid_record(RelayOp::Pull, mailbox(1), kNow, 2, {}, kNow)},
      {RelayOp::Peek, valid_record(RelayOp::Peek, mailbox(2), kNow + kMaxSkew, 3, {}, kNow)},
  };
}

// Relays with and without a key, each with the narrow window above or one that never closes.
struct Fixture {
  static constexpr std::uint64_t kForever = std::numeric_limits<std::uint64_t>::max();
  relay::Relay relays[4] = {{kMaxSkew, kRetention, std::nullopt, kDifficulty},
                            {kMaxSkew, kRetention, fixed_key(), kDifficulty},
                            {kForever, kForever, std::nullopt, kDifficulty},
                            {kForever, kForever, fixed_key(), kDifficulty}};

  // Expired, boundary, fresh and future entries, and an empty payload.
  Fixture() {
    for (relay::Relay& relay : relays) {
      relay.import({{mailbox(0), Bytes{'e', 'x', 'p'}, kNow - kRetention - 1},
                    {mailbox(0), Bytes{'o', 'l', 'd'}, kNow - kRetention},
                    {mailbox(0), Bytes{'n', 'e', 'w'}, kNow},
                    {mailbox(1), Bytes{'f', 'u', 't'}, kNow + 50},
                    {mailbox(2), Bytes{}, kNow - 10},
                    {mailbox(2), Bytes{'2'}, kNow - kRetention + 1}});
      for (const auto& [op, record] : admitted()) {
        if (!relay.check_request(op, record.request, record.payload, record.now)) {
          throw Panic("the relay fixture refused its own request");
        }
      }
    }
  }
};

inline const Fixture& fixture() {
  static const Fixture relays;
  return relays;
}

inline std::uint64_t distance(std::uint64_t a, std::uint64_t b) {
  return a > b ? a - b : b - a;
}

// The replay cache as an admission at `now` prunes it.
inline relay::Relay::Seen pruned(const relay::Relay& relay, std::uint64_t now) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t horizon = relay.max_skew() == max ? max : relay.max_skew() + 1;
  relay::Relay::Seen kept = relay.seen();
  boost::unordered::erase_if(
      kept, [&](const auto& entry) { return distance(entry.second, now) > horizon; });
  return kept;
}

// The admission's verdict, from the rules in their order.
inline std::optional<relay::RelayError> expected_refusal(const relay::Relay& relay,
                                                         relay::RelayOp op, const Record& record,
                                                         const relay::Relay::Seen& cache) {
  const relay::RelayRequest& r = record.request;
  if (distance(r.timestamp, record.now) > relay.max_skew()) return relay::RelayError::Stale;
  if (relay.capability_key() &&
      relay::compute_capability(*relay.capability_key(), op, r.mailbox, r.timestamp, r.request_id,
                                r.pow_nonce, record.payload) != r.capability) {
    return relay::RelayError::BadCapability;
  }
  const auto challenge =
      relay::pow_challenge(op, r.mailbox, r.timestamp, r.request_id, record.payload);
  if (!pow::verify(challenge, relay.difficulty(), r.pow_nonce)) return relay::RelayError::BadPow;
  if (cache.contains(relay::request_digest(op, r, record.payload))) {
    return relay::RelayError::Replay;
  }
  return std::nullopt;
}

inline std::vector<Bytes> live_payloads(const relay::Relay& relay,
                                        const relay::MailboxId& mailbox_id, std::uint64_t now) {
  std::vector<Bytes> live;
  const auto queue = relay.deposits().find(mailbox_id);
  if (queue == relay.deposits().end()) return live;
  for (const relay::StoredDeposit& entry : queue->second) {
    const std::uint64_t age = now > entry.stored_at ? now - entry.stored_at : 0;
    if (age <= relay.retention()) live.push_back(entry.payload);
  }
  return live;
}

// Runs one request through the entry point and checks the verdict and every change.
inline void step(relay::Relay& relay, Entry entry, Record record) {
  const relay::RelayOp op = op_of(entry, record.control);
  // Pulls and peeks bind the empty payload; check_request binds whatever it is given.
  if (entry == Entry::Peek || entry == Entry::Pull) record.payload.clear();
  const relay::RelayRequest& r = record.request;
  if ((record.control & 1) && relay.capability_key()) {
    record.request.capability =
        relay::compute_capability(*relay.capability_key(), op, r.mailbox, r.timestamp, r.request_id,
                                  r.pow_nonce, record.payload);
  }

  const relay::Relay::Deposits deposits_before = relay.deposits();
  const relay::Relay::Seen seen_before = relay.seen();
  const relay::Relay::Seen cache = pruned(relay, record.now);
  const auto expected = expected_refusal(relay, op, record, cache);
  const std::vector<Bytes> live = live_payloads(relay, r.mailbox, record.now);

  std::optional<relay::RelayError> refused;
  std::optional<std::vector<Bytes>> handed;
  const auto outcome = [&](auto result) {
    if (!result) {
      refused = result.error();
    } else if constexpr (!std::is_same_v<decltype(result),
                                         std::expected<void, relay::RelayError>>) {
      handed = std::move(*result);
    }
  };
  switch (entry) {
    case Entry::CheckRequest:
      outcome(relay.check_request(op, r, record.payload, record.now));
      break;
    case Entry::Deposit:
      outcome(relay::try_deposit(relay, r, record.payload, record.now));
      break;
    case Entry::Peek:
      outcome(relay::try_peek(relay, r, record.now));
      break;
    case Entry::Pull:
      outcome(relay::try_pull(relay, r, record.now));
      break;
  }

  require(refused == expected, "admission decides window, capability, work, replay in order");
  if (refused) {
    require(relay.deposits() == deposits_before, "a refused request leaves the store unchanged");
    require(relay.seen() == (*refused == relay::RelayError::Replay ? cache : seen_before),
            "a refused request leaves the replay cache unchanged but for a replay's pruning");
    return;
  }
  relay::Relay::Seen seen_after = cache;
  seen_after.emplace(relay::request_digest(op, r, record.payload), r.timestamp);
  require(relay.seen() == seen_after, "an admitted request adds its digest to the pruned cache");

  relay::Relay::Deposits deposits_after = deposits_before;
  if (entry == Entry::Deposit) {
    deposits_after[r.mailbox].push_back({record.payload, record.now});
  } else if (entry == Entry::Peek || entry == Entry::Pull) {
    require(handed == live, "peeks and pulls hand over the live payloads in queue order");
    if (entry == Entry::Pull) deposits_after.erase(r.mailbox);
  }
  require(relay.deposits() == deposits_after, "an admitted request changes the store as it says");
}

// The whole target: a copy of the chosen fixture relay, then up to kMaxRequests requests.
inline void run(ByteView input, Entry entry) {
  if (input.empty()) return;
  relay::Relay relay = fixture().relays[input[0] & 3];
  ByteReader reader(input.subspan(1));
  for (std::size_t n = 0; n < kMaxRequests; ++n) {
    auto record = decode(reader);
    if (!record) break;
    step(relay, entry, std::move(*record));
  }
}

}  // namespace vostrel::fuzz::relay_fixture
