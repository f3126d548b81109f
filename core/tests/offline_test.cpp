#include "vostrel/offline.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <sstream>

#include "test_support.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/mailbox.hpp"

using namespace vostrel;
using namespace vostrel::offline;
using vostrel::identity::Identity;
using vostrel::test::bytes_of;
using vostrel::test::filled;

namespace {

constexpr std::uint64_t NOW = 1'700'000'000;
constexpr std::uint64_t kEpoch = NOW / 3600;
const Key32 kRoot = filled<32>(0x77);

// A sender and a receiver of one direction, from the root and the sender's identity key.
struct Direction {
  Identity sender_id = Identity::generate();
  Identity receiver_id = Identity::generate();
  OfflineSender tx{kRoot, sender_id.public_key()};
  OfflineReceiver rx{kRoot, sender_id.public_key()};

  PrekeyBundle publish_one() { return rx.publish_prekeys(receiver_id, 1, NOW).at(0); }
};

// Everything that ingest may change: chain position and keys, kept keys, stored prekeys.
Bytes state_of(const OfflineReceiver& rx) {
  Bytes out;
  put_bytes(out, rx.chain().chain_key().view());
  put_be(out, rx.chain().next());
  for (const auto& [counter, key] : rx.chain().skipped()) {
    put_be(out, counter);
    put_bytes(out, key.view());
  }
  for (const auto& [id, secret] : rx.prekeys()) put_bytes(out, prekey_record(secret).view());
  return out;
}

Bytes sender_state_of(const OfflineSender& tx) {
  Bytes out;
  put_bytes(out, tx.chain().chain_key().view());
  put_be(out, tx.chain().next());
  return out;
}

Key32 env_key_for(const Identity& sender) {
  return crypto::hmac_sha256(kRoot, {as_bytes(labels::kEnvelopeKey), sender.public_key()});
}

// An envelope around any padded plaintext, sealed as a genuine sender would.
Bytes craft_envelope(const Identity& sender, std::uint64_t seq, ByteView padded) {
  const Key32 key = env_key_for(sender);
  Bytes envelope;
  put_be(envelope, seq);
  put_bytes(envelope, crypto::seal(key, env_nonce(key, seq), be_bytes(seq), padded));
  return envelope;
}

Bytes padded_of(ByteView inner, std::size_t fill = 0) {
  Bytes padded;
  put_be(padded, static_cast<std::uint32_t>(inner.size()));
  put_bytes(padded, inner);
  padded.resize(padded.size() + fill, 0);
  return padded;
}

// Opens a genuine envelope, lets `change` alter its padded plaintext, and seals it again.
Bytes reseal(const Identity& sender, ByteView envelope, const std::function<void(Bytes&)>& change) {
  const Key32 key = env_key_for(sender);
  const auto seq = load_be<std::uint64_t>(envelope.data());
  auto padded = crypto::open(key, env_nonce(key, seq), envelope.first(8), envelope.subspan(8));
  if (!padded) throw Panic("not a genuine envelope");
  change(*padded);
  return craft_envelope(sender, seq, *padded);
}

bool contains(ByteView haystack, ByteView needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

}  // namespace

// --- named checks ---

TEST(offline, blobs_are_padded_to_a_bucket_and_hide_metadata) {
  Direction d;
  const auto short_blob = d.tx.seal(bytes_of("x"));
  const auto long_blob = d.tx.seal(Bytes(100, 'A'));
  ASSERT_TRUE(short_blob.has_value());
  ASSERT_TRUE(long_blob.has_value());
  ASSERT_EQ(short_blob->size() % 256, 24u) << "envelope plaintext padded to a bucket";
  ASSERT_EQ(long_blob->size() % 256, 24u);
  ASSERT_EQ(short_blob->size(), long_blob->size())
      << "1-byte and 100-byte msgs are indistinguishable by length";
}

TEST(offline, fallback_without_prekey_is_forward_secret) {
  Direction d;
  const auto envelope = d.tx.seal(bytes_of("no prekey today"));
  ASSERT_TRUE(envelope.has_value());
  ASSERT_EQ(ingest(d.rx, *envelope), bytes_of("no prekey today"));
}

TEST(offline, replay_and_forged_blobs_are_dropped_not_fatal) {
  Direction d;
  const Bytes m0 = *d.tx.seal(bytes_of("m0"));
  ASSERT_EQ(ingest(d.rx, m0), bytes_of("m0"));
  ASSERT_EQ(ingest(d.rx, m0), std::unexpected(OfflineError::Chain(ChainError::Replay)));
  ASSERT_FALSE(ingest(d.rx, Bytes(8, 0)).has_value());
  ASSERT_EQ(ingest(d.rx, *d.tx.seal(bytes_of("m1"))), bytes_of("m1"));
}

TEST(offline, token_derivations_are_directional_and_rotate) {
  const Key32 root = filled<32>(0x51);
  const Key32 a = filled<32>(0xA1);
  const Key32 b = filled<32>(0xB2);
  const std::uint64_t epoch = 472'222;
  EXPECT_NE(mbx_loc(root, a, epoch), mbx_loc(root, b, epoch));
  EXPECT_NE(mbx_loc(root, a, epoch), mbx_loc(root, a, epoch + 1));
  EXPECT_NE(mbx_loc(root, a, epoch), prekey_loc(root, a, epoch));
  EXPECT_NE(prekey_seal_key(root, a), prekey_seal_key(root, b));
}

TEST(offline, sealed_prekey_blob_roundtrips_and_rejects_tamper) {
  Direction d;
  const Key32 seal_key = prekey_seal_key(kRoot, d.receiver_id.public_key());
  const Bytes blob = seal_bundle(seal_key, d.publish_one());
  const auto opened = open_bundle(seal_key, blob);
  ASSERT_TRUE(opened.has_value());
  ASSERT_TRUE(opened->verify(d.receiver_id.public_key(), NOW));
  ASSERT_FALSE(open_bundle(Key32{}, blob).has_value());
  Bytes tampered = blob;
  tampered.back() = static_cast<std::uint8_t>(~tampered.back());
  ASSERT_FALSE(open_bundle(seal_key, tampered).has_value());
}

TEST(offline, relay_never_sees_the_bundle_id) {
  Direction d;
  const PrekeyBundle bundle = d.publish_one();
  const auto envelope = d.tx.seal(bytes_of("hi"), &bundle);
  ASSERT_TRUE(envelope.has_value());
  const Bytes blob = seal_bundle(prekey_seal_key(kRoot, d.receiver_id.public_key()), bundle);
  ASSERT_FALSE(contains(*envelope, bundle.id)) << "bundle id leaked in the deposited message";
  ASSERT_FALSE(contains(blob, bundle.id)) << "bundle id leaked in the published prekey blob";
}

TEST(offline, forged_blob_does_not_burn_prekey_or_desync_chain) {
  Direction d;
  const PrekeyBundle bundle = d.publish_one();
  ASSERT_FALSE(ingest(d.rx, Bytes(280, 0)).has_value());
  ASSERT_EQ(d.rx.prekeys().size(), 1u) << "forged blob must NOT burn the prekey";
  ASSERT_EQ(ingest(d.rx, *d.tx.seal(bytes_of("hi"), &bundle)), bytes_of("hi"));
  ASSERT_EQ(d.rx.prekeys().size(), 0u);
}

TEST(offline, full_relay_roundtrip_with_pcs_and_ordering) {
  const Identity alice = Identity::generate();
  const Identity bob = Identity::generate();
  OfflineReceiver bob_rx(kRoot, alice.public_key());
  OfflineSender alice_tx(kRoot, alice.public_key());
  mailbox::BlindMailbox box;

  const Key32 seal_key = prekey_seal_key(kRoot, bob.public_key());
  const auto bundles = bob_rx.publish_prekeys(bob, 3, NOW);
  ASSERT_EQ(bob_rx.prekeys().size(), 3u);
  for (const auto& bundle : bundles) {
    box.deposit(prekey_loc(kRoot, bob.public_key(), kEpoch), seal_bundle(seal_key, bundle));
  }

  const auto published = mailbox::pull(box, prekey_loc(kRoot, bob.public_key(), kEpoch));
  ASSERT_EQ(published.size(), 3u);
  const auto bundle = open_bundle(seal_key, published[0]);
  ASSERT_TRUE(bundle.has_value());
  ASSERT_TRUE(bundle->verify(bob.public_key(), NOW));
  const Key32 alice_loc = mbx_loc(kRoot, alice.public_key(), kEpoch);
  for (const auto& [text, with_bundle] :
       {std::pair{"hello bob", true}, {"second", false}, {"third", false}}) {
    auto envelope = alice_tx.seal(as_bytes(text), with_bundle ? &*bundle : nullptr);
    ASSERT_TRUE(envelope.has_value()) << text;
    box.deposit(alice_loc, std::move(*envelope));
  }

  const auto pulled = mailbox::pull(box, alice_loc);
  ASSERT_EQ(pulled.size(), 3u);
  std::vector<Bytes> messages;
  for (const auto& blob : pulled) {
    auto message = ingest(bob_rx, blob);
    ASSERT_TRUE(message.has_value()) << message.error();
    messages.push_back(std::move(*message));
  }
  ASSERT_EQ(messages,
            (std::vector<Bytes>{bytes_of("hello bob"), bytes_of("second"), bytes_of("third")}));
  ASSERT_EQ(bob_rx.prekeys().size(), 2u) << "one prekey consumed by the mix-in";
}

// --- envelopes ---

TEST(offline, envelope_sizes_and_the_largest_messages) {
  const struct {
    std::size_t message;
    bool mixed;
    std::size_t envelope;
  } cases[] = {
      {0, false, 280},
      {226, false, 280},
      {227, false, 536},
      {0, true, 1304},
      {114, true, 1304},
      {115, true, 1560},
      {kMaxPlainMessage, false, 65'304},
      {kMaxMixedMessage, true, 65'304},
  };
  for (const auto& c : cases) {
    Direction d;
    const Bytes message(c.message, 0x5A);
    const auto bundle = c.mixed ? std::optional(d.publish_one()) : std::nullopt;
    const auto envelope = d.tx.seal(message, bundle ? &*bundle : nullptr);
    ASSERT_TRUE(envelope.has_value()) << c.message;
    EXPECT_EQ(envelope->size(), c.envelope) << c.message;
    EXPECT_EQ(load_be<std::uint64_t>(envelope->data()), 0u);
    EXPECT_EQ(ingest(d.rx, *envelope), message) << c.message;
  }
}

TEST(offline, seal_refuses_an_envelope_the_peer_could_never_ingest) {
  for (const bool mixed : {false, true}) {
    Direction d;
    (void)d.tx.seal(bytes_of("first"));
    const auto bundle = d.publish_one();
    const PrekeyBundle* use = mixed ? &bundle : nullptr;
    const Bytes before = sender_state_of(d.tx);
    const Bytes too_long((mixed ? kMaxMixedMessage : kMaxPlainMessage) + 1, 0);
    EXPECT_FALSE(d.tx.seal(too_long, use).has_value()) << mixed;
    EXPECT_EQ(sender_state_of(d.tx), before) << mixed;
    // No sequence number was used up.
    const auto next = d.tx.seal(bytes_of("next"), use);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(load_be<std::uint64_t>(next->data()), 1u);
  }
  // A bundle that sender_mix refuses leaves the sender as it was too.
  Direction d;
  PrekeyBundle broken = d.publish_one();
  broken.ek.pop_back();
  const Bytes before = sender_state_of(d.tx);
  EXPECT_FALSE(d.tx.seal(bytes_of("m"), &broken).has_value());
  EXPECT_EQ(sender_state_of(d.tx), before);
}

// Found by fuzzing the send chain: at the last counter the sender wrapped its sequence numbers,
// sealing again under envelope nonces already used.
TEST(offline, seal_refuses_at_the_last_counter) {
  Direction d;
  OfflineSender tx = OfflineSender::restore(
      kRoot, d.sender_id.public_key(), d.tx.chain().chain_key().view(), sendchain::kLastCounter);
  const auto bundle = d.publish_one();
  const Bytes before = sender_state_of(tx);
  EXPECT_FALSE(tx.seal(bytes_of("m")).has_value());
  EXPECT_FALSE(tx.seal(bytes_of("m"), &bundle).has_value());
  EXPECT_EQ(sender_state_of(tx), before);
}

TEST(offline, every_ingest_refusal_leaves_the_receiver_as_it_was) {
  Direction d;
  const PrekeyBundle bundle = d.publish_one();
  const Bytes first = *d.tx.seal(bytes_of("first"));
  ASSERT_TRUE(ingest(d.rx, first).has_value());
  // Envelopes sealed from copies of the sender's position, so the genuine one stays unspent.
  const auto fork = [&d] {
    return OfflineSender::restore(kRoot, d.sender_id.public_key(), d.tx.chain().chain_key().view(),
                                  d.tx.chain().next());
  };
  const auto with_damaged_frame = [&](const PrekeyBundle* b) {
    return reseal(d.sender_id, *fork().seal(bytes_of("damaged"), b),
                  [](Bytes& p) { p[4 + load_be<std::uint32_t>(p.data()) - 1] ^= 0x01; });
  };
  Direction other;
  const PrekeyBundle unknown = other.publish_one();
  Bytes altered = *fork().seal(bytes_of("altered"));
  altered[20] ^= 0x01;
  Bytes past_end(256, 0);
  store_be(past_end.data(), std::uint32_t{253});
  const Bytes header = prekey::sender_mix(bundle)->header.to_bytes();
  Bytes mixed_no_frame{0x01};
  put_bytes(mixed_no_frame, header);
  const Bytes mixed_too_short(mixed_no_frame.begin(), mixed_no_frame.end() - 1);
  Bytes far_frame{0x00, sendchain::kFrameVersion};
  put_be(far_frame, std::uint64_t{1 + 2001});
  far_frame.resize(far_frame.size() + 16, 0);

  const struct {
    const char* name;
    Bytes envelope;
    OfflineError error;
  } cases[] = {
      {"7 bytes", Bytes(7, 0), OfflineError::Malformed},
      {"65,537 bytes", Bytes(65'537, 0), OfflineError::Malformed},
      {"other direction", *OfflineSender(kRoot, d.receiver_id.public_key()).seal({}),
       OfflineError::Malformed},
      {"other pair", *other.tx.seal({}), OfflineError::Malformed},
      {"altered byte", altered, OfflineError::Malformed},
      {"plaintext of 3 bytes", craft_envelope(d.sender_id, 1, Bytes(3, 0)),
       OfflineError::Malformed},
      {"L of 0", craft_envelope(d.sender_id, 1, Bytes(256, 0)), OfflineError::Malformed},
      {"L past the end", craft_envelope(d.sender_id, 1, past_end), OfflineError::Malformed},
      {"kind 0x02", craft_envelope(d.sender_id, 1, padded_of(Bytes{0x02, 0x01}, 200)),
       OfflineError::Malformed},
      {"mixed record of 1136 bytes", craft_envelope(d.sender_id, 1, padded_of(mixed_too_short)),
       OfflineError::Malformed},
      {"unknown prekey", *fork().seal(bytes_of("x"), &unknown), OfflineError::UnknownPrekey},
      {"replayed", first, OfflineError::Chain(ChainError::Replay)},
      {"empty frame", craft_envelope(d.sender_id, 1, padded_of(Bytes{0x00})),
       OfflineError::Chain(ChainError::Malformed)},
      {"mixed, empty frame", craft_envelope(d.sender_id, 1, padded_of(mixed_no_frame)),
       OfflineError::Chain(ChainError::Malformed)},
      {"gap beyond 2000", craft_envelope(d.sender_id, 1, padded_of(far_frame)),
       OfflineError::Chain(ChainError::TooManySkipped)},
      {"plain, damaged frame", with_damaged_frame(nullptr),
       OfflineError::Chain(ChainError::Decrypt)},
      {"mixed, damaged frame", with_damaged_frame(&bundle),
       OfflineError::Chain(ChainError::Decrypt)},
  };
  for (const auto& c : cases) {
    const Bytes before = state_of(d.rx);
    EXPECT_EQ(ingest(d.rx, c.envelope), std::unexpected(c.error)) << c.name;
    EXPECT_EQ(state_of(d.rx), before) << c.name;
  }
  // 8 to 23 bytes: a sequence number but no room for a tag.
  for (std::size_t n = 8; n <= 23; ++n) {
    const Bytes before = state_of(d.rx);
    EXPECT_EQ(ingest(d.rx, vostrel::test::XorShift(n).bytes(n)),
              std::unexpected(OfflineError::Malformed))
        << n;
    EXPECT_EQ(state_of(d.rx), before) << n;
  }
  ASSERT_EQ(ingest(d.rx, *d.tx.seal(bytes_of("genuine"), &bundle)), bytes_of("genuine"));
  EXPECT_TRUE(d.rx.prekeys().empty());
}

TEST(offline, fill_after_the_inner_record_is_not_examined) {
  Direction d;
  for (const std::size_t fill : {0u, 1u, 300u}) {
    Bytes padded = reseal(d.sender_id, *d.tx.seal(bytes_of("filled")), [fill](Bytes& p) {
      p.resize(4 + load_be<std::uint32_t>(p.data()));
      p.resize(p.size() + fill, 0xEE);
    });
    EXPECT_EQ(ingest(d.rx, padded), bytes_of("filled")) << fill;
  }
}

TEST(offline, plain_envelopes_open_in_any_order_once) {
  Direction d;
  std::vector<Bytes> envelopes;
  for (const char* m : {"e0", "e1", "e2"}) envelopes.push_back(*d.tx.seal(as_bytes(m)));
  for (const std::size_t i : {2u, 0u, 1u}) {
    EXPECT_EQ(ingest(d.rx, envelopes[i]), bytes_of("e" + std::to_string(i)));
  }
  for (const std::size_t i : {2u, 0u, 1u}) {
    EXPECT_EQ(ingest(d.rx, envelopes[i]), std::unexpected(OfflineError::Chain(ChainError::Replay)));
  }
}

TEST(offline, mixed_envelope_waits_for_its_prekey_and_its_predecessor) {
  Direction d;
  // A prekey published by the receiver's owner but not yet in this half's store.
  OfflineReceiver elsewhere(kRoot, d.sender_id.public_key());
  const PrekeyBundle bundle = elsewhere.publish_prekeys(d.receiver_id, 1, NOW).at(0);
  const Bytes plain = *d.tx.seal(bytes_of("zero"));
  const Bytes mixed = *d.tx.seal(bytes_of("one"), &bundle);

  Bytes before = state_of(d.rx);
  EXPECT_EQ(ingest(d.rx, mixed), std::unexpected(OfflineError::UnknownPrekey));
  EXPECT_EQ(state_of(d.rx), before);

  const SecretBytes record = prekey_record(elsewhere.prekeys().begin()->second);
  const ByteView records[] = {record.view()};
  d.rx.import_prekeys(records);
  before = state_of(d.rx);
  EXPECT_EQ(ingest(d.rx, mixed), std::unexpected(OfflineError::Chain(ChainError::Decrypt)));
  EXPECT_EQ(state_of(d.rx), before);
  EXPECT_EQ(d.rx.prekeys().size(), 1u);

  EXPECT_EQ(ingest(d.rx, plain), bytes_of("zero"));
  EXPECT_EQ(ingest(d.rx, mixed), bytes_of("one"));
  EXPECT_TRUE(d.rx.prekeys().empty());
  EXPECT_EQ(ingest(d.rx, mixed), std::unexpected(OfflineError::UnknownPrekey));
  EXPECT_EQ(ingest(d.rx, *d.tx.seal(bytes_of("two"))), bytes_of("two"));
}

TEST(offline, restored_halves_resume_their_positions) {
  Direction d;
  ASSERT_TRUE(ingest(d.rx, *d.tx.seal(bytes_of("before"))).has_value());
  OfflineSender tx = OfflineSender::restore(kRoot, d.sender_id.public_key(),
                                            d.tx.chain().chain_key().view(), d.tx.chain().next());
  OfflineReceiver rx = OfflineReceiver::restore(
      kRoot, d.sender_id.public_key(), d.rx.chain().chain_key().view(), d.rx.chain().next());
  const Bytes envelope = *tx.seal(bytes_of("after"));
  EXPECT_EQ(envelope, *d.tx.seal(bytes_of("after")));
  EXPECT_EQ(load_be<std::uint64_t>(envelope.data()), 1u);
  EXPECT_EQ(ingest(rx, envelope), bytes_of("after"));
  EXPECT_TRUE(rx.prekeys().empty());
}

TEST(offline, derivations_differ_where_they_must) {
  const Key32 a = filled<32>(0xA1);
  const Key32 b = filled<32>(0xB2);
  EXPECT_NE(env_nonce(a, 0), env_nonce(a, 1));
  EXPECT_NE(prekey_loc(kRoot, a, 7), prekey_loc(kRoot, a, 8));
  EXPECT_NE(prekey_loc(kRoot, a, 7), prekey_loc(kRoot, b, 7));
  EXPECT_NE(mbx_loc(kRoot, a, 0), mbx_loc(kRoot, a, UINT64_MAX));
}

TEST(offline, error_text_names_the_variant) {
  std::ostringstream text;
  text << OfflineError::Malformed << ' ' << OfflineError::UnknownPrekey << ' '
       << OfflineError::Chain(ChainError::Replay);
  EXPECT_EQ(text.str(), "Malformed UnknownPrekey Chain(Replay)");
  EXPECT_EQ(to_string(OfflineError::Chain(ChainError::TooManySkipped)), "Chain(TooManySkipped)");
  EXPECT_NE(OfflineError::Chain(ChainError::Replay), OfflineError::Chain(ChainError::Decrypt));
  EXPECT_NE(OfflineError::Chain(ChainError::Malformed), OfflineError::Malformed);
  EXPECT_EQ(OfflineError::Chain(ChainError::Decrypt).chain_error(), ChainError::Decrypt);
  EXPECT_EQ(OfflineError::Malformed.chain_error(), std::nullopt);
}

// --- prekey publication ---

TEST(offline, publish_prekeys_stores_what_it_returns) {
  Direction d;
  const auto bundles = d.rx.publish_prekeys(d.receiver_id, 3, NOW);
  ASSERT_EQ(bundles.size(), 3u);
  std::vector<PrekeyId> ids;
  for (const auto& bundle : bundles) {
    EXPECT_EQ(bundle.expires_at, NOW + PREKEY_TTL);
    EXPECT_TRUE(bundle.verify(d.receiver_id.public_key(), NOW));
    EXPECT_FALSE(bundle.verify(d.receiver_id.public_key(), NOW + PREKEY_TTL));
    ids.push_back(bundle.id);
  }
  std::sort(ids.begin(), ids.end());
  std::vector<PrekeyId> stored;
  for (const auto& [id, secret] : d.rx.prekeys()) stored.push_back(id);
  EXPECT_EQ(stored, ids);
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
}

TEST(offline, publish_prekeys_keeps_the_store_within_what_a_snapshot_holds) {
  Direction d;
  const Bytes empty = state_of(d.rx);
  EXPECT_TRUE(d.rx.publish_prekeys(d.receiver_id, 0, NOW).empty());
  EXPECT_EQ(state_of(d.rx), empty);
  ASSERT_EQ(d.rx.publish_prekeys(d.receiver_id, kMaxStoredPrekeys - 2, NOW).size(),
            kMaxStoredPrekeys - 2);
  const Bytes before = state_of(d.rx);
  EXPECT_TRUE(d.rx.publish_prekeys(d.receiver_id, 3, NOW).empty());
  EXPECT_EQ(state_of(d.rx), before);
  EXPECT_EQ(d.rx.publish_prekeys(d.receiver_id, 2, NOW).size(), 2u);
  EXPECT_EQ(d.rx.prekeys().size(), kMaxStoredPrekeys);
  EXPECT_TRUE(d.rx.publish_prekeys(d.receiver_id, 1, NOW).empty());

  // Import has no bound of its own; publication still refuses beyond it.
  OfflineReceiver crowded(kRoot, d.sender_id.public_key());
  std::vector<SecretBytes> records;
  for (const auto& [id, secret] : d.rx.prekeys()) records.push_back(prekey_record(secret));
  records.push_back(prekey_record(d.rx.prekeys().begin()->second));
  records.back()[0] ^= 0xFF;
  records.back()[1] ^= 0xFF;
  std::vector<ByteView> views;
  for (const auto& r : records) views.push_back(r.view());
  crowded.import_prekeys(views);
  ASSERT_EQ(crowded.prekeys().size(), kMaxStoredPrekeys + 1);
  EXPECT_TRUE(crowded.publish_prekeys(d.receiver_id, 1, NOW).empty());
}

TEST(offline, prune_removes_a_prekey_from_its_expiry_on) {
  Direction d;
  d.publish_one();
  d.rx.prune_prekeys(NOW + PREKEY_TTL - 1);
  EXPECT_EQ(d.rx.prekeys().size(), 1u);
  d.rx.prune_prekeys(NOW + PREKEY_TTL);
  EXPECT_TRUE(d.rx.prekeys().empty());
}

TEST(offline, publish_prekeys_saturates_at_the_top_of_the_clock) {
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::uint64_t now;
    std::optional<std::uint64_t> expires_at;  // absent: nothing is published
  };
  const Case cases[] = {
      {0, PREKEY_TTL},           {kTop - PREKEY_TTL - 1, kTop - 1},
      {kTop - PREKEY_TTL, kTop}, {kTop - PREKEY_TTL + 1, kTop},  // would wrap to 0
      {kTop - 1, kTop},                                          // would wrap to PREKEY_TTL - 2
      {kTop, std::nullopt},  // valid while now < expires_at: nothing can be
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now);
    Direction d;
    const auto bundles = d.rx.publish_prekeys(d.receiver_id, 2, c.now);
    if (!c.expires_at) {
      EXPECT_TRUE(bundles.empty());
      EXPECT_TRUE(d.rx.prekeys().empty());
      continue;
    }
    ASSERT_EQ(bundles.size(), 2u);
    for (const auto& bundle : bundles) {
      EXPECT_EQ(bundle.expires_at, *c.expires_at);
      EXPECT_TRUE(bundle.verify(d.receiver_id.public_key(), c.now));
    }
    for (const auto& [id, secret] : d.rx.prekeys()) EXPECT_EQ(secret.expires_at, *c.expires_at);
    d.rx.prune_prekeys(c.now);
    ASSERT_EQ(d.rx.prekeys().size(), 2u);
    const auto envelope = d.tx.seal(bytes_of("healed"), &bundles[0]);
    ASSERT_TRUE(envelope);
    const auto opened = ingest(d.rx, *envelope);
    ASSERT_TRUE(opened.has_value()) << opened.error();
    EXPECT_EQ(*opened, bytes_of("healed"));
  }
}

TEST(offline, prekey_records_roundtrip_and_import_skips_other_lengths) {
  Direction d;
  (void)d.rx.publish_prekeys(d.receiver_id, 3, NOW);
  std::vector<SecretBytes> records;
  for (const auto& [id, secret] : d.rx.prekeys()) records.push_back(prekey_record(secret));
  ASSERT_EQ(records[0].size(), kPrekeyRecordBytes);
  EXPECT_TRUE(std::equal(records[0].view().begin(), records[0].view().begin() + 16,
                         d.rx.prekeys().begin()->first.begin()));

  Bytes short_record(records[0].view().begin(), records[0].view().end() - 1);
  Bytes long_record(records[0].view().begin(), records[0].view().end());
  long_record.push_back(0);
  OfflineReceiver imported(kRoot, d.sender_id.public_key());
  const ByteView odd[] = {short_record, long_record};
  imported.import_prekeys(odd);
  EXPECT_TRUE(imported.prekeys().empty());

  // Reversed and repeated: the store keeps one per id, in id order, expired ones included.
  const ByteView all[] = {records[2].view(), records[1].view(), records[0].view(),
                          records[0].view()};
  imported.import_prekeys(all);
  EXPECT_EQ(state_of(imported), state_of(d.rx));
  imported.prune_prekeys(NOW + PREKEY_TTL);
  EXPECT_TRUE(imported.prekeys().empty());
}

TEST(offline, sealed_bundles_are_deterministic_and_bound_to_key_and_nonce) {
  Direction d;
  const PrekeyBundle bundle = d.publish_one();
  const Key32 key = prekey_seal_key(kRoot, d.receiver_id.public_key());
  const Key32 other_key = prekey_seal_key(kRoot, d.sender_id.public_key());
  const Bytes blob = seal_bundle(key, bundle);
  ASSERT_EQ(blob.size(), kSealedBundleBytes);
  EXPECT_EQ(seal_bundle(key, bundle), blob);
  EXPECT_FALSE(std::equal(blob.begin(), blob.begin() + 12, seal_bundle(other_key, bundle).begin()));
  EXPECT_EQ(open_bundle(key, blob), bundle);

  Bytes zero_nonce(12, 0);
  put_bytes(zero_nonce, crypto::seal(key, crypto::Nonce12{}, {}, bundle.to_bytes()));
  Bytes plus_one = blob;
  plus_one.push_back(0);
  const Bytes refused[] = {
      Bytes(blob.begin(), blob.begin() + 12),
      Bytes(blob.begin(), blob.end() - 1),
      plus_one,
      zero_nonce,
  };
  for (const auto& b : refused) EXPECT_FALSE(open_bundle(key, b).has_value()) << b.size();
  EXPECT_FALSE(open_bundle(other_key, blob).has_value());
}
