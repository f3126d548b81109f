#include "vostrel/mailbox.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "state_views.hpp"
#include "test_support.hpp"
#include "vostrel/crypto.hpp"

using namespace vostrel;
using namespace vostrel::mailbox;
using vostrel::test::bytes_of;
using vostrel::test::filled;
using vostrel::test::hex_array;

namespace {

using vostrel::test::BlindMailboxProbe;

const Key32 kQueueSecretA = filled<32>(0x11);
const Key32 kQueueSecretB = filled<32>(0x22);
const Key32 kSealKey = filled<32>(0x5A);

std::vector<Bytes> blobs_of(std::initializer_list<std::string_view> texts) {
  std::vector<Bytes> out;
  for (const auto text : texts) out.push_back(bytes_of(text));
  return out;
}

}  // namespace

TEST(mailbox, token_is_deterministic_rotates_and_is_secret_dependent) {
  ASSERT_EQ(token(kQueueSecretA, 5), token(kQueueSecretA, 5))
      << "same (secret, epoch) → same token";
  ASSERT_NE(token(kQueueSecretA, 6), token(kQueueSecretA, 5))
      << "different epoch → different token (rotation)";
  ASSERT_NE(token(kQueueSecretB, 5), token(kQueueSecretA, 5))
      << "different queue secret → different token";
}

TEST(mailbox, box_key_and_queue_secret_are_independent_and_deterministic) {
  const ByteView first = as_bytes("first pass phrase");
  const ByteView second = as_bytes("second pass phrase");
  ASSERT_EQ(first.size(), 17u);
  ASSERT_EQ(second.size(), 18u);
  const Key32 secret_one = queue_secret(first);
  const Key32 secret_two = queue_secret(second);
  ASSERT_EQ(queue_secret(first), secret_one) << "same passphrase → same queue secret";
  ASSERT_NE(secret_two, secret_one) << "different passphrase → different queue secret";
  ASSERT_EQ(box_key(secret_one), box_key(secret_one));
  ASSERT_NE(box_key(secret_one), box_key(secret_two));
  ASSERT_NE(box_key(secret_one), token(secret_one, 0)) << "box key and location token must differ";
}

TEST(mailbox, deposit_then_blind_pull_then_burned) {
  BlindMailbox store;
  const crypto::Nonce12 zero_nonce{};
  store.deposit(token(kQueueSecretA, 42),
                crypto::seal(kSealKey, zero_nonce, {}, as_bytes("sealed for the recipient")));

  const std::vector<Bytes> pulled = pull(store, token(kQueueSecretA, 42));
  ASSERT_EQ(pulled.size(), 1u);
  const auto opened = crypto::open(kSealKey, zero_nonce, {}, pulled[0]);
  ASSERT_TRUE(opened.has_value());
  ASSERT_EQ(*opened, bytes_of("sealed for the recipient"));
  ASSERT_TRUE(pull(store, token(kQueueSecretA, 42)).empty());
}

TEST(mailbox, wrong_token_pulls_nothing) {
  BlindMailbox store;
  store.deposit(token(kQueueSecretA, 1), bytes_of("blob"));
  ASSERT_TRUE(pull(store, token(kQueueSecretA, 2)).empty());
  ASSERT_EQ(BlindMailboxProbe::queue_count(store), 1u);
}

TEST(mailbox, multiple_deposits_preserved_in_order) {
  BlindMailbox store;
  store.deposit(token(kQueueSecretA, 0), bytes_of("one"));
  store.deposit(token(kQueueSecretA, 0), bytes_of("two"));
  ASSERT_EQ(pull(store, token(kQueueSecretA, 0)), blobs_of({"one", "two"}));
}

// --- beyond the scenarios ---

TEST(mailbox, derivations_match_known_answers) {
  // HMAC-SHA-256 values computed independently of this code base.
  EXPECT_EQ(token(kQueueSecretA, 5),
            hex_array<32>("0eadb3f77e2d3ab904600b5d8ec617b497f191fe0a29198d1a243c538d327703"));
  EXPECT_EQ(token(kQueueSecretA, std::numeric_limits<std::uint64_t>::max()),
            hex_array<32>("c8082e1c581c45607cec0f932af84d1e8f912b04364e4883e3625519b66bb73e"));
  EXPECT_EQ(queue_secret(as_bytes("first pass phrase")),
            hex_array<32>("da3588d1e4b5871f0dc588255684922c49d1f16ee891220aee2bd22b0e157d9b"));
  EXPECT_EQ(queue_secret({}),
            hex_array<32>("b853c8f5f98856d8f3ccccbc3c3c60a87fb775b60cccdb02c42ac50fd547ed46"));
  EXPECT_EQ(box_key(kQueueSecretA),
            hex_array<32>("172445b08a6133cce74241d35dd6e73d8179496c74a46392127f571eb247f0d1"));
}

TEST(mailbox, extreme_epochs_give_distinct_stable_tokens) {
  const std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(token(kQueueSecretA, 0), token(kQueueSecretA, 0));
  EXPECT_EQ(token(kQueueSecretA, last), token(kQueueSecretA, last));
  EXPECT_NE(token(kQueueSecretA, 0), token(kQueueSecretA, last));
  EXPECT_NE(token(kQueueSecretA, 0), token(kQueueSecretB, 0));
}

TEST(mailbox, pull_of_an_unknown_token_changes_nothing) {
  BlindMailbox store;
  ASSERT_TRUE(pull(store, token(kQueueSecretA, 9)).empty());
  EXPECT_EQ(BlindMailboxProbe::queue_count(store), 0u);

  store.deposit(token(kQueueSecretA, 1), bytes_of("kept"));
  ASSERT_TRUE(pull(store, token(kQueueSecretB, 1)).empty());
  EXPECT_EQ(BlindMailboxProbe::queue_count(store), 1u);
  EXPECT_EQ(pull(store, token(kQueueSecretA, 1)), blobs_of({"kept"}));
  EXPECT_EQ(BlindMailboxProbe::queue_count(store), 0u);
}

TEST(mailbox, zero_length_and_duplicate_blobs_come_back_in_order) {
  BlindMailbox store;
  const Token location = token(kQueueSecretA, 3);
  const std::vector<Bytes> deposited = {Bytes{}, bytes_of("same"), bytes_of("same"), Bytes{},
                                        Bytes{0x00, 0xFF}};
  for (const Bytes& blob : deposited) store.deposit(location, blob);
  EXPECT_EQ(pull(store, location), deposited);
  EXPECT_EQ(BlindMailboxProbe::queue_count(store), 0u);
}

TEST(mailbox, deposit_after_pull_starts_a_new_queue) {
  BlindMailbox store;
  const Token location = token(kQueueSecretB, 7);
  store.deposit(location, bytes_of("first"));
  ASSERT_EQ(pull(store, location), blobs_of({"first"}));
  store.deposit(location, bytes_of("second"));
  EXPECT_EQ(pull(store, location), blobs_of({"second"}));
  EXPECT_TRUE(pull(store, location).empty());
}

TEST(mailbox, deposit_and_pull_move_blobs_without_copying) {
  BlindMailbox store;
  const Token location = token(kQueueSecretA, 11);
  Bytes blob(4096, 0x33);
  const std::uint8_t* storage = blob.data();
  store.deposit(location, std::move(blob));
  const std::vector<Bytes> pulled = pull(store, location);
  ASSERT_EQ(pulled.size(), 1u);
  EXPECT_EQ(pulled[0].data(), storage);
}

TEST(mailbox, queue_hashing_is_keyed_per_store) {
  // Tokens that collide in one store's map are no help against another's.
  const BlindMailbox first;
  const BlindMailbox second;
  const Token location = token(kQueueSecretA, 1);
  EXPECT_NE(BlindMailboxProbe::slot_hash(first, location),
            BlindMailboxProbe::slot_hash(second, location));
}
