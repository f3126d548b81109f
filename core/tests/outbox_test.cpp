#include "vostrel/outbox.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "test_support.hpp"
#include "vostrel/mailbox.hpp"

using namespace vostrel;
using namespace vostrel::outbox;
using vostrel::identity::Identity;
using vostrel::offline::OfflineError;
using vostrel::test::bytes_of;
using vostrel::test::filled;

namespace {

constexpr std::uint64_t NOW = 1'700'000'000;
constexpr std::uint64_t kEpoch = 472'222;
const Key32 kRoot = filled<32>(0x99);

struct Peers {
  Identity a = Identity::generate();
  Identity b = Identity::generate();
  OfflineChannel alice{kRoot, a.public_key(), b.public_key()};
  OfflineChannel bob{kRoot, b.public_key(), a.public_key()};

  std::optional<OfflineChannel> restore_alice(ByteView snapshot, std::uint64_t now = NOW) const {
    return OfflineChannel::restore(kRoot, a.public_key(), b.public_key(), now, snapshot);
  }
  std::optional<OfflineChannel> restore_bob(ByteView snapshot, std::uint64_t now = NOW) const {
    return OfflineChannel::restore(kRoot, b.public_key(), a.public_key(), now, snapshot);
  }
};

Bytes bytes_of_snapshot(const OfflineChannel& channel) {
  const SecretBytes snapshot = channel.snapshot();
  return Bytes(snapshot.view().begin(), snapshot.view().end());
}

// The snapshot plus the kept skipped keys, which a snapshot leaves out.
Bytes state_of(const OfflineChannel& channel) {
  Bytes out = bytes_of_snapshot(channel);
  for (const auto& [counter, key] : channel.rx().chain().skipped()) {
    put_be(out, counter);
    put_bytes(out, key.view());
  }
  return out;
}

std::vector<Bytes> texts(std::initializer_list<std::string_view> list) {
  std::vector<Bytes> out;
  for (const auto t : list) out.push_back(bytes_of(t));
  return out;
}

// The 89-byte snapshot of a new channel, with the prekey and entry sections replaced.
Bytes snapshot_with(std::uint32_t prekeys, std::uint32_t entries, std::size_t blob_length) {
  Bytes out(kSnapshotHeadBytes - 4, 0);
  out[0] = kSnapshotVersion;
  put_be(out, prekeys);
  out.resize(out.size() + prekeys * offline::kPrekeyRecordBytes, 0);
  put_be(out, entries);
  for (std::uint32_t i = 0; i < entries; ++i) {
    put_be(out, std::uint64_t{i});
    out.push_back(0);
    put_be(out, static_cast<std::uint32_t>(blob_length));
    out.resize(out.size() + blob_length, 0);
  }
  return out;
}

}  // namespace

// --- named checks ---

TEST(outbox, queue_persist_then_deliver_roundtrip) {
  Peers p;
  ASSERT_TRUE(queue(p.alice, bytes_of("one")));
  ASSERT_TRUE(queue(p.alice, bytes_of("two")));
  const auto blobs = p.alice.pending();
  ASSERT_EQ(blobs.size(), 2u);
  ASSERT_EQ(p.bob.ingest_batch(blobs), texts({"one", "two"}));
}

TEST(outbox, crash_before_ack_replays_idempotently) {
  Peers p;
  ASSERT_TRUE(queue(p.alice, bytes_of("m0")));
  ASSERT_TRUE(queue(p.alice, bytes_of("m1")));
  const SecretBytes snapshot = p.alice.snapshot();
  const auto first_blobs = p.alice.pending();
  auto restarted = p.restore_alice(snapshot.view());
  ASSERT_TRUE(restarted.has_value());
  const auto retried = restarted->pending();
  ASSERT_EQ(retried.size(), 2u) << "nothing acked → still pending after restore";
  ASSERT_EQ(retried, first_blobs) << "retry is byte-identical (idempotent)";

  std::vector<Bytes> delivered = first_blobs;
  delivered.insert(delivered.end(), retried.begin(), retried.end());
  ASSERT_EQ(p.bob.ingest_batch(delivered), texts({"m0", "m1"}));

  restarted->ack(0);
  restarted->ack(1);
  const SecretBytes after_acks = restarted->snapshot();
  const auto again = p.restore_alice(after_acks.view());
  ASSERT_TRUE(again.has_value());
  ASSERT_TRUE(again->pending().empty());
}

TEST(outbox, outbox_is_bounded_fail_closed) {
  Peers p;
  for (std::size_t i = 0; i < MAX_PENDING; ++i) ASSERT_TRUE(queue(p.alice, bytes_of("m"))) << i;
  ASSERT_EQ(p.alice.pending().size(), 256u);
  ASSERT_FALSE(queue(p.alice, bytes_of("overflow"))) << "full outbox fails closed";
  p.alice.ack(p.alice.outbox().front().seq);
  ASSERT_TRUE(queue(p.alice, bytes_of("now ok")));
}

TEST(outbox, restore_rejects_truncated_garbage_or_trailing_junk) {
  Peers p;
  ASSERT_TRUE(queue(p.alice, bytes_of("x")));
  const Bytes snapshot = bytes_of_snapshot(p.alice);
  ASSERT_TRUE(p.restore_alice(snapshot).has_value());
  ASSERT_FALSE(p.restore_alice(ByteView(snapshot).first(snapshot.size() - 1)).has_value());
  Bytes longer = snapshot;
  longer.push_back(0);
  ASSERT_FALSE(p.restore_alice(longer).has_value());
}

TEST(outbox, expired_prekeys_pruned_on_restore) {
  Peers p;
  ASSERT_EQ(p.alice.rx().publish_prekeys(p.a, 3, NOW).size(), 3u);
  const SecretBytes snapshot = p.alice.snapshot();
  const auto late = p.restore_alice(snapshot.view(), NOW + 604'801);
  ASSERT_TRUE(late.has_value());
  ASSERT_TRUE(late->rx().prekeys().empty()) << "all expired prekeys pruned on restore";
  const auto on_time = p.restore_alice(snapshot.view(), NOW);
  ASSERT_TRUE(on_time.has_value());
  ASSERT_EQ(on_time->rx().prekeys().size(), 3u);
}

TEST(outbox, prekeys_published_at_the_top_of_the_clock_survive_a_restore) {
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  for (const std::uint64_t now : {kTop - offline::PREKEY_TTL + 1, kTop - 1}) {
    SCOPED_TRACE(now);
    Peers p;
    ASSERT_EQ(p.alice.rx().publish_prekeys(p.a, 2, now).size(), 2u);
    const SecretBytes snapshot = p.alice.snapshot();
    const auto restored = p.restore_alice(snapshot.view(), now);
    ASSERT_TRUE(restored.has_value());
    EXPECT_EQ(restored->rx().prekeys().size(), 2u);
  }
}

TEST(outbox, prekeys_and_pcs_survive_a_restart_full_relay) {
  Peers p;
  mailbox::BlindMailbox box;
  const Key32 seal_key = offline::prekey_seal_key(kRoot, p.b.public_key());
  const Key32 prekey_loc = offline::prekey_loc(kRoot, p.b.public_key(), kEpoch);
  for (const auto& bundle : p.bob.rx().publish_prekeys(p.b, 3, NOW)) {
    box.deposit(prekey_loc, offline::seal_bundle(seal_key, bundle));
  }
  const SecretBytes snapshot = p.bob.snapshot();
  auto bob = p.restore_bob(snapshot.view());
  ASSERT_TRUE(bob.has_value());
  ASSERT_EQ(bob->rx().prekeys().size(), 3u) << "3 prekeys survived the restart";

  const auto published = mailbox::pull(box, prekey_loc);
  ASSERT_FALSE(published.empty());
  const auto bundle = offline::open_bundle(seal_key, published[0]);
  ASSERT_TRUE(bundle.has_value());
  ASSERT_TRUE(bundle->verify(p.b.public_key(), NOW));
  OfflineChannel alice(kRoot, p.a.public_key(), p.b.public_key());
  ASSERT_TRUE(queue(alice, bytes_of("healed across a restart"), &*bundle));
  const Key32 alice_loc = offline::mbx_loc(kRoot, p.a.public_key(), kEpoch);
  for (auto& blob : alice.pending()) box.deposit(alice_loc, std::move(blob));

  const auto pulled = mailbox::pull(box, alice_loc);
  ASSERT_EQ(bob->ingest_batch(pulled), texts({"healed across a restart"}));
  ASSERT_LE(bob->rx().prekeys().size(), 2u) << "the consumed prekey is gone (2 left)";
}

// --- outbox ---

TEST(outbox, sequence_numbers_and_acknowledgements) {
  Peers p;
  EXPECT_TRUE(p.alice.pending().empty());
  for (std::size_t i = 0; i < MAX_PENDING; ++i) ASSERT_TRUE(queue(p.alice, {}));
  EXPECT_EQ(p.alice.outbox().front().seq, 0u);
  EXPECT_EQ(load_be<std::uint64_t>(p.alice.outbox().front().blob.data()), 0u);

  Bytes before = state_of(p.alice);
  EXPECT_FALSE(queue(p.alice, bytes_of("refused")));
  EXPECT_EQ(state_of(p.alice), before);
  p.alice.ack(9'999);  // no such entry
  EXPECT_EQ(state_of(p.alice), before);

  p.alice.ack(17);
  EXPECT_EQ(p.alice.pending().size(), 255u);
  ASSERT_TRUE(queue(p.alice, bytes_of("room for one")));
  EXPECT_EQ(p.alice.outbox().back().seq, 256u);  // the refused message used no number
  EXPECT_FALSE(queue(p.alice, bytes_of("full again")));
}

TEST(outbox, queue_refuses_what_the_sending_half_refuses) {
  Peers p;
  const PrekeyBundle bundle = p.bob.rx().publish_prekeys(p.b, 1, NOW).at(0);
  PrekeyBundle broken = bundle;
  broken.ek.resize(1000);
  const Bytes before = state_of(p.alice);
  EXPECT_FALSE(queue(p.alice, bytes_of("m"), &broken));
  EXPECT_FALSE(queue(p.alice, Bytes(offline::kMaxPlainMessage + 1, 0)));
  EXPECT_FALSE(queue(p.alice, Bytes(offline::kMaxMixedMessage + 1, 0), &bundle));
  EXPECT_EQ(state_of(p.alice), before);
  ASSERT_TRUE(queue(p.alice, Bytes(offline::kMaxMixedMessage, 0x42), &bundle));
  EXPECT_EQ(p.bob.ingest_batch(p.alice.pending()), std::vector<Bytes>{Bytes(64'114, 0x42)});
}

TEST(outbox, every_ingest_batch_refusal_leaves_the_channel_as_it_was) {
  Peers p;
  const PrekeyBundle stored = p.bob.rx().publish_prekeys(p.b, 1, NOW).at(0);
  OfflineChannel stranger(filled<32>(0x01), p.b.public_key(), p.a.public_key());
  const PrekeyBundle unknown = stranger.rx().publish_prekeys(p.b, 1, NOW).at(0);
  ASSERT_TRUE(queue(p.alice, bytes_of("first")));
  const Bytes first = p.alice.pending().back();
  ASSERT_EQ(p.bob.ingest_batch(std::vector<Bytes>{first}), texts({"first"}));
  ASSERT_TRUE(queue(p.alice, bytes_of("second")));  // held back, so the mix below comes early
  ASSERT_TRUE(queue(p.alice, bytes_of("mixed"), &stored));
  const Bytes second = p.alice.pending()[1];
  const Bytes early_mix = p.alice.pending()[2];
  offline::OfflineSender far(kRoot, p.a.public_key());
  for (int i = 0; i < 2002; ++i) (void)far.seal({});

  const struct {
    const char* name;
    Bytes blob;
    OfflineError error;
  } cases[] = {
      {"garbage", Bytes(300, 0xAB), OfflineError::Malformed},
      {"own direction", *offline::OfflineSender(kRoot, p.b.public_key()).seal({}),
       OfflineError::Malformed},
      {"unknown prekey",
       *offline::OfflineSender::restore(kRoot, p.a.public_key(),
                                        p.alice.tx().chain().chain_key().view(),
                                        p.alice.tx().chain().next())
            .seal({}, &unknown),
       OfflineError::UnknownPrekey},
      {"replay", first, OfflineError::Chain(offline::ChainError::Replay)},
      {"mix before its predecessor", early_mix, OfflineError::Chain(offline::ChainError::Decrypt)},
      {"gap beyond 2000", *far.seal({}), OfflineError::Chain(offline::ChainError::TooManySkipped)},
  };
  for (const auto& c : cases) {
    OfflineChannel probe = *p.restore_bob(bytes_of_snapshot(p.bob));
    EXPECT_EQ(offline::ingest(probe.rx(), c.blob), std::unexpected(c.error)) << c.name;
    const Bytes before = state_of(p.bob);
    EXPECT_TRUE(p.bob.ingest_batch(std::vector<Bytes>{c.blob}).empty()) << c.name;
    EXPECT_EQ(state_of(p.bob), before) << c.name;
  }
  EXPECT_EQ(p.bob.ingest_batch(std::vector<Bytes>{second, early_mix}), texts({"second", "mixed"}));
  EXPECT_TRUE(needs_prekeys(p.bob, 0));
}

TEST(outbox, ingest_batch_of_nothing_and_of_doubles) {
  Peers p;
  EXPECT_TRUE(p.bob.ingest_batch({}).empty());
  for (const char* m : {"a", "b", "c"}) ASSERT_TRUE(queue(p.alice, as_bytes(m)));
  std::vector<Bytes> doubled;
  for (const auto& blob : p.alice.pending()) {
    doubled.push_back(blob);
    doubled.push_back(blob);
  }
  EXPECT_EQ(p.bob.ingest_batch(doubled), texts({"a", "b", "c"}));
}

TEST(outbox, needs_prekeys_counts_what_is_stored) {
  Peers p;
  EXPECT_TRUE(needs_prekeys(p.bob, 0));
  (void)p.bob.rx().publish_prekeys(p.b, 2, NOW);
  EXPECT_FALSE(needs_prekeys(p.bob, 0));
  EXPECT_FALSE(needs_prekeys(p.bob, 1));
  EXPECT_TRUE(needs_prekeys(p.bob, 2));
}

// --- snapshot and restore ---

TEST(outbox, snapshot_layout_and_a_faithful_restore) {
  Peers p;
  const Bytes empty = bytes_of_snapshot(p.alice);
  ASSERT_EQ(empty.size(), 89u);
  EXPECT_EQ(bytes_of_snapshot(*p.restore_alice(empty)), empty);

  ASSERT_TRUE(queue(p.alice, bytes_of("kept")));
  ASSERT_TRUE(p.bob.ingest_batch(p.alice.pending()).size() == 1);
  ASSERT_TRUE(queue(p.bob, bytes_of("reply")));
  (void)p.alice.rx().publish_prekeys(p.a, 2, NOW);
  const Bytes full = bytes_of_snapshot(p.alice);
  EXPECT_EQ(full.size(), 89 + 2 * 2456 + 13 + p.alice.outbox()[0].blob.size());
  EXPECT_EQ(full[0], 0x01);
  EXPECT_EQ(load_be<std::uint64_t>(full.data() + 33), 1u);  // tx counter
  EXPECT_EQ(load_be<std::uint32_t>(full.data() + 81), 2u);

  auto restored = p.restore_alice(full);
  ASSERT_TRUE(restored.has_value());
  EXPECT_EQ(bytes_of_snapshot(*restored), full);
  EXPECT_EQ(restored->outbox(), p.alice.outbox());
  EXPECT_EQ(restored->ingest_batch(p.bob.pending()), texts({"reply"}));
  ASSERT_TRUE(queue(*restored, bytes_of("after restart")));
  EXPECT_EQ(restored->outbox().back().seq, 1u);
  EXPECT_EQ(p.bob.ingest_batch(restored->pending()), texts({"after restart"}));
}

TEST(outbox, restore_refuses_what_is_not_a_snapshot_within_the_limits) {
  Peers p;
  Bytes wrong_version = snapshot_with(0, 0, 0);
  wrong_version[0] = 0x02;
  Bytes entry_head_cut = snapshot_with(0, 1, 0);
  entry_head_cut.resize(entry_head_cut.size() - 1);
  const Bytes empty = snapshot_with(0, 0, 0);
  const Bytes two_records = snapshot_with(2, 0, 0);
  Bytes blob_cut = snapshot_with(0, 1, 10);
  blob_cut.pop_back();
  const struct {
    const char* name;
    Bytes snapshot;
  } refused[] = {
      {"empty", {}},
      {"84 bytes", Bytes(empty.begin(), empty.begin() + 84)},
      {"version 0x02", wrong_version},
      {"P = 513 with the records", snapshot_with(513, 0, 0)},
      {"records missing", Bytes(two_records.begin(), two_records.end() - 5)},
      {"entry count missing", Bytes(empty.begin(), empty.end() - 4)},
      {"Q = 257", snapshot_with(0, 257, 0)},
      {"entry head cut", entry_head_cut},
      {"blob of 65,537 bytes", snapshot_with(0, 1, 65'537)},
      {"blob cut", blob_cut},
      {"trailing byte",
       [] {
         Bytes s = snapshot_with(0, 1, 3);
         s.push_back(0);
         return s;
       }()},
  };
  for (const auto& c : refused) EXPECT_FALSE(p.restore_alice(c.snapshot).has_value()) << c.name;

  const struct {
    std::uint32_t prekeys, entries;
    std::size_t blob;
  } accepted[] = {{512, 0, 0}, {0, 256, 0}, {0, 1, 65'536}};
  for (const auto& c : accepted) {
    EXPECT_TRUE(p.restore_alice(snapshot_with(c.prekeys, c.entries, c.blob)).has_value())
        << c.prekeys << " " << c.entries << " " << c.blob;
  }
}

TEST(outbox, restored_entry_with_flag_0x02_counts_as_acknowledged) {
  Peers p;
  ASSERT_TRUE(queue(p.alice, bytes_of("done")));
  Bytes snapshot = bytes_of_snapshot(p.alice);
  snapshot[kSnapshotHeadBytes + 4 + 8] = 0x02;
  auto restored = p.restore_alice(snapshot);
  ASSERT_TRUE(restored.has_value());
  EXPECT_TRUE(restored->pending().empty());
  EXPECT_TRUE(restored->outbox().front().acked);
  for (std::size_t i = 0; i < MAX_PENDING; ++i) ASSERT_TRUE(queue(*restored, {})) << i;
  restored->ack(9'999);
  EXPECT_EQ(restored->outbox().size(), MAX_PENDING);
  EXPECT_EQ(restored->outbox().front().seq, 1u);
}

TEST(outbox, prekey_pruned_at_its_expiry_and_kept_one_second_before) {
  Peers p;
  (void)p.alice.rx().publish_prekeys(p.a, 1, NOW);
  const Bytes snapshot = bytes_of_snapshot(p.alice);
  EXPECT_EQ(p.restore_alice(snapshot, NOW + offline::PREKEY_TTL - 1)->rx().prekeys().size(), 1u);
  EXPECT_TRUE(p.restore_alice(snapshot, NOW + offline::PREKEY_TTL)->rx().prekeys().empty());
}

TEST(outbox, snapshot_under_other_keys_restores_but_does_not_talk) {
  Peers p;
  ASSERT_TRUE(queue(p.alice, bytes_of("lost")));
  const Bytes snapshot = bytes_of_snapshot(p.alice);
  auto misplaced =
      OfflineChannel::restore(filled<32>(0x01), p.a.public_key(), p.b.public_key(), NOW, snapshot);
  ASSERT_TRUE(misplaced.has_value());
  ASSERT_TRUE(queue(*misplaced, bytes_of("wrong root")));
  EXPECT_TRUE(p.bob.ingest_batch(std::vector<Bytes>{misplaced->pending().back()}).empty());
  ASSERT_TRUE(queue(p.bob, bytes_of("to alice")));
  EXPECT_TRUE(misplaced->ingest_batch(p.bob.pending()).empty());
}

// --- the two losses the header tells callers about ---

TEST(outbox, restore_loses_a_frame_passed_over_before_the_snapshot_and_its_resends) {
  Peers p;
  ASSERT_TRUE(queue(p.alice, bytes_of("passed over")));
  ASSERT_TRUE(queue(p.alice, bytes_of("arrived")));
  const auto blobs = p.alice.pending();
  ASSERT_EQ(p.bob.ingest_batch(std::vector<Bytes>{blobs[1]}), texts({"arrived"}));
  ASSERT_EQ(p.bob.rx().chain().skipped().size(), 1u) << "a frame is outstanding";
  auto bob = p.restore_bob(bytes_of_snapshot(p.bob));
  ASSERT_TRUE(bob.has_value());

  const auto stale = offline::ingest(bob->rx(), blobs[0]);
  ASSERT_FALSE(stale.has_value());
  EXPECT_EQ(stale.error(), OfflineError::Chain(offline::ChainError::Replay));
  const auto resent = offline::ingest(bob->rx(), p.alice.pending().front());
  ASSERT_FALSE(resent.has_value());
  EXPECT_EQ(resent.error(), OfflineError::Chain(offline::ChainError::Replay));

  // Queued again, the message travels under a new counter and arrives.
  ASSERT_TRUE(queue(p.alice, bytes_of("passed over")));
  EXPECT_EQ(bob->ingest_batch(std::vector<Bytes>{p.alice.pending().back()}),
            texts({"passed over"}));
  // Without the restart the frame opens.
  EXPECT_EQ(p.bob.ingest_batch(std::vector<Bytes>{blobs[0]}), texts({"passed over"}));
}

TEST(outbox, a_mixed_envelope_whose_prekey_was_pruned_breaks_its_direction) {
  Peers p;
  const auto bundles = p.bob.rx().publish_prekeys(p.b, 2, NOW);
  ASSERT_EQ(bundles.size(), 2u);
  const Bytes offline_snapshot = bytes_of_snapshot(p.bob);
  ASSERT_TRUE(queue(p.alice, bytes_of("mixed"), &bundles[0]));
  ASSERT_TRUE(queue(p.alice, bytes_of("plain after it")));
  ASSERT_TRUE(queue(p.alice, bytes_of("mixed with the other prekey"), &bundles[1]));

  // Bob comes back after the prekey lifetime: the restore prunes both prekeys.
  const std::uint64_t later = NOW + offline::PREKEY_TTL;
  auto bob = p.restore_bob(offline_snapshot, later);
  ASSERT_TRUE(bob.has_value());
  ASSERT_TRUE(bob->rx().prekeys().empty());
  const auto fresh = bob->rx().publish_prekeys(p.b, 1, later);
  ASSERT_EQ(fresh.size(), 1u);
  ASSERT_TRUE(queue(p.alice, bytes_of("mixed with a live prekey"), &fresh[0]));

  const auto blobs = p.alice.pending();
  const OfflineError decrypt = OfflineError::Chain(offline::ChainError::Decrypt);
  const std::vector<OfflineError> refusals = {OfflineError::UnknownPrekey, decrypt,
                                              OfflineError::UnknownPrekey, decrypt};
  ASSERT_EQ(blobs.size(), refusals.size());
  for (std::size_t i = 0; i < blobs.size(); ++i) {
    const auto opened = offline::ingest(bob->rx(), blobs[i]);
    ASSERT_FALSE(opened.has_value()) << i;
    EXPECT_EQ(opened.error(), refusals[i]) << i;
  }

  // Restored at the snapshot's own time, the prekeys are still there and everything opens.
  auto on_time = p.restore_bob(offline_snapshot, NOW);
  ASSERT_TRUE(on_time.has_value());
  EXPECT_EQ(on_time->ingest_batch(std::span(blobs).first(3)),
            texts({"mixed", "plain after it", "mixed with the other prekey"}));
  on_time->rx().prune_prekeys(later);
  EXPECT_TRUE(on_time->rx().prekeys().empty());
}
