#include "vostrel/ratchet.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <string>

#include "state_views.hpp"
#include "test_support.hpp"
#include "vostrel/internal/ratchet_steps.hpp"
#include "vostrel/internal/state_copy.hpp"

using namespace vostrel;
using namespace vostrel::ratchet;
using vostrel::test::bytes_of;
using vostrel::test::filled;

namespace {

const Key32 kTestRoot = filled<32>(0x5A);

struct Pair {
  Ratchet sender;
  Ratchet receiver;
};

Pair make_pair() {
  const Secret32 receiver_secret = random_secret32();
  return Pair{Ratchet::init_sender(kTestRoot, crypto::x25519_public(receiver_secret.view())),
              Ratchet::init_receiver(kTestRoot, receiver_secret.view())};
}

std::optional<std::string> open_text(Ratchet& ratchet, const RatchetMessage& message,
                                     ByteView ad = {}) {
  const auto opened = decrypt(ratchet, message, ad);
  if (!opened) return std::nullopt;
  return std::string(opened->begin(), opened->end());
}

RatchetMessage seal_text(Ratchet& ratchet, std::string_view text, ByteView ad = {}) {
  return ratchet.encrypt(as_bytes(text), ad);
}

using test::snapshot;
using test::Snapshot;

}  // namespace

// --- self-checks ---

TEST(ratchet, ping_pong_conversation) {
  auto [alice, bob] = make_pair();
  const ByteView ad = as_bytes("ad");
  EXPECT_EQ(open_text(bob, seal_text(alice, "hi bob", ad), ad), "hi bob");
  EXPECT_EQ(open_text(alice, seal_text(bob, "hi alice", ad), ad), "hi alice");
  EXPECT_EQ(open_text(bob, seal_text(alice, "how are you?", ad), ad), "how are you?");
  EXPECT_EQ(open_text(alice, seal_text(bob, "good, you?", ad), ad), "good, you?");
}

TEST(ratchet, out_of_order_delivery_within_a_chain) {
  auto [alice, bob] = make_pair();
  const auto zero = seal_text(alice, "zero");
  const auto one = seal_text(alice, "one");
  const auto two = seal_text(alice, "two");
  EXPECT_EQ(open_text(bob, two), "two");
  EXPECT_EQ(open_text(bob, zero), "zero");
  EXPECT_EQ(open_text(bob, one), "one");
}

TEST(ratchet, dropped_message_does_not_break_the_chain) {
  auto [alice, bob] = make_pair();
  const auto lost = seal_text(alice, "lost");
  const auto kept = seal_text(alice, "kept");
  EXPECT_EQ(open_text(bob, kept), "kept");
  EXPECT_EQ(open_text(bob, lost), "lost");
}

TEST(ratchet, each_message_uses_a_fresh_key) {
  auto [alice, bob] = make_pair();
  const auto first = seal_text(alice, "same");
  const auto second = seal_text(alice, "same");
  EXPECT_NE(first.ciphertext, second.ciphertext);
  EXPECT_EQ(first.header.dh_public, second.header.dh_public);
  EXPECT_EQ(second.header.message_index, first.header.message_index + 1);
  EXPECT_EQ(open_text(bob, first), "same");
  EXPECT_EQ(open_text(bob, second), "same");
}

TEST(ratchet, tampering_is_rejected) {
  auto [alice, bob] = make_pair();
  auto message = seal_text(alice, "secret");
  message.ciphertext[0] ^= 1;
  EXPECT_FALSE(decrypt(bob, message, {}).has_value());
}

TEST(ratchet, many_messages_each_direction) {
  auto [alice, bob] = make_pair();
  for (int turn = 0; turn < 50; ++turn) {
    const std::string there = "a->b " + std::to_string(turn);
    const std::string back = "b->a " + std::to_string(turn);
    ASSERT_EQ(open_text(bob, seal_text(alice, there)), there);
    ASSERT_EQ(open_text(alice, seal_text(bob, back)), back);
  }
}

// --- edge cases ---

TEST(ratchet, strict_turns_step_every_time_and_keep_no_key) {
  auto [alice, bob] = make_pair();
  Key32 last_alice_key = alice.dh_public;
  for (int turn = 0; turn < 3; ++turn) {
    ASSERT_EQ(open_text(bob, seal_text(alice, "ping")), "ping");
    const auto pong = seal_text(bob, "pong");
    ASSERT_EQ(open_text(alice, pong), "pong");
    EXPECT_NE(alice.dh_public, last_alice_key);
    last_alice_key = alice.dh_public;
  }
  EXPECT_TRUE(alice.skipped.empty());
  EXPECT_TRUE(bob.skipped.empty());
}

TEST(ratchet, receiver_sends_only_after_its_first_message) {
  auto [alice, bob] = make_pair();
  const Key32 initial_public = bob.dh_public;
  const Snapshot before = snapshot(bob);
  try {
    (void)seal_text(bob, "too early");
    FAIL() << "encrypt without a sending chain must stop";
  } catch (const Panic& stop) {
    EXPECT_STREQ(stop.what(), "no sending chain yet — receive a message first");
  }
  EXPECT_EQ(snapshot(bob), before);

  ASSERT_EQ(open_text(bob, seal_text(alice, "first")), "first");
  const auto reply = seal_text(bob, "now");
  EXPECT_NE(reply.header.dh_public, initial_public);
  EXPECT_EQ(reply.header.previous_chain_length, 0u);
  EXPECT_EQ(reply.header.message_index, 0u);
  EXPECT_EQ(open_text(alice, reply), "now");
}

// Values computed apart from this code, with a general-purpose HMAC and the RFC 5869 steps.
TEST(ratchet, key_schedule_known_answers) {
  const auto [root, chain] = root_step(filled<32>(0x5A), filled<32>(0x11));
  EXPECT_EQ(root, test::hex_array<32>(
                      "840c7b369ed712b84a9081de2482ef07bc940c853daa91894930f7d347900edb"));
  EXPECT_EQ(chain, test::hex_array<32>(
                       "5a3fc7eded98d8ca52e0eee1b1e905fc98b6ae1bfcc7008eb0e614ebda31b62b"));
  const auto [next, message_key] = chain_step(filled<32>(0x22));
  EXPECT_EQ(next, test::hex_array<32>(
                      "eb69a9e97be0ce70d753477ef556f9757529551de4f0780f802bfbfec042dfca"));
  EXPECT_EQ(message_key, test::hex_array<32>(
                             "ea00790f3c60d49909b0fa0f8fba0b5756550b9c46647bac70f2390ec1b00b16"));
  const auto [key, nonce] = expand_message_key(filled<32>(0x33));
  EXPECT_EQ(
      key, test::hex_array<32>("1f2de2ed0d4301a92defb5cbb4e664b6a55243f1a917bba1c3f07980f514316c"));
  EXPECT_EQ(nonce, test::hex_array<12>("470a95edfd4458be47a101f2"));
}

TEST(ratchet, header_is_authenticated_after_the_associated_data) {
  auto [alice, bob] = make_pair();
  const Key32 chain = *alice.send_chain;
  const auto message = seal_text(alice, "bytes", as_bytes("ad"));
  const auto [next, message_key] = chain_step(chain);
  EXPECT_EQ(*alice.send_chain, next);
  const auto [key, nonce] = expand_message_key(message_key);
  Bytes associated = bytes_of("ad");
  put_bytes(associated, message.header.dh_public);
  put_be(associated, message.header.previous_chain_length);
  put_be(associated, message.header.message_index);
  EXPECT_EQ(crypto::open(key, nonce, associated, message.ciphertext), bytes_of("bytes"));

  // A changed header field, or other associated data, no longer opens.
  for (int field = 0; field < 3; ++field) {
    auto changed = message;
    if (field == 0) changed.header.dh_public[5] ^= 0x10;
    if (field == 1) changed.header.previous_chain_length += 1;
    if (field == 2) changed.header.message_index += 1;
    EXPECT_FALSE(decrypt(bob, changed, as_bytes("ad"))) << "field " << field;
  }
  EXPECT_FALSE(decrypt(bob, message, as_bytes("ae")));
  auto tag_flipped = message;
  tag_flipped.ciphertext.back() ^= 0x80;
  EXPECT_FALSE(decrypt(bob, tag_flipped, as_bytes("ad")));
  EXPECT_EQ(open_text(bob, message, as_bytes("ad")), "bytes");
}

TEST(ratchet, refused_messages_leave_the_state_unchanged) {
  auto [alice, bob] = make_pair();
  const auto first = seal_text(alice, "first");
  ASSERT_EQ(open_text(bob, first), "first");
  const auto late = seal_text(alice, "late");
  const auto second = seal_text(alice, "second");
  ASSERT_EQ(open_text(bob, second), "second");  // keeps the key of "late"

  auto forged_new_key = second;
  forged_new_key.header.dh_public = crypto::x25519_public(random_secret32().view());
  auto forged_next_index = second;
  forged_next_index.header.message_index = bob.recv_count;
  auto forged_kept_index = late;
  forged_kept_index.ciphertext[0] ^= 1;
  const RatchetMessage refused[] = {forged_new_key, forged_next_index, forged_kept_index, first,
                                    second};
  for (std::size_t i = 0; i < std::size(refused); ++i) {
    const Snapshot before = snapshot(bob);
    EXPECT_FALSE(decrypt(bob, refused[i], {})) << "message " << i;
    EXPECT_EQ(snapshot(bob), before) << "message " << i;
  }

  // The genuine conversation goes on in both directions.
  EXPECT_EQ(open_text(bob, late), "late");
  EXPECT_EQ(open_text(alice, seal_text(bob, "answer")), "answer");
  const auto after_turn = seal_text(alice, "after the turn");
  const Snapshot before = snapshot(bob);
  EXPECT_FALSE(decrypt(bob, second, {}));  // a replay from the peer's earlier chain
  EXPECT_EQ(snapshot(bob), before);
  EXPECT_EQ(open_text(bob, after_turn), "after the turn");
}

TEST(ratchet, skip_bound_within_one_chain) {
  auto [alice, bob] = make_pair();
  ASSERT_EQ(open_text(bob, seal_text(alice, "start")), "start");
  const std::uint32_t r = bob.recv_count;
  std::vector<RatchetMessage> chain;
  for (std::uint32_t i = 0; i <= RATCHET_MAX_SKIP + 1; ++i) chain.push_back(seal_text(alice, "m"));
  ASSERT_EQ(chain.back().header.message_index, r + 257);

  const Snapshot before = snapshot(bob);
  EXPECT_FALSE(decrypt(bob, chain.back(), {}));
  EXPECT_EQ(snapshot(bob), before);

  EXPECT_EQ(open_text(bob, chain[256]), "m");
  EXPECT_EQ(bob.skipped.size(), 256u);
  EXPECT_EQ(open_text(bob, chain.back()), "m");
  for (std::size_t i = 0; i < 256; ++i) ASSERT_EQ(open_text(bob, chain[i]), "m") << i;
  EXPECT_TRUE(bob.skipped.empty());
  for (const auto& message : chain) EXPECT_FALSE(decrypt(bob, message, {}));
}

TEST(ratchet, skip_bound_of_the_previous_chain_at_a_new_key) {
  // Bob has opened one message of Alice's first chain (r = 1); her chain then holds n messages.
  for (const std::uint32_t n : {257u, 258u}) {
    auto [alice, bob] = make_pair();
    ASSERT_EQ(open_text(bob, seal_text(alice, "start")), "start");
    for (std::uint32_t i = 1; i < n; ++i) (void)seal_text(alice, "unsent");
    ASSERT_EQ(open_text(alice, seal_text(bob, "turn")), "turn");
    const auto next_chain = seal_text(alice, "new key");
    ASSERT_EQ(next_chain.header.previous_chain_length, n);

    const Snapshot before = snapshot(bob);
    const auto opened = open_text(bob, next_chain);
    if (n == 1 + RATCHET_MAX_SKIP) {
      EXPECT_EQ(opened, "new key");
      EXPECT_EQ(bob.skipped.size(), 256u);
    } else {
      EXPECT_FALSE(opened);
      EXPECT_EQ(snapshot(bob), before);
    }
  }
}

TEST(ratchet, counters_do_not_wrap) {
  constexpr std::uint32_t kLast = std::numeric_limits<std::uint32_t>::max();
  auto [alice, bob] = make_pair();
  ASSERT_EQ(open_text(bob, seal_text(alice, "start")), "start");
  // Both chains jump to just below the last index; the chain keys stay in step.
  alice.send_count = kLast - 1;
  bob.recv_count = kLast - 1;
  const auto second_last = seal_text(alice, "second last");
  EXPECT_EQ(second_last.header.message_index, kLast - 1);
  EXPECT_EQ(open_text(bob, second_last), "second last");
  EXPECT_EQ(bob.recv_count, kLast);

  const Snapshot sender_before = snapshot(alice);
  try {
    (void)seal_text(alice, "one too many");
    FAIL() << "encrypt past the last index must stop";
  } catch (const Panic& stop) {
    EXPECT_STREQ(stop.what(), "sending chain exhausted — receive a message first");
  }
  EXPECT_EQ(snapshot(alice), sender_before);

  // A message at the last index under the right key would wrap recv_count: refused unchanged.
  const auto [next, message_key] = chain_step(*alice.send_chain);
  const auto [key, nonce] = expand_message_key(message_key);
  RatchetMessage at_last{{}, RatchetHeader{alice.dh_public, alice.previous_send_count, kLast}};
  Bytes associated(at_last.header.dh_public.begin(), at_last.header.dh_public.end());
  put_be(associated, at_last.header.previous_chain_length);
  put_be(associated, at_last.header.message_index);
  at_last.ciphertext = crypto::seal(key, nonce, associated, as_bytes("last"));
  ASSERT_TRUE(open_with_message_key(message_key, at_last, {}));
  const Snapshot receiver_before = snapshot(bob);
  EXPECT_FALSE(decrypt(bob, at_last, {}));
  EXPECT_EQ(snapshot(bob), receiver_before);

  // A turn of direction starts fresh chains on both sides.
  EXPECT_EQ(open_text(alice, seal_text(bob, "turn")), "turn");
  EXPECT_EQ(open_text(bob, seal_text(alice, "fresh")), "fresh");
}

TEST(ratchet, clone_carries_the_whole_state_and_lives_apart) {
  Pair pair = make_pair();
  const RatchetMessage late = seal_text(pair.sender, "late");
  const RatchetMessage next = seal_text(pair.sender, "next");
  ASSERT_EQ(open_text(pair.receiver, next), "next");  // keeps the key of "late"
  Ratchet copy = internal::clone(pair.receiver);
  EXPECT_EQ(copy.skipped.size(), 1u);
  EXPECT_EQ(open_text(copy, late), "late");
  EXPECT_EQ(open_text(pair.receiver, late), "late");  // the original kept its own key
  EXPECT_EQ(copy.dh_secret.bytes(), pair.receiver.dh_secret.bytes());
}
