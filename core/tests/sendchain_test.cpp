#include "vostrel/sendchain.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "state_views.hpp"
#include "test_support.hpp"
#include "vostrel/internal/state_copy.hpp"
#include "vostrel/labels.hpp"

using namespace vostrel;
using namespace vostrel::sendchain;
using vostrel::test::bytes_of;
using vostrel::test::filled;

namespace {

const Key32 kRoot = filled<32>(0x01);
const Key32 kSender = filled<32>(0x02);
const Key32 kOtherRoot = filled<32>(0x03);
const Key32 kOtherSender = filled<32>(0x04);

using test::state_of;

Bytes frame_at(std::uint64_t counter, std::size_t ciphertext_bytes) {
  Bytes frame(kFrameHeaderBytes + ciphertext_bytes, 0);
  frame[0] = kFrameVersion;
  store_be(frame.data() + 1, counter);
  return frame;
}

std::vector<Bytes> seal_all(SendChain& chain, std::initializer_list<std::string_view> messages) {
  std::vector<Bytes> frames;
  for (const auto m : messages) frames.push_back(chain.seal(as_bytes(m)));
  return frames;
}

}  // namespace

// --- named checks ---

TEST(sendchain, in_order_roundtrip) {
  SendChain tx(kRoot, kSender);
  RecvChain rx(kRoot, kSender);
  for (int i = 0; i < 5; ++i) {
    const Bytes message = bytes_of("message " + std::to_string(i));
    const auto opened = rx.open(tx.seal(message));
    ASSERT_TRUE(opened.has_value());
    ASSERT_EQ(*opened, message);
  }
}

TEST(sendchain, deterministic_for_exact_blob_retry) {
  SendChain a(kRoot, kSender);
  SendChain b(kRoot, kSender);
  ASSERT_EQ(a.seal(bytes_of("hi")), b.seal(bytes_of("hi")));
}

TEST(sendchain, out_of_order_then_fill_the_gap) {
  SendChain tx(kRoot, kSender);
  const auto frames = seal_all(tx, {"m0", "m1", "m2", "m3"});
  RecvChain rx(kRoot, kSender);
  for (const std::size_t i : {0u, 2u, 3u, 1u}) {
    const auto opened = rx.open(frames[i]);
    ASSERT_TRUE(opened.has_value()) << "frame " << i;
    ASSERT_EQ(*opened, bytes_of("m" + std::to_string(i)));
  }
}

// Kept keys of two gaps stay in counter order and each opens exactly once, from either gap.
TEST(sendchain, kept_keys_of_successive_gaps) {
  SendChain tx(kRoot, kSender);
  const auto frames = seal_all(tx, {"m0", "m1", "m2", "m3", "m4", "m5", "m6"});
  RecvChain rx(kRoot, kSender);
  ASSERT_EQ(rx.open(frames[3]), bytes_of("m3"));
  ASSERT_EQ(rx.open(frames[6]), bytes_of("m6"));
  std::vector<std::uint64_t> kept;
  for (const auto& [counter, key] : rx.skipped()) kept.push_back(counter);
  EXPECT_EQ(kept, (std::vector<std::uint64_t>{0, 1, 2, 4, 5}));
  for (const std::size_t i : {4u, 1u, 5u, 0u, 2u}) {
    ASSERT_EQ(rx.open(frames[i]), bytes_of("m" + std::to_string(i))) << "frame " << i;
    EXPECT_EQ(rx.open(frames[i]), std::unexpected(ChainError::Replay)) << "frame " << i;
  }
  EXPECT_TRUE(rx.skipped().empty());
}

TEST(sendchain, replay_is_rejected) {
  SendChain tx(kRoot, kSender);
  RecvChain rx(kRoot, kSender);
  const Bytes frame = tx.seal(bytes_of("once"));
  ASSERT_EQ(rx.open(frame), bytes_of("once"));
  ASSERT_EQ(rx.open(frame), std::unexpected(ChainError::Replay));
}

TEST(sendchain, forged_frame_does_not_desync_state) {
  SendChain tx(kRoot, kSender);
  const auto frames = seal_all(tx, {"real0", "real1"});
  Bytes forged = frames[0];
  forged.back() = static_cast<std::uint8_t>(~forged.back());
  RecvChain rx(kRoot, kSender);
  ASSERT_EQ(rx.open(forged), std::unexpected(ChainError::Decrypt));
  ASSERT_EQ(rx.open(frames[0]), bytes_of("real0"));
  ASSERT_EQ(rx.open(frames[1]), bytes_of("real1"));
}

TEST(sendchain, different_sender_or_root_yields_independent_chains) {
  SendChain tx(kRoot, kSender);
  const Bytes frame = tx.seal(bytes_of("secret"));
  RecvChain other_sender(kRoot, kOtherSender);
  RecvChain other_root(kOtherRoot, kSender);
  ASSERT_EQ(other_sender.open(frame), std::unexpected(ChainError::Decrypt));
  ASSERT_EQ(other_root.open(frame), std::unexpected(ChainError::Decrypt));
}

TEST(sendchain, oversized_gap_is_bounded) {
  RecvChain rx(kRoot, kSender);
  ASSERT_EQ(rx.open(frame_at(2001, 16)), std::unexpected(ChainError::TooManySkipped));
}

TEST(sendchain, malformed_frames_never_panic) {
  RecvChain rx(kRoot, kSender);
  Bytes wrong_version = frame_at(0, 0);
  wrong_version[0] = 0x02;
  ASSERT_EQ(rx.open(wrong_version), std::unexpected(ChainError::Malformed));
  ASSERT_EQ(rx.open(frame_at(0, 0)), std::unexpected(ChainError::Decrypt));
}

TEST(sendchain, forward_secrecy_chain_key_advances) {
  SendChain tx(kRoot, kSender);
  const Key32 before = tx.chain_key().bytes();
  (void)tx.seal(bytes_of("x"));
  ASSERT_NE(tx.chain_key().bytes(), before) << "chain key must advance (old key destroyed)";
  ASSERT_EQ(tx.next(), 1u);
}

// --- further behaviour ---

TEST(sendchain, hmac_parts_ignores_how_the_bytes_are_split) {
  const Bytes joined = bytes_of(labels::kChainMessage);
  const Secret32 whole(crypto::hmac_sha256(kRoot, {joined}));
  const Secret32 split(
      crypto::hmac_sha256(kRoot, {ByteView(joined).first(7), ByteView(joined).subspan(7)}));
  EXPECT_EQ(whole.bytes(), split.bytes());
  EXPECT_EQ(whole.bytes(), crypto::hmac_sha256(kRoot, {joined}));
}

// Values computed apart from this code, with a general-purpose HMAC.
TEST(sendchain, key_schedule_known_answers) {
  SendChain tx(kRoot, kSender);
  EXPECT_EQ(
      tx.chain_key().bytes(),
      test::hex_array<32>("7623ab1cf392f7df09fc7ab4dfa98488e722a0a4f439ef72105b16725faa9a3b"));
  const Bytes frame = tx.seal(bytes_of("hi"));
  EXPECT_EQ(
      tx.chain_key().bytes(),
      test::hex_array<32>("7ca0f1eb010ffd0835dab1d40d695aca6cc0ba24a63ad702f82e51dbbf9cf9b9"));
  const MessageKeys keys = message_keys(
      test::hex_array<32>("d27991d80d4e01ec09ce3ea079fafb39fe1b6b345dd2d0ffae3ad9996e04b9f0"));
  EXPECT_EQ(
      keys.key.bytes(),
      test::hex_array<32>("204e2da905e2abc3167e41d6a8a95ae3d34f2b1268414b670dba2e08e5e7b0a0"));
  EXPECT_EQ(keys.nonce, test::hex_array<12>("98fb22fb2ea5957a72abb1c3"));
  Bytes expected = frame_at(0, 0);
  put_bytes(expected, crypto::seal(keys.key.view(), keys.nonce, expected, bytes_of("hi")));
  EXPECT_EQ(frame, expected);
}

TEST(sendchain, empty_message_is_a_25_byte_frame) {
  SendChain tx(kRoot, kSender);
  RecvChain rx(kRoot, kSender);
  const Bytes frame = tx.seal({});
  ASSERT_EQ(frame.size(), kFrameOverheadBytes);
  ASSERT_EQ(rx.open(frame), Bytes{});
}

TEST(sendchain, every_refusal_leaves_the_chain_as_it_was) {
  SendChain tx(kRoot, kSender);
  const auto frames = seal_all(tx, {"a", "b", "c"});
  RecvChain rx(kRoot, kSender);
  ASSERT_TRUE(rx.open(frames[2]).has_value());  // keeps the keys of 0 and 1
  ASSERT_TRUE(rx.open(frames[0]).has_value());
  Bytes damaged_kept = frames[1];
  damaged_kept[kFrameHeaderBytes] ^= 0x01;
  Bytes wrong_version = frames[1];
  wrong_version[0] = 0x00;

  const struct {
    const char* name;
    Bytes frame;
    ChainError error;
  } cases[] = {
      {"empty", {}, ChainError::Malformed},
      {"8 bytes", Bytes(8, 0x01), ChainError::Malformed},
      {"version 0x00", wrong_version, ChainError::Malformed},
      {"opened already", frames[0], ChainError::Replay},
      {"opened in order", frames[2], ChainError::Replay},
      {"gap of 2001", frame_at(3 + 2001, 16), ChainError::TooManySkipped},
      {"max counter", frame_at(UINT64_MAX, 16), ChainError::TooManySkipped},
      {"damaged kept frame", damaged_kept, ChainError::Decrypt},
      {"forged next frame", frame_at(3, 16), ChainError::Decrypt},
      {"forged frame ahead", frame_at(3 + 2000, 16), ChainError::Decrypt},
  };
  for (const auto& c : cases) {
    const Bytes before = state_of(rx);
    EXPECT_EQ(rx.open(c.frame), std::unexpected(c.error)) << c.name;
    EXPECT_EQ(state_of(rx), before) << c.name;
  }
  // The kept key survived its damaged copy, and opens exactly once.
  ASSERT_EQ(rx.open(frames[1]), bytes_of("b"));
  ASSERT_EQ(rx.open(frames[1]), std::unexpected(ChainError::Replay));
  EXPECT_TRUE(rx.skipped().empty());
}

TEST(sendchain, gap_of_exactly_2000_opens_and_keeps_2000_keys) {
  SendChain tx(kRoot, kSender);
  for (int i = 0; i < 2000; ++i) (void)tx.seal({});
  RecvChain rx(kRoot, kSender);
  ASSERT_EQ(rx.open(tx.seal(bytes_of("far"))), bytes_of("far"));
  EXPECT_EQ(rx.skipped().size(), 2000u);
  EXPECT_EQ(rx.next(), 2001u);
}

TEST(sendchain, stored_position_resumes_the_same_frames) {
  SendChain tx(kRoot, kSender);
  RecvChain rx(kRoot, kSender);
  ASSERT_TRUE(rx.open(tx.seal(bytes_of("first"))).has_value());
  SendChain tx_resumed = SendChain::from_stored(tx.chain_key().view(), tx.next());
  RecvChain rx_resumed = RecvChain::from_stored(rx.chain_key().view(), rx.next());
  const Bytes frame = tx_resumed.seal(bytes_of("second"));
  ASSERT_EQ(frame, tx.seal(bytes_of("second")));
  ASSERT_EQ(rx_resumed.open(frame), bytes_of("second"));
}

// Found by fuzzing: a genuine frame at the last counter opened and wrapped next to 0, moving the
// chain back and stranding its kept keys above it; sealing there wrapped the sender too.
TEST(sendchain, last_counter_is_out_of_reach) {
  SendChain tx = SendChain::from_stored(kRoot, kLastCounter - 2);
  RecvChain rx = RecvChain::from_stored(kRoot, kLastCounter - 2);
  (void)tx.seal(bytes_of("passed over"));
  ASSERT_EQ(rx.open(tx.seal(bytes_of("next to last"))), bytes_of("next to last"));
  ASSERT_EQ(rx.next(), kLastCounter);
  ASSERT_EQ(rx.skipped().size(), 1u);

  // The genuine frame of the last counter, sealed by hand since seal refuses it.
  const Secret32 mk(crypto::hmac_sha256(tx.chain_key().view(), {as_bytes(labels::kChainMessage)}));
  const MessageKeys keys = message_keys(mk.view());
  Bytes frame = frame_at(kLastCounter, 0);
  const Bytes sealed = crypto::seal(keys.key.view(), keys.nonce, frame, bytes_of("last"));
  put_bytes(frame, sealed);
  const Bytes before = state_of(rx);
  EXPECT_EQ(rx.open(frame), std::unexpected(ChainError::TooManySkipped));
  EXPECT_EQ(state_of(rx), before);

  const Bytes sender_key(tx.chain_key().bytes().begin(), tx.chain_key().bytes().end());
  try {
    (void)tx.seal(bytes_of("last"));
    ADD_FAILURE() << "sealing the last counter must stop";
  } catch (const Panic& stop) {
    EXPECT_STREQ(stop.what(), "send chain exhausted");
  }
  EXPECT_EQ(tx.next(), kLastCounter);
  EXPECT_EQ(Bytes(tx.chain_key().bytes().begin(), tx.chain_key().bytes().end()), sender_key);
}

TEST(sendchain, mix_in_on_both_sides_and_clone_independence) {
  const HybridSecret secret(filled<32>(0x0A), filled<32>(0x0B));
  const auto id = filled<16>(0x0C);
  SendChain tx(kRoot, kSender);
  RecvChain rx(kRoot, kSender);
  const Bytes early = tx.seal(bytes_of("early"));
  (void)tx.seal(bytes_of("lost"));  // keeps a skipped key in the receiver after the next open
  ASSERT_TRUE(rx.open(tx.seal(bytes_of("third"))).has_value());
  const RecvChain unmixed = internal::clone(rx);
  ASSERT_EQ(state_of(unmixed), state_of(rx));

  tx.mix_in(secret, id);
  rx.mix_in(secret, id);
  const Bytes healed = tx.seal(bytes_of("healed"));
  RecvChain stale = internal::clone(unmixed);
  EXPECT_EQ(stale.open(healed), std::unexpected(ChainError::Decrypt));
  EXPECT_EQ(rx.open(healed), bytes_of("healed"));
  // Kept keys are untouched by the mix and were copied, not shared.
  EXPECT_EQ(rx.open(early), bytes_of("early"));
  EXPECT_EQ(stale.skipped().size(), 2u);
  EXPECT_EQ(stale.open(early), bytes_of("early"));
}

TEST(sendchain, error_text_is_the_variant_name) {
  std::ostringstream text;
  text << ChainError::Malformed << ' ' << ChainError::Replay << ' ' << ChainError::TooManySkipped
       << ' ' << ChainError::Decrypt;
  EXPECT_EQ(text.str(), "Malformed Replay TooManySkipped Decrypt");
  EXPECT_EQ(static_cast<int>(ChainError::Decrypt), 3);
}
