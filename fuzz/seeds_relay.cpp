// Seeds of the relay and blind-mailbox targets: requests built for the relay fixture as its
// clients would build them, replays, stale and unworked ones, and mailbox sessions.
#include "corpus.hpp"
#include "relay_fixture.hpp"
#include "vostrel/mailbox.hpp"

namespace vostrel::fuzz {
namespace {

using namespace relay_fixture;
using relay::RelayOp;

Bytes session(std::uint8_t relay_choice, const std::vector<Record>& records) {
  Bytes input = {relay_choice};
  for (const Record& record : records) encode(input, record);
  return input;
}

// A nonce that the fixture's difficulty refuses for the record's challenge.
Record unworked(Record record, RelayOp op) {
  const auto& r = record.request;
  const auto challenge =
      relay::pow_challenge(op, r.mailbox, r.timestamp, r.request_id, record.payload);
  std::uint64_t nonce = 0;
  while (pow::verify(challenge, kDifficulty, nonce)) ++nonce;
  record.request.pow_nonce = nonce;
  record.control &= 0xFE;
  record.request.capability = relay::compute_capability(fixed_key(), op, r.mailbox, r.timestamp,
                                                        r.request_id, nonce, record.payload);
  return record;
}

Seeds relay_seeds(RelayOp op) {
  const ByteView payload = op == RelayOp::Deposit ? as_bytes("seed payload") : ByteView{};
  const Record fresh = valid_record(op, mailbox(0), kNow, 100, payload, kNow);
  Record stale = valid_record(op, mailbox(1), kNow, 101, payload, kNow + kMaxSkew + 1);
  Record untagged = valid_record(op, mailbox(2), kNow, 102, payload, kNow);
  untagged.control &= 0xFE;  // keeps the tag, which the keyed relay checks
  untagged.request.capability[0] ^= 1;
  const Record ahead = valid_record(op, mailbox(1), kNow + kMaxSkew, 103, payload, kNow);
  const Record late =
      valid_record(op, mailbox(0), kNow + kRetention, 104, payload, kNow + kRetention);
  const Record elsewhere = valid_record(op, mailbox(7), kNow, 105, payload, kNow);
  const Record at_end =
      valid_record(op, mailbox(0), ~std::uint64_t{0}, 106, payload, ~std::uint64_t{0});
  const Record at_start = valid_record(op, mailbox(2), 0, 107, payload, 0);

  std::vector<Record> replays;
  for (const auto& [admitted_op, record] : admitted()) {
    if (admitted_op == op) replays.push_back(record);
  }
  Seeds seeds;
  for (std::uint8_t relay_choice = 0; relay_choice < 4; ++relay_choice) {
    seeds.push_back(session(relay_choice, {fresh}));
    seeds.push_back(session(relay_choice, {fresh, fresh}));
    seeds.push_back(session(relay_choice, {fresh, stale, untagged, unworked(fresh, op)}));
    seeds.push_back(session(relay_choice, replays));
    seeds.push_back(session(relay_choice, {ahead, late, elsewhere, fresh}));
    seeds.push_back(session(relay_choice, {at_end, at_start}));
  }
  return seeds;
}

// check_request is asked for every operation in turn.
Seeds check_request_seeds() {
  Seeds seeds;
  for (const RelayOp op : {RelayOp::Deposit, RelayOp::Pull, RelayOp::Peek}) {
    for (Bytes& seed : relay_seeds(op)) seeds.push_back(std::move(seed));
  }
  return seeds;
}

Seeds mailbox_seeds() {
  // Deposit (even) and pull (odd) under the eight tokens, and under raw tokens (240 and up).
  Bytes raw_token(32, 0x77);
  Bytes raw_session = {240};
  put_bytes(raw_session, raw_token);
  raw_session.insert(raw_session.end(), {3, 'a', 'b', 'c', 241});
  put_bytes(raw_session, raw_token);
  return {
      {0, 3, 'o', 'n', 'e', 0, 3, 't', 'w', 'o', 1},
      {2, 0, 4, 1, 'x', 3, 5, 1},
      {0, 4, 'b', 'l', 'o', 'b', 8, 4, 'b', 'l', 'o', 'b', 9, 1, 0, 5, 'a', 'g', 'a', 'i', 'n', 1},
      {14, 2, 'h', 'i', 12, 0, 15, 13, 14, 1, 'z'},
      raw_session,
  };
}

const SeedRegistration check_registration{"relay_check_request", check_request_seeds};
const SeedRegistration deposit_registration{"relay_try_deposit",
                                            [] { return relay_seeds(RelayOp::Deposit); }};
const SeedRegistration peek_registration{"relay_try_peek",
                                         [] { return relay_seeds(RelayOp::Peek); }};
const SeedRegistration pull_registration{"relay_try_pull",
                                         [] { return relay_seeds(RelayOp::Pull); }};
const SeedRegistration mailbox_registration{"mailbox_blind_mailbox", mailbox_seeds};

}  // namespace
}  // namespace vostrel::fuzz
