// Allocation failures in the relay and the blind mailbox, with tables that grow during the call.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "fault_sweep.hpp"
#include "test_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/mailbox.hpp"
#include "vostrel/relay.hpp"

using namespace vostrel;
using namespace vostrel::relay;
using fault::FaultRun;
using fault::require;
using fault::Scenario;
using fault::sweep_all;

namespace {

constexpr std::uint64_t kNow = 10'000;
const Key32 kCapabilityKey = test::filled<32>(0xC4);

MailboxId mailbox_number(std::uint64_t n) {
  MailboxId mailbox{};
  store_be(mailbox.data(), n);
  mailbox[31] = 0x5A;
  return mailbox;
}

// Difficulty 0 takes any nonce, so the fixtures need no search.
RelayRequest request(RelayOp op, const MailboxId& mailbox, std::uint64_t id, ByteView payload,
                     std::uint64_t timestamp = kNow) {
  return RelayRequest{mailbox,
                      compute_capability(kCapabilityKey, op, mailbox, timestamp, id, 0, payload),
                      timestamp, id, 0};
}

Bytes payload_of(std::uint64_t n) {
  return Bytes(16, static_cast<std::uint8_t>(n));
}

// Everything the relay holds, in an order of its own.
struct RelayState {
  std::vector<ExportedDeposit> entries;
  std::map<RequestDigest, std::uint64_t> seen;
  friend bool operator==(const RelayState&, const RelayState&) = default;
};
RelayState state_of(const Relay& relay) {
  RelayState state{relay.export_entries(), {relay.seen().begin(), relay.seen().end()}};
  std::ranges::sort(state.entries, {}, [](const ExportedDeposit& e) { return e.mailbox; });
  return state;
}

// A relay whose deposit table (and with a fresh first entry, its replay cache too) is full to its
// load limit, so that the next admitted deposit into a new mailbox makes it grow; the first entry
// is stored at `oldest`.
Relay relay_about_to_grow(std::uint64_t oldest = kNow) {
  Relay relay(300, 1000, kCapabilityKey, 0);
  std::uint64_t n = 0;
  const auto deposit = [&](std::uint64_t at) {
    const MailboxId mailbox = mailbox_number(n);
    const Bytes payload = payload_of(n);
    require(try_deposit(relay, request(RelayOp::Deposit, mailbox, n, payload, at), payload, at)
                .has_value(),
            "fixture deposit");
    ++n;
  };
  deposit(oldest);
  while (relay.deposits().size() < relay.deposits().max_load()) deposit(kNow);
  return relay;
}

// Whether a call's stop left the relay as it was, and it still admits the same request.
void unchanged_after_stop(const Relay& relay, const RelayState& before, bool returned) {
  if (!returned) require(state_of(relay) == before, "a stop changed the relay");
}

}  // namespace

TEST(relay_faults, admission_and_store) {
  static const MailboxId kNew = mailbox_number(1'000'000);
  static const Bytes kPayload = test::bytes_of("new deposit");
  static const RelayRequest kDeposit = request(RelayOp::Deposit, kNew, 777, kPayload);
  // A deposit admitted after a stop: not a replay, and stored once.
  const auto deposit_goes_through = [](Relay& relay, bool already) {
    const auto again = try_deposit(relay, kDeposit, kPayload, kNow);
    if (already) {
      require(!again && again.error() == RelayError::Replay, "the same deposit twice");
    } else {
      require(again.has_value(), "the deposit after a stop is refused");
    }
    const MailboxId& mailbox = kNew;
    const auto pulled = try_pull(relay, request(RelayOp::Pull, mailbox, 778, {}), kNow);
    require(pulled && *pulled == std::vector<Bytes>{kPayload}, "the deposit stored once");
  };
  sweep_all({
      {"try_deposit, tables growing",
       [=](FaultRun& run) {
         Relay relay = relay_about_to_grow();
         const RelayState before = state_of(relay);
         const auto got = run.faulted([&] { return try_deposit(relay, kDeposit, kPayload, kNow); });
         if (got) require(got->has_value(), "a stop inside a deposit is no refusal");
         unchanged_after_stop(relay, before, got.has_value());
         deposit_goes_through(relay, got.has_value());
       }},
      {"try_deposit into a held mailbox",
       [=](FaultRun& run) {
         Relay relay = relay_about_to_grow();
         const MailboxId held = mailbox_number(0);
         const Bytes payload = test::bytes_of("second");
         const RelayRequest second = request(RelayOp::Deposit, held, 555, payload);
         const RelayState before = state_of(relay);
         const auto got = run.faulted([&] { return try_deposit(relay, second, payload, kNow); });
         if (got) require(got->has_value(), "a stop inside a deposit is no refusal");
         unchanged_after_stop(relay, before, got.has_value());
         if (!got) require(try_deposit(relay, second, payload, kNow).has_value(), "retried");
         const auto pulled = try_pull(relay, request(RelayOp::Pull, held, 556, {}), kNow);
         require(pulled && *pulled == std::vector<Bytes>{payload_of(0), payload}, "queue order");
       }},
      {"try_pull",
       [](FaultRun& run) {
         Relay relay = relay_about_to_grow();
         const MailboxId held = mailbox_number(1);
         const RelayRequest pull = request(RelayOp::Pull, held, 900, {});
         const RelayState before = state_of(relay);
         const auto got = run.faulted([&] { return try_pull(relay, pull, kNow); });
         if (got) require(*got && **got == std::vector<Bytes>{payload_of(1)}, "pulled");
         unchanged_after_stop(relay, before, got.has_value());
         if (!got) {
           const auto again = try_pull(relay, pull, kNow);
           require(again && *again == std::vector<Bytes>{payload_of(1)}, "pulled after a stop");
         }
         require(relay.deposits().find(held) == relay.deposits().end(), "pulled whole");
       }},
      {"try_peek",
       [](FaultRun& run) {
         Relay relay = relay_about_to_grow();
         const MailboxId held = mailbox_number(2);
         const RelayRequest peek = request(RelayOp::Peek, held, 901, {});
         const RelayState before = state_of(relay);
         const auto got = run.faulted([&] { return try_peek(relay, peek, kNow); });
         if (got) require(*got && **got == std::vector<Bytes>{payload_of(2)}, "peeked");
         unchanged_after_stop(relay, before, got.has_value());
         if (!got) require(try_peek(relay, peek, kNow).has_value(), "peeked after a stop");
       }},
      {"export_entries",
       [](FaultRun& run) {
         const Relay relay = relay_about_to_grow();
         const std::vector<ExportedDeposit> expected = relay.export_entries();
         if (auto got = run.faulted([&] { return relay.export_entries(); })) {
           require(*got == expected, "exported");
         }
       }},
      {"import into a relay that grows",
       [](FaultRun& run) {
         const Relay source = relay_about_to_grow();
         Relay relay = relay_about_to_grow();
         const RelayState before = state_of(relay);
         std::vector<ExportedDeposit> entries = source.export_entries();
         entries.push_back({mailbox_number(2'000'000), payload_of(9), kNow});
         const std::vector<ExportedDeposit> kept = entries;
         const bool returned = run.faulted([&] { relay.import(std::move(entries)); });
         unchanged_after_stop(relay, before, returned);
         if (!returned) relay.import(kept);
         require(relay.export_entries().size() == before.entries.size() + kept.size(),
                 "imported once");
       }},
  });
}

TEST(mailbox_faults, deposit_and_pull) {
  const auto token_number = [](std::uint8_t n) { return test::filled<32>(n); };
  const auto mailbox_holding_twelve = [=] {
    mailbox::BlindMailbox box;
    for (std::uint8_t n = 0; n < 12; ++n) box.deposit(token_number(n), payload_of(n));
    return box;
  };
  sweep_all({
      {"BlindMailbox deposit",
       [=](FaultRun& run) {
         mailbox::BlindMailbox box = mailbox_holding_twelve();
         const bool returned =
             run.faulted([&] { box.deposit(token_number(100), test::bytes_of("blob")); });
         if (!returned) box.deposit(token_number(100), test::bytes_of("blob"));
         require(
             mailbox::pull(box, token_number(100)) == std::vector<Bytes>{test::bytes_of("blob")},
             "deposited once");
         require(mailbox::pull(box, token_number(3)) == std::vector<Bytes>{payload_of(3)},
                 "the others kept");
       }},
  });
}
