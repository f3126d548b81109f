#include "vostrel/relay.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <sstream>

#include "test_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/internal/relay.hpp"
#include "vostrel/pow.hpp"

using namespace vostrel;
using namespace vostrel::relay;
using vostrel::test::bytes_of;
using vostrel::test::filled;
using vostrel::test::hex;
using vostrel::test::hex_array;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kFixtureRequestId = 305419896;  // 0x12345678
const Key32 kTestKey = filled<32>(0xC4);
const Key32 kStrangerKey = filled<32>(0x3B);
const MailboxId kTestMailbox = filled<32>(0xA5);
const MailboxId kOtherMailbox = filled<32>(0x5A);

Relay keyed_relay(std::uint64_t retention = 1000, std::uint8_t difficulty = 8) {
  return Relay(300, retention, kTestKey, difficulty);
}
Relay open_relay(std::uint64_t max_skew = 300, std::uint8_t difficulty = 8) {
  return Relay(max_skew, 1000, std::nullopt, difficulty);
}

// A request as a client builds it, with the nonce that solve finds at difficulty 8 unless one is
// given, and a tag only when a key is given.
RelayRequest hand_built(RelayOp op, const std::optional<Key32>& key, std::uint64_t timestamp,
                        std::uint64_t request_id, ByteView payload,
                        std::optional<std::uint64_t> nonce = std::nullopt,
                        const MailboxId& mailbox = kTestMailbox) {
  if (!nonce) {
    nonce = pow::solve(pow_challenge(op, mailbox, timestamp, request_id, payload), 8);
    if (!nonce) throw Panic("the fixture's solve found no nonce");
  }
  RelayRequest request{mailbox, Key32{}, timestamp, request_id, *nonce};
  if (key) {
    request.capability =
        compute_capability(*key, op, mailbox, timestamp, request_id, *nonce, payload);
  }
  return request;
}

// The checks' request fixture: the test mailbox, the relay's key and the fixed request id.
RelayRequest fixture(RelayOp op, std::uint64_t timestamp, ByteView payload = {},
                     const MailboxId& mailbox = kTestMailbox) {
  return hand_built(op, kTestKey, timestamp, kFixtureRequestId, payload, std::nullopt, mailbox);
}

std::optional<RelayError> refusal(const auto& result) {
  if (result) return std::nullopt;
  return result.error();
}

std::vector<Bytes> payloads_of(std::initializer_list<std::string_view> texts) {
  std::vector<Bytes> out;
  for (const auto text : texts) out.push_back(bytes_of(text));
  return out;
}

struct Snapshot {
  Relay::Deposits deposits;
  Relay::Seen seen;
  explicit Snapshot(const Relay& relay) : deposits(relay.deposits()), seen(relay.seen()) {}
  bool operator==(const Snapshot&) const = default;
};

void deposit_ok(Relay& relay, std::string_view payload, std::uint64_t now,
                const MailboxId& mailbox = kTestMailbox) {
  const auto result = try_deposit(relay, fixture(RelayOp::Deposit, now, as_bytes(payload), mailbox),
                                  bytes_of(payload), now);
  ASSERT_TRUE(result.has_value()) << result.error();
}

std::vector<Bytes> peek_ok(Relay& relay, std::uint64_t now) {
  auto result = try_peek(relay, fixture(RelayOp::Peek, now), now);
  if (!result) ADD_FAILURE() << "peek refused: " << result.error();
  return result ? std::move(*result) : std::vector<Bytes>{};
}

std::vector<Bytes> pull_ok(Relay& relay, std::uint64_t now,
                           const MailboxId& mailbox = kTestMailbox) {
  auto result = try_pull(relay, fixture(RelayOp::Pull, now, {}, mailbox), now);
  if (!result) ADD_FAILURE() << "pull refused: " << result.error();
  return result ? std::move(*result) : std::vector<Bytes>{};
}

}  // namespace

// --- admission ---

TEST(relay, wrong_capability_is_rejected) {
  Relay relay = keyed_relay();
  RelayRequest request = fixture(RelayOp::Deposit, 10000, as_bytes("x"));
  request.capability[0] ^= 0xFF;
  ASSERT_EQ(refusal(try_deposit(relay, request, bytes_of("x"), 10000)), RelayError::BadCapability);
}

TEST(relay, capability_comparison_sees_every_byte) {
  EXPECT_TRUE(capability_matches(kTestKey, kTestKey));
  for (std::size_t at : {0u, 16u, 31u}) {
    Key32 presented = kTestKey;
    presented[at] ^= 0x01;
    EXPECT_FALSE(capability_matches(kTestKey, presented)) << "byte " << at;
  }
}

TEST(relay, a_stranger_without_the_key_cannot_deposit) {
  Relay relay = keyed_relay();
  const RelayRequest request = hand_built(RelayOp::Deposit, kStrangerKey, 10000, 1, as_bytes("x"));
  ASSERT_EQ(refusal(try_deposit(relay, request, bytes_of("x"), 10000)), RelayError::BadCapability);
}

TEST(relay, bad_pow_is_rejected) {
  Relay relay = keyed_relay(1000, 16);
  const RelayRequest request = hand_built(RelayOp::Deposit, kTestKey, 10000, 1, as_bytes("x"), 0);
  ASSERT_EQ(refusal(try_deposit(relay, request, bytes_of("x"), 10000)), RelayError::BadPow);
}

TEST(relay, stale_timestamp_is_rejected) {
  Relay relay = keyed_relay();
  const RelayRequest request = fixture(RelayOp::Deposit, 10000, as_bytes("x"));
  ASSERT_EQ(refusal(try_deposit(relay, request, bytes_of("x"), 10301)), RelayError::Stale);
}

TEST(relay, replay_of_the_same_request_is_rejected) {
  Relay relay = keyed_relay();
  const RelayRequest request = fixture(RelayOp::Deposit, 10000, as_bytes("x"));
  const auto first = try_deposit(relay, request, bytes_of("x"), 10000);
  ASSERT_TRUE(first.has_value()) << first.error();
  ASSERT_EQ(refusal(try_deposit(relay, request, bytes_of("x"), 10000)), RelayError::Replay);
}

TEST(relay, open_mode_accepts_any_capability_but_still_needs_pow) {
  Relay relay = open_relay();
  const RelayRequest request = hand_built(RelayOp::Deposit, std::nullopt, 10000, 1, as_bytes("x"));
  ASSERT_EQ(request.capability, Key32{});
  const auto result = try_deposit(relay, request, bytes_of("x"), 10000);
  ASSERT_TRUE(result.has_value()) << result.error();
}

TEST(relay, build_helpers_produce_accepted_requests) {
  Relay relay = keyed_relay();
  const auto deposit =
      build_request(RelayOp::Deposit, kTestKey, kTestMailbox, 10000, as_bytes("hi"));
  ASSERT_TRUE(deposit.has_value());
  const auto pull = build_request(RelayOp::Pull, kTestKey, kTestMailbox, 10001, {});
  ASSERT_TRUE(pull.has_value());
  const auto deposited = try_deposit(relay, *deposit, bytes_of("hi"), 10000);
  ASSERT_TRUE(deposited.has_value()) << deposited.error();
  const auto pulled = try_pull(relay, *pull, 10001);
  ASSERT_TRUE(pulled.has_value()) << pulled.error();
  ASSERT_EQ(*pulled, payloads_of({"hi"}));
}

// --- store ---

TEST(relay, valid_deposit_then_pull_roundtrips_and_burns) {
  Relay relay = keyed_relay();
  deposit_ok(relay, "ciphertext", 10000);
  ASSERT_EQ(pull_ok(relay, 10001), payloads_of({"ciphertext"}));
  ASSERT_TRUE(pull_ok(relay, 10002).empty());
}

TEST(relay, peek_reads_without_burning) {
  Relay relay = keyed_relay();
  deposit_ok(relay, "dir-record", 10000);
  ASSERT_EQ(peek_ok(relay, 10001), payloads_of({"dir-record"}));
  ASSERT_EQ(peek_ok(relay, 10002), payloads_of({"dir-record"}));
  ASSERT_EQ(pull_ok(relay, 10003), payloads_of({"dir-record"}));
  ASSERT_TRUE(peek_ok(relay, 10004).empty());
}

TEST(relay, expired_deposits_are_not_returned_and_swept) {
  Relay relay = keyed_relay(100);
  deposit_ok(relay, "old", 10000);
  ASSERT_TRUE(pull_ok(relay, 10200).empty());
  relay.sweep(10200);
  ASSERT_TRUE(relay.deposits().empty());
}

TEST(relay, export_import_preserves_entries) {
  Relay relay = keyed_relay();
  deposit_ok(relay, "persist", 10000);
  std::vector<ExportedDeposit> exported = relay.export_entries();
  ASSERT_EQ(exported.size(), 1u);
  Relay second = keyed_relay();
  second.import(std::move(exported));
  ASSERT_EQ(pull_ok(second, 10001), payloads_of({"persist"}));
}

// --- beyond the scenarios ---

TEST(relay, bound_strings_match_known_answers) {
  // Layouts computed independently of this code base.
  constexpr std::uint64_t timestamp = 0x0102030405060708ULL;
  constexpr std::uint64_t nonce = 0x1122334455667788ULL;
  const auto challenge =
      pow_challenge(RelayOp::Deposit, kTestMailbox, timestamp, kFixtureRequestId, as_bytes("x"));
  EXPECT_EQ(Bytes(challenge.begin(), challenge.end()),
            hex("01a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5010203040506"
                "070800000000123456782d711642b726b04401627ca9fbac32f5c8530fb1903cc4db0225871792"
                "1a4881"));
  EXPECT_EQ(compute_capability(kTestKey, RelayOp::Deposit, kTestMailbox, timestamp,
                               kFixtureRequestId, nonce, as_bytes("x")),
            hex_array<32>("350580943b6e84e81dfec6aef76a68ccc2b7e3e82795fe7147a1e9ea395c8b85"));
  EXPECT_EQ(compute_capability(kTestKey, RelayOp::Pull, kTestMailbox, timestamp, kFixtureRequestId,
                               nonce, {}),
            hex_array<32>("83114fd5f788f7a8430943fd67f0f1c9b35c8b5f8cea60bbbb61c28974bba746"));

  RelayRequest request{kTestMailbox, filled<32>(0x77), timestamp, kFixtureRequestId, nonce};
  const auto deposit_digest =
      hex_array<32>("f5eaf59771aa939bf573885e2b62c63d327b2abb7b04a6f01e52dabf326f3605");
  EXPECT_EQ(request_digest(RelayOp::Deposit, request, as_bytes("x")), deposit_digest);
  request.capability = Key32{};
  EXPECT_EQ(request_digest(RelayOp::Deposit, request, as_bytes("x")), deposit_digest)
      << "the capability is not part of the digest";
  EXPECT_EQ(request_digest(RelayOp::Pull, request, {}),
            hex_array<32>("cae58aafa6c2ea38a32aa9dc18efb7f9174c1d4eb31ba5c2e83031138da94d83"));
  EXPECT_EQ(crypto::sha256({}),
            hex_array<32>("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
}

TEST(relay, errors_print_their_names) {
  const std::pair<RelayError, std::string_view> names[] = {
      {RelayError::Stale, "Stale"},
      {RelayError::BadCapability, "BadCapability"},
      {RelayError::BadPow, "BadPow"},
      {RelayError::Replay, "Replay"}};
  for (const auto& [error, name] : names) {
    EXPECT_EQ(to_string(error), name);
    std::ostringstream out;
    out << error;
    EXPECT_EQ(out.str(), name);
  }
  EXPECT_EQ(static_cast<int>(RelayError::Replay), 3);
  EXPECT_EQ(static_cast<int>(RelayOp::Peek), 3);
}

TEST(relay, window_edges_are_inclusive) {
  const std::pair<std::uint64_t, std::optional<RelayError>> cases[] = {
      {9700, std::nullopt},      {10300, std::nullopt},      {10000, std::nullopt},
      {9699, RelayError::Stale}, {10301, RelayError::Stale}, {0, RelayError::Stale},
      {kMax, RelayError::Stale}};
  for (const auto& [timestamp, expected] : cases) {
    Relay relay = keyed_relay();
    const RelayRequest request = fixture(RelayOp::Deposit, timestamp, as_bytes("x"));
    EXPECT_EQ(refusal(try_deposit(relay, request, bytes_of("x"), 10000)), expected)
        << "timestamp " << timestamp;
    EXPECT_EQ(relay.seen().size(), expected ? 0u : 1u);
  }
}

TEST(relay, refused_requests_leave_no_trace_and_are_judged_afresh) {
  Relay relay = keyed_relay();
  deposit_ok(relay, "already here", 9990);
  const Snapshot before(relay);

  // Too far ahead now, admitted once now comes within the window.
  const RelayRequest early = fixture(RelayOp::Deposit, 10400, as_bytes("x"));
  ASSERT_EQ(refusal(try_deposit(relay, early, bytes_of("x"), 10000)), RelayError::Stale);
  ASSERT_EQ(Snapshot(relay), before);

  // A forged tag leaves no digest behind, so the genuine request (same digest) still passes.
  const RelayRequest genuine = fixture(RelayOp::Deposit, 10000, as_bytes("y"));
  RelayRequest forged = genuine;
  forged.capability[31] ^= 0x01;
  for (int attempt = 0; attempt < 2; ++attempt) {
    ASSERT_EQ(refusal(try_deposit(relay, forged, bytes_of("y"), 10000)), RelayError::BadCapability);
    ASSERT_EQ(Snapshot(relay), before);
  }

  Relay hard = keyed_relay(1000, 16);
  const RelayRequest weak = hand_built(RelayOp::Deposit, kTestKey, 10000, 1, as_bytes("x"), 0);
  const Snapshot hard_before(hard);
  for (int attempt = 0; attempt < 2; ++attempt) {
    ASSERT_EQ(refusal(try_deposit(hard, weak, bytes_of("x"), 10000)), RelayError::BadPow);
    ASSERT_EQ(Snapshot(hard), hard_before);
  }

  ASSERT_TRUE(try_deposit(relay, genuine, bytes_of("y"), 10000).has_value());
  ASSERT_TRUE(try_deposit(relay, early, bytes_of("x"), 10100).has_value());
  EXPECT_EQ(pull_ok(relay, 10101), payloads_of({"already here", "y", "x"}));
}

TEST(relay, a_deposit_request_presented_as_a_pull_is_refused) {
  Relay keyed = keyed_relay();
  deposit_ok(keyed, "kept", 10000);
  const Snapshot keyed_before(keyed);
  const RelayRequest deposit = fixture(RelayOp::Deposit, 10001, as_bytes("x"));
  EXPECT_EQ(refusal(try_pull(keyed, deposit, 10001)), RelayError::BadCapability);
  EXPECT_EQ(refusal(try_peek(keyed, deposit, 10001)), RelayError::BadCapability);
  EXPECT_EQ(Snapshot(keyed), keyed_before);

  // For this fixture the deposit's nonce does not meet difficulty 8 for the pull's challenge.
  Relay open = open_relay();
  const RelayRequest open_deposit =
      hand_built(RelayOp::Deposit, std::nullopt, 10001, kFixtureRequestId, as_bytes("x"));
  EXPECT_EQ(refusal(try_pull(open, open_deposit, 10001)), RelayError::BadPow);
  EXPECT_TRUE(open.seen().empty());
}

TEST(relay, open_mode_digest_ignores_the_capability_bytes) {
  Relay relay = open_relay();
  RelayRequest request = hand_built(RelayOp::Deposit, std::nullopt, 10000, 7, as_bytes("x"));
  ASSERT_TRUE(try_deposit(relay, request, bytes_of("x"), 10000).has_value());
  request.capability = filled<32>(0xEE);
  EXPECT_EQ(refusal(try_deposit(relay, request, bytes_of("x"), 10000)), RelayError::Replay);
  EXPECT_EQ(relay.deposits().at(kTestMailbox).size(), 1u);
}

TEST(relay, separately_built_requests_are_both_admitted) {
  Relay relay = keyed_relay();
  const auto first = build_request(RelayOp::Deposit, kTestKey, kTestMailbox, 10000, as_bytes("hi"));
  const auto second =
      build_request(RelayOp::Deposit, kTestKey, kTestMailbox, 10000, as_bytes("hi"));
  ASSERT_TRUE(first && second);
  ASSERT_NE(first->request_id, second->request_id);
  ASSERT_TRUE(try_deposit(relay, *first, bytes_of("hi"), 10000).has_value());
  ASSERT_TRUE(try_deposit(relay, *second, bytes_of("hi"), 10000).has_value());
  const auto peek = build_request(RelayOp::Peek, std::nullopt, kTestMailbox, 10000, {});
  ASSERT_TRUE(peek.has_value());
  EXPECT_EQ(peek->capability, Key32{});
  EXPECT_TRUE(pow::verify(pow_challenge(RelayOp::Peek, kTestMailbox, 10000, peek->request_id, {}),
                          kBuildRequestDifficulty, peek->pow_nonce));
}

TEST(relay, largest_max_skew_is_never_stale_nor_pruned) {
  Relay relay = open_relay(kMax);
  const auto admit = [&](std::uint64_t timestamp, std::uint64_t now) {
    const RelayRequest request = hand_built(RelayOp::Deposit, std::nullopt, timestamp, 1, {});
    return relay.check_request(RelayOp::Deposit, request, {}, now).has_value();
  };
  EXPECT_TRUE(admit(0, kMax));
  EXPECT_TRUE(admit(kMax, 0));
  EXPECT_TRUE(admit(kMax / 2, 0));
  relay.sweep(0);
  relay.sweep(kMax);
  EXPECT_EQ(relay.seen().size(), 3u);
}

TEST(relay, replay_cache_keeps_exactly_the_horizon_in_both_directions) {
  // max_skew 300 gives the horizon 301. Two entries: A at 10000 and B at 10300, both admitted at
  // now 10000; then the cache is pruned at `now`, by an admission or by a sweep.
  struct Case {
    std::uint64_t now;
    bool keeps_a;
    bool keeps_b;
  };
  const Case cases[] = {{10301, true, true},   {10302, false, true}, {10601, false, true},
                        {10602, false, false}, {9999, true, true},   {9998, true, false},
                        {9699, true, false},   {9698, false, false}};
  for (const bool by_sweep : {false, true}) {
    for (const Case& c : cases) {
      Relay relay = open_relay(300, 0);
      const RelayRequest a = hand_built(RelayOp::Pull, std::nullopt, 10000, 1, {});
      const RelayRequest b = hand_built(RelayOp::Pull, std::nullopt, 10300, 2, {});
      ASSERT_TRUE(relay.check_request(RelayOp::Pull, a, {}, 10000).has_value());
      ASSERT_TRUE(relay.check_request(RelayOp::Pull, b, {}, 10000).has_value());
      if (by_sweep) {
        relay.sweep(c.now);
      } else {
        const RelayRequest probe = hand_built(RelayOp::Pull, std::nullopt, c.now, 3, {});
        ASSERT_TRUE(relay.check_request(RelayOp::Pull, probe, {}, c.now).has_value());
      }
      const auto digest_a = request_digest(RelayOp::Pull, a, {});
      const auto digest_b = request_digest(RelayOp::Pull, b, {});
      EXPECT_EQ(relay.seen().contains(digest_a), c.keeps_a) << c.now << (by_sweep ? " sweep" : "");
      EXPECT_EQ(relay.seen().contains(digest_b), c.keeps_b) << c.now << (by_sweep ? " sweep" : "");
      if (relay.seen().contains(digest_b)) {
        EXPECT_EQ(relay.seen().at(digest_b), 10300u);
      }
    }
  }
}

TEST(relay, a_replay_keeps_the_pruning_it_caused) {
  Relay relay = open_relay(300, 0);
  const RelayRequest old = hand_built(RelayOp::Pull, std::nullopt, 10000, 1, {});
  const RelayRequest ahead = hand_built(RelayOp::Pull, std::nullopt, 10100, 2, {});
  ASSERT_TRUE(relay.check_request(RelayOp::Pull, old, {}, 10000).has_value());
  ASSERT_TRUE(relay.check_request(RelayOp::Pull, ahead, {}, 10000).has_value());
  EXPECT_EQ(refusal(relay.check_request(RelayOp::Pull, ahead, {}, 10302)), RelayError::Replay);
  EXPECT_EQ(relay.seen().size(), 1u);
  EXPECT_TRUE(relay.seen().contains(request_digest(RelayOp::Pull, ahead, {})));
}

TEST(relay, pruning_matches_a_full_scan_of_the_cache) {
  // The ordered index must remove exactly what a walk over every entry would.
  vostrel::test::XorShift random(2024);
  for (const std::uint64_t max_skew : {std::uint64_t{0}, std::uint64_t{5}, kMax - 1, kMax}) {
    Relay relay = open_relay(max_skew, 0);
    std::map<RequestDigest, std::uint64_t> model;
    const std::uint64_t horizon = max_skew == kMax ? kMax : max_skew + 1;
    const auto far = [&](std::uint64_t ts, std::uint64_t now) {
      return (ts > now ? ts - now : now - ts) > horizon;
    };
    for (std::uint64_t step = 0; step < 400; ++step) {
      const std::uint64_t base = (random.next() % 3 == 0) ? kMax - 20 : 1000;
      const std::uint64_t now = base + random.next() % 20;
      const std::uint64_t timestamp = base + random.next() % 20;
      if (random.next() % 8 == 0) {
        relay.sweep(now);
        std::erase_if(model, [&](const auto& entry) { return far(entry.second, now); });
      } else {
        const RelayRequest request =
            hand_built(RelayOp::Peek, std::nullopt, timestamp, random.next() % 50, {}, 0);
        const auto result = relay.check_request(RelayOp::Peek, request, {}, now);
        const bool stale = (timestamp > now ? timestamp - now : now - timestamp) > max_skew;
        if (!stale) {
          std::erase_if(model, [&](const auto& entry) { return far(entry.second, now); });
          const auto digest = request_digest(RelayOp::Peek, request, {});
          const bool replay = model.contains(digest);
          ASSERT_EQ(refusal(result), replay ? std::optional(RelayError::Replay) : std::nullopt);
          if (!replay) model.emplace(digest, timestamp);
        } else {
          ASSERT_EQ(refusal(result), RelayError::Stale);
        }
      }
      ASSERT_EQ(relay.seen().size(), model.size()) << "max_skew " << max_skew << " step " << step;
      for (const auto& [digest, timestamp_seen] : model) {
        ASSERT_EQ(relay.seen().at(digest), timestamp_seen);
      }
    }
  }
}

TEST(relay, sweeps_pulls_and_imports_match_a_full_scan_of_the_store) {
  // The index of mailboxes by their oldest entry must let a sweep drop exactly what a walk over
  // every queue would, also when time runs backwards and imports bring older entries.
  constexpr std::uint64_t kRetention = 100;
  vostrel::test::XorShift random(77);
  Relay relay(kMax, kRetention, std::nullopt, 0);
  std::map<MailboxId, std::vector<StoredDeposit>> model;
  const MailboxId mailboxes[] = {kTestMailbox, kOtherMailbox, filled<32>(0x01), filled<32>(0x02)};
  const auto live = [&](const StoredDeposit& entry, std::uint64_t now) {
    return (now > entry.stored_at ? now - entry.stored_at : 0) <= kRetention;
  };
  std::uint64_t request_id = 0;
  for (std::uint64_t step = 0; step < 2000; ++step) {
    const MailboxId& mailbox = mailboxes[random.next() % 4];
    const std::uint64_t now = random.next() % 400;
    const Bytes payload(8, static_cast<std::uint8_t>(step));
    switch (random.next() % 8) {
      case 0:
      case 1:
      case 2: {
        const RelayRequest request{mailbox, Key32{}, now, ++request_id, 0};
        ASSERT_TRUE(try_deposit(relay, request, payload, now).has_value());
        model[mailbox].push_back({payload, now});
        break;
      }
      case 3: {
        std::vector<ExportedDeposit> entries;
        for (std::uint64_t i = random.next() % 4; i > 0; --i) {
          const MailboxId& into = random.next() % 2 ? mailbox : mailboxes[random.next() % 4];
          entries.push_back({into, payload, random.next() % 400});
          model[into].push_back({payload, entries.back().stored_at});
        }
        relay.import(std::move(entries));
        break;
      }
      case 4: {
        const RelayRequest request{mailbox, Key32{}, now, ++request_id, 0};
        const auto pulled = try_pull(relay, request, now);
        ASSERT_TRUE(pulled.has_value());
        std::vector<Bytes> expected;
        for (const StoredDeposit& entry : model[mailbox]) {
          if (live(entry, now)) expected.push_back(entry.payload);
        }
        model.erase(mailbox);
        ASSERT_EQ(*pulled, expected) << "step " << step;
        break;
      }
      default:
        relay.sweep(now);
        for (auto queue = model.begin(); queue != model.end();) {
          std::erase_if(queue->second,
                        [&](const StoredDeposit& entry) { return !live(entry, now); });
          queue = queue->second.empty() ? model.erase(queue) : std::next(queue);
        }
    }
    ASSERT_EQ(relay.deposits().size(), model.size()) << "step " << step;
    for (const auto& [id, queue] : model)
      ASSERT_EQ(relay.deposits().at(id), queue) << "step " << step;
  }
}

TEST(relay, retention_is_inclusive_and_future_deposits_are_fresh) {
  Relay relay = keyed_relay(1000);
  deposit_ok(relay, "edge", 10000);
  EXPECT_EQ(peek_ok(relay, 11000), payloads_of({"edge"})) << "exactly the retention old";
  EXPECT_TRUE(peek_ok(relay, 11001).empty()) << "one second past the retention";
  EXPECT_EQ(relay.deposits().at(kTestMailbox).size(), 1u) << "expired but still held";
  EXPECT_EQ(peek_ok(relay, 9990), payloads_of({"edge"})) << "stored_at after now is zero old";

  relay.sweep(11000);
  EXPECT_EQ(relay.deposits().size(), 1u);
  EXPECT_TRUE(pull_ok(relay, 11001).empty());
  EXPECT_TRUE(relay.deposits().empty()) << "a pull removes a mailbox of expired entries";
  EXPECT_TRUE(pull_ok(relay, 11002).empty());

  deposit_ok(relay, "late", 20000);
  relay.sweep(21001);
  EXPECT_TRUE(relay.deposits().empty());
}

TEST(relay, retention_holds_at_both_ends_of_the_clock) {
  struct Case {
    std::uint64_t retention;
    std::uint64_t stored_at;
    std::uint64_t now;
    bool live;
  };
  const Case cases[] = {
      {kMax, 0, kMax, true},           {kMax - 1, 0, kMax, false},
      {1000, kMax - 1000, kMax, true}, {1000, kMax - 1001, kMax, false},
      {0, kMax, kMax, true},           {0, kMax, 0, true},  // stored after now: zero old
      {1000, 0, kMax, false},
  };
  for (const Case& c : cases) {
    Relay relay(kMax, c.retention, std::nullopt, 0);
    relay.import({{kTestMailbox, bytes_of("entry"), c.stored_at}});
    const RelayRequest peek = hand_built(RelayOp::Peek, std::nullopt, c.now, 1, {}, 0);
    const auto peeked = try_peek(relay, peek, c.now);
    ASSERT_TRUE(peeked.has_value());
    EXPECT_EQ(peeked->size(), c.live ? 1u : 0u)
        << c.retention << " " << c.stored_at << " " << c.now;
    relay.sweep(c.now);
    EXPECT_EQ(relay.deposits().size(), c.live ? 1u : 0u) << c.retention << " " << c.now;
  }
}

TEST(relay, sweep_keeps_the_order_of_live_entries_and_drops_empty_mailboxes) {
  Relay relay = keyed_relay(1000);
  deposit_ok(relay, "a", 10000);
  deposit_ok(relay, "b", 10800);
  deposit_ok(relay, "c", 10000 + 1);
  deposit_ok(relay, "d", 10900);
  deposit_ok(relay, "gone", 10002, kOtherMailbox);
  relay.sweep(11050);
  ASSERT_EQ(relay.deposits().size(), 1u);
  const auto& queue = relay.deposits().at(kTestMailbox);
  ASSERT_EQ(queue.size(), 2u);
  EXPECT_EQ(queue[0], (StoredDeposit{bytes_of("b"), 10800}));
  EXPECT_EQ(queue[1], (StoredDeposit{bytes_of("d"), 10900}));
}

TEST(relay, peek_and_pull_replays_are_refused) {
  Relay relay = keyed_relay();
  deposit_ok(relay, "once", 10000);
  const RelayRequest deposit = fixture(RelayOp::Deposit, 10000, as_bytes("once"));
  EXPECT_EQ(refusal(try_deposit(relay, deposit, bytes_of("once"), 10000)), RelayError::Replay);
  EXPECT_EQ(relay.deposits().at(kTestMailbox).size(), 1u) << "a replayed deposit stores nothing";

  const RelayRequest peek = fixture(RelayOp::Peek, 10001);
  ASSERT_TRUE(try_peek(relay, peek, 10001).has_value());
  EXPECT_EQ(refusal(try_peek(relay, peek, 10001)), RelayError::Replay);

  const RelayRequest pull = fixture(RelayOp::Pull, 10002);
  const auto pulled = try_pull(relay, pull, 10002);
  ASSERT_TRUE(pulled.has_value());
  EXPECT_EQ(*pulled, payloads_of({"once"}));
  deposit_ok(relay, "after", 10003);
  const Snapshot before(relay);
  EXPECT_EQ(refusal(try_pull(relay, pull, 10003)), RelayError::Replay);
  EXPECT_EQ(Snapshot(relay), before);
}

TEST(relay, export_and_import_twice_store_every_entry_twice) {
  Relay relay = keyed_relay(100);
  deposit_ok(relay, "first", 10000);
  deposit_ok(relay, "second", 10001);
  deposit_ok(relay, "other", 10002, kOtherMailbox);
  relay.sweep(10000);  // nothing expired yet
  const Snapshot before(relay);
  const std::vector<ExportedDeposit> exported = relay.export_entries();
  EXPECT_EQ(Snapshot(relay), before);
  ASSERT_EQ(exported.size(), 3u);

  Relay copy = keyed_relay(100);
  deposit_ok(copy, "resident", 10000);
  copy.import(exported);
  copy.import(exported);
  const std::vector<StoredDeposit> expected = {{bytes_of("resident"), 10000},
                                               {bytes_of("first"), 10000},
                                               {bytes_of("second"), 10001},
                                               {bytes_of("first"), 10000},
                                               {bytes_of("second"), 10001}};
  EXPECT_EQ(copy.deposits().at(kTestMailbox), expected);
  EXPECT_EQ(copy.deposits().at(kOtherMailbox),
            (std::vector<StoredDeposit>{{bytes_of("other"), 10002}, {bytes_of("other"), 10002}}));
  EXPECT_TRUE(copy.seen().size() == 1u) << "the replay cache is not exported";

  // Expired entries are exported too, and expire on the importer as they would have here.
  const std::vector<ExportedDeposit> late = relay.export_entries();
  EXPECT_EQ(late.size(), 3u);
  Relay restored = keyed_relay(100);
  restored.import(late);
  EXPECT_TRUE(pull_ok(restored, 10102).empty());
}

TEST(relay, deposits_and_pulls_move_payloads) {
  Relay relay = keyed_relay();
  Bytes payload(4096, 0x61);
  const std::uint8_t* storage = payload.data();
  const RelayRequest request =
      fixture(RelayOp::Deposit, 10000, ByteView(payload.data(), payload.size()));
  ASSERT_TRUE(try_deposit(relay, request, std::move(payload), 10000).has_value());
  EXPECT_EQ(relay.deposits().at(kTestMailbox)[0].payload.data(), storage);
  std::vector<Bytes> pulled = pull_ok(relay, 10001);
  ASSERT_EQ(pulled.size(), 1u);
  EXPECT_EQ(pulled[0].data(), storage);
}

TEST(relay, map_hashing_is_keyed_per_relay) {
  // Identifiers that collide in one relay's maps are no help against another's.
  const Relay first = open_relay();
  const Relay second = open_relay();
  EXPECT_NE(first.deposits().hash_function()(kTestMailbox),
            second.deposits().hash_function()(kTestMailbox));
  EXPECT_NE(first.seen().hash_function()(kTestMailbox),
            second.seen().hash_function()(kTestMailbox));
  const Relay copy = first;
  EXPECT_EQ(copy.deposits().hash_function()(kTestMailbox),
            first.deposits().hash_function()(kTestMailbox));
}
