// Allocation failures in the relay and the blind mailbox, with tables that grow during the call.
// A stop leaves every member as it was, the indexes each keeps to itself included, and after a
// stop and after a call that returned alike those indexes agree with what is stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "fault_sweep.hpp"
#include "state_views.hpp"
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
using test::view_of;

namespace {

constexpr std::uint64_t kNow = 10'000;
// The fixtures admit two seconds before kNow. Their first few requests carry a timestamp then at
// the edge of the window and at kNow beyond the horizon, so an admission at kNow prunes them.
constexpr std::uint64_t kFixtureTime = kNow - 2;
constexpr std::uint64_t kStaleTime = kFixtureTime - 300;
constexpr std::uint64_t kStaleDigests = 3;
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

template <class Store>
void require_whole(const Store& store, std::string_view when) {
  if (const auto broken = test::broken_rule(store)) {
    fault::fail(std::string(when) + ": " + std::string(*broken));
  }
}

// The one faulted call of a run: `call` on `relay`. It returns, or it stops with the relay exactly
// as it was and then returns when `again` makes it once more; the relay's bookkeeping holds
// together after each. The relay and the answer end as a copy of the relay gets them from `again`
// with nothing failing. `again` stands in for `call` where the call takes over its input. The
// answer is handed on for the checks that follow.
template <class Call, class Again>
auto whole_or_untouched(FaultRun& run, Relay& relay, Call call, Again again) {
  using Result = std::invoke_result_t<Call&, Relay&>;
  Relay reference = relay;
  const test::RelayView before = view_of(relay);
  const auto settle = [&](bool returned) {
    require_whole(relay, returned ? "after the call" : "after a stop");
    if (!returned) require(view_of(relay) == before, "a stop changed the relay");
  };
  if constexpr (std::is_void_v<Result>) {
    const bool returned = run.faulted([&] { call(relay); });
    settle(returned);
    if (!returned) {
      again(relay);
      require_whole(relay, "after the call made again");
    }
    again(reference);
    require(view_of(relay) == view_of(reference), "not the relay a clean call leaves");
  } else {
    auto got = run.faulted([&] { return call(relay); });
    settle(got.has_value());
    if (!got) {
      got.emplace(again(relay));
      require_whole(relay, "after the call made again");
    }
    const Result expected = again(reference);
    require(*got == expected, "not the answer of a clean call");
    require(view_of(relay) == view_of(reference), "not the relay a clean call leaves");
    return std::move(*got);
  }
}

template <class Call>
auto whole_or_untouched(FaultRun& run, Relay& relay, Call call) {
  return whole_or_untouched(run, relay, call, call);
}

// A relay whose deposit table and replay cache are both full to their load limit, so that the
// next admitted request makes the cache grow and a deposit into a new mailbox the table too.
// Mailbox n holds payload_of(n), stored at kFixtureTime; the first kStaleDigests admissions left
// digests that an admission at kNow prunes.
Relay relay_about_to_grow() {
  Relay relay(300, 1000, kCapabilityKey, 0);
  std::uint64_t n = 0;
  do {
    const MailboxId mailbox = mailbox_number(n);
    const Bytes payload = payload_of(n);
    const std::uint64_t timestamp = n < kStaleDigests ? kStaleTime : kFixtureTime;
    require(try_deposit(relay, request(RelayOp::Deposit, mailbox, n, payload, timestamp), payload,
                        kFixtureTime)
                .has_value(),
            "fixture deposit");
    ++n;
  } while (relay.deposits().size() < relay.deposits().max_load());
  require(relay.seen().size() == relay.seen().max_load(), "the fixture's cache is full");
  return relay;
}

// Admitted at kNow, the fixture's cache loses its stale digests and gains one.
std::size_t cache_after_one_admission(const Relay& fixture) {
  return fixture.seen().size() - kStaleDigests + 1;
}

}  // namespace

TEST(relay_faults, admission_and_store) {
  static const MailboxId kNew = mailbox_number(1'000'000);
  static const Bytes kPayload = test::bytes_of("new deposit");
  static const RelayRequest kDeposit = request(RelayOp::Deposit, kNew, 777, kPayload);
  sweep_all({
      {"try_deposit, tables growing",
       [](FaultRun& run) {
         Relay relay = relay_about_to_grow();
         const std::size_t cache = cache_after_one_admission(relay);
         const auto got = whole_or_untouched(
             run, relay, [](Relay& r) { return try_deposit(r, kDeposit, kPayload, kNow); });
         require(got.has_value(), "a stop inside a deposit is no refusal");
         require(relay.seen().size() == cache, "the stale digests pruned");
         const auto again = try_deposit(relay, kDeposit, kPayload, kNow);
         require(!again && again.error() == RelayError::Replay, "the same deposit twice");
         const auto pulled = try_pull(relay, request(RelayOp::Pull, kNew, 778, {}), kNow);
         require(pulled && *pulled == std::vector<Bytes>{kPayload}, "the deposit stored once");
         require_whole(relay, "after the pull");
       }},
      {"try_deposit into a held mailbox",
       [](FaultRun& run) {
         Relay relay = relay_about_to_grow();
         const MailboxId held = mailbox_number(0);
         const Bytes payload = test::bytes_of("second");
         // Stamped with the fixture's time, its digest joins a group of the index that others
         // are in, where the new deposit's opens one.
         const RelayRequest second = request(RelayOp::Deposit, held, 555, payload, kFixtureTime);
         const auto got = whole_or_untouched(
             run, relay, [&](Relay& r) { return try_deposit(r, second, payload, kNow); });
         require(got.has_value(), "a stop inside a deposit is no refusal");
         const auto pulled = try_pull(relay, request(RelayOp::Pull, held, 556, {}), kNow);
         require(pulled && *pulled == std::vector<Bytes>{payload_of(0), payload}, "queue order");
         require_whole(relay, "after the pull");
       }},
      {"try_pull",
       [](FaultRun& run) {
         Relay relay = relay_about_to_grow();
         const MailboxId held = mailbox_number(1);
         const RelayRequest pull = request(RelayOp::Pull, held, 900, {});
         const auto got =
             whole_or_untouched(run, relay, [&](Relay& r) { return try_pull(r, pull, kNow); });
         require(got && *got == std::vector<Bytes>{payload_of(1)}, "pulled");
         require(relay.deposits().find(held) == relay.deposits().end(), "pulled whole");
       }},
      // A pull that moved a payload out before it had made room for them all would lose it.
      {"try_pull of several entries, one expired",
       [](FaultRun& run) {
         Relay relay = relay_about_to_grow();
         const MailboxId held = mailbox_number(1);
         relay.import({{held, payload_of(101), kNow - 1001},
                       {held, payload_of(102), kNow - 10},
                       {held, payload_of(103), kNow}});
         const RelayRequest pull = request(RelayOp::Pull, held, 903, {});
         const auto got =
             whole_or_untouched(run, relay, [&](Relay& r) { return try_pull(r, pull, kNow); });
         require(got && *got == std::vector<Bytes>{payload_of(1), payload_of(102), payload_of(103)},
                 "the live entries pulled in order");
         require(relay.deposits().find(held) == relay.deposits().end(), "pulled whole");
       }},
      {"try_peek",
       [](FaultRun& run) {
         Relay relay = relay_about_to_grow();
         const MailboxId held = mailbox_number(2);
         const RelayRequest peek = request(RelayOp::Peek, held, 901, {});
         const auto got =
             whole_or_untouched(run, relay, [&](Relay& r) { return try_peek(r, peek, kNow); });
         require(got && *got == std::vector<Bytes>{payload_of(2)}, "peeked");
       }},
      {"check_request, tables growing",
       [](FaultRun& run) {
         Relay relay = relay_about_to_grow();
         const std::size_t cache = cache_after_one_admission(relay);
         const RelayRequest peek = request(RelayOp::Peek, mailbox_number(3), 902, {});
         const auto got = whole_or_untouched(
             run, relay, [&](Relay& r) { return r.check_request(RelayOp::Peek, peek, {}, kNow); });
         require(got.has_value(), "admitted");
         require(relay.seen().size() == cache, "the stale digests pruned");
         const auto again = relay.check_request(RelayOp::Peek, peek, {}, kNow);
         require(!again && again.error() == RelayError::Replay, "admitted once");
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
         const std::size_t held = relay.export_entries().size();
         std::vector<ExportedDeposit> entries = source.export_entries();
         // Older than what mailbox 4 holds, so it is filed anew by age; a stop in a later run
         // must file it back.
         entries.push_back({mailbox_number(4), payload_of(8), kNow - 500});
         // Later than anything the relay holds: a stop in a later run must take that back too.
         entries.push_back({mailbox_number(6), payload_of(11), kNow});
         entries.push_back({mailbox_number(2'000'000), payload_of(9), kNow - 1});
         entries.push_back({mailbox_number(2'000'000), payload_of(10), kNow - 1});
         const std::vector<ExportedDeposit> kept = entries;
         whole_or_untouched(
             run, relay, [&](Relay& r) { r.import(std::move(entries)); },
             [&](Relay& r) { r.import(kept); });
         require(relay.export_entries().size() == held + kept.size(), "imported once");
       }},
      {"Relay copy assignment into a relay that holds entries",
       [](FaultRun& run) {
         const Relay source = relay_about_to_grow();
         const test::RelayView source_before = view_of(source);
         Relay relay(60, 500, std::nullopt, 0);
         relay.import({{mailbox_number(70), payload_of(70), kNow - 700},
                       {mailbox_number(71), payload_of(71), kNow}});
         require(relay.check_request(RelayOp::Pull, {mailbox_number(70), {}, kNow, 1, 0}, {}, kNow)
                     .has_value(),
                 "fixture admission");
         whole_or_untouched(run, relay, [&](Relay& r) { r = source; });
         require(view_of(relay) == source_before, "a copy of the source");
         require(view_of(source) == source_before, "the source changed");
         // The copy goes on by itself: it admits and stores as the source would, apart from it.
         const Bytes payload = test::bytes_of("after the copy");
         const MailboxId held = mailbox_number(5);
         require(try_deposit(relay, request(RelayOp::Deposit, held, 560, payload), payload, kNow)
                     .has_value(),
                 "the copy admits");
         const auto pulled = try_pull(relay, request(RelayOp::Pull, held, 561, {}), kNow);
         require(pulled && *pulled == std::vector<Bytes>{payload_of(5), payload},
                 "the copy stores");
         require(view_of(source) == source_before, "the source follows its copy");
         require_whole(relay, "after the pull");
       }},
  });
}

TEST(relay_faults, sweep_allocates_nothing) {
  // Mailbox n: for n % 3 == 0 every entry has expired, for 1 some have, for 2 none has (one
  // entry is exactly the retention old). Half the cache lies beyond the horizon at kNow.
  const auto queue_of = [](std::uint64_t n) -> std::vector<StoredDeposit> {
    switch (n % 3) {
      case 0:
        return {{payload_of(n), kNow - 1500}, {payload_of(n + 1), kNow - 1001}};
      case 1:
        return {{payload_of(n), kNow - 1001},
                {payload_of(n + 1), kNow - 5},
                {payload_of(n + 2), kNow - 2000},
                {payload_of(n + 3), kNow}};
      default:
        return {{payload_of(n), kNow - 1000}, {payload_of(n + 1), kNow}};
    }
  };
  constexpr std::uint64_t kMailboxes = 30;
  constexpr std::uint64_t kAdmissions = 10;
  fault::expect_allocation_free({
      {"Relay::sweep",
       [=](FaultRun& run) {
         Relay relay(300, 1000, kCapabilityKey, 0);
         std::vector<ExportedDeposit> entries;
         for (std::uint64_t n = 0; n < kMailboxes; ++n) {
           for (StoredDeposit& entry : queue_of(n)) {
             entries.push_back({mailbox_number(n), std::move(entry.payload), entry.stored_at});
           }
         }
         relay.import(std::move(entries));
         for (std::uint64_t id = 0; id < kAdmissions; ++id) {
           const std::uint64_t timestamp = id % 2 == 0 ? kStaleTime : kFixtureTime;
           const RelayRequest peek = request(RelayOp::Peek, mailbox_number(id), id, {}, timestamp);
           require(relay.check_request(RelayOp::Peek, peek, {}, kFixtureTime).has_value(),
                   "fixture admission");
         }
         whole_or_untouched(run, relay, [](Relay& r) { r.sweep(kNow); });

         require(relay.deposits().size() == kMailboxes - kMailboxes / 3, "the expired mailboxes");
         for (std::uint64_t n = 0; n < kMailboxes; ++n) {
           const auto found = relay.deposits().find(mailbox_number(n));
           if (n % 3 == 0) {
             require(found == relay.deposits().end(), "a mailbox of expired entries kept");
             continue;
           }
           std::vector<StoredDeposit> live = queue_of(n);
           std::erase_if(live,
                         [](const StoredDeposit& entry) { return entry.stored_at < kNow - 1000; });
           require(found != relay.deposits().end() && found->second == live, "the live entries");
         }
         require(relay.seen().size() == kAdmissions / 2, "the cache pruned");
         for (const auto& [digest, timestamp] : relay.seen()) {
           require(timestamp == kFixtureTime, "a digest beyond the horizon kept");
         }
       }},
  });
}

TEST(mailbox_faults, deposit_and_pull) {
  using mailbox::BlindMailbox;
  const auto token_number = [](std::uint8_t n) { return test::filled<32>(n); };
  // Token n holds payload_of(n). The table is as full as it goes before a new token makes it grow.
  const auto mailbox_about_to_grow = [=] {
    BlindMailbox box;
    std::uint8_t n = 0;
    do {
      box.deposit(token_number(n), payload_of(n));
      ++n;
    } while (test::BlindMailboxProbe::queue_count(box) <
             test::BlindMailboxProbe::queues(box).bucket_count());
    return box;
  };
  // The one faulted deposit of a run: it returns, or it stops with the mailbox exactly as it was
  // and then returns when made again. Either way the mailbox ends holding the blob once more.
  const auto deposited_once = [](FaultRun& run, BlindMailbox& box, const Key32& token,
                                 const Bytes& blob) {
    test::MailboxView after = view_of(box);
    after[token].push_back(blob);
    const test::MailboxView before = view_of(box);
    const bool returned = run.faulted([&] { box.deposit(token, blob); });
    require_whole(box, returned ? "after the call" : "after a stop");
    if (!returned) {
      require(view_of(box) == before, "a stop changed the mailbox");
      box.deposit(token, blob);
      require_whole(box, "after the call made again");
    }
    require(view_of(box) == after, "deposited once, the others kept");
  };
  sweep_all({
      {"BlindMailbox deposit",
       [=](FaultRun& run) {
         BlindMailbox box = mailbox_about_to_grow();
         deposited_once(run, box, token_number(200), test::bytes_of("blob"));
         require(
             mailbox::pull(box, token_number(200)) == std::vector<Bytes>{test::bytes_of("blob")},
             "deposited once");
         require(mailbox::pull(box, token_number(3)) == std::vector<Bytes>{payload_of(3)},
                 "the others kept");
       }},
      {"BlindMailbox deposit into a held queue",
       [=](FaultRun& run) {
         BlindMailbox box = mailbox_about_to_grow();
         deposited_once(run, box, token_number(3), test::bytes_of("second"));
         require(mailbox::pull(box, token_number(3)) ==
                     std::vector<Bytes>{payload_of(3), test::bytes_of("second")},
                 "queue order");
       }},
  });
  fault::expect_allocation_free({
      {"BlindMailbox pull",
       [=](FaultRun& run) {
         BlindMailbox box = mailbox_about_to_grow();
         box.deposit(token_number(3), test::bytes_of("second"));
         test::MailboxView after = view_of(box);
         after.erase(token_number(3));
         const auto got = run.faulted([&] { return mailbox::pull(box, token_number(3)); });
         require(got && *got == std::vector<Bytes>{payload_of(3), test::bytes_of("second")},
                 "pulled in order");
         require_whole(box, "after the pull");
         require(view_of(box) == after, "the queue removed, the others kept");
         require(mailbox::pull(box, token_number(3)).empty(), "pulled twice");
       }},
  });
}
