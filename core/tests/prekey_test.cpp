#include "vostrel/prekey.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "test_support.hpp"
#include "vostrel/sendchain.hpp"

using namespace vostrel;
using namespace vostrel::prekey;
using vostrel::identity::Identity;
using vostrel::sendchain::ChainError;
using vostrel::sendchain::RecvChain;
using vostrel::sendchain::SendChain;
using vostrel::test::bytes_of;
using vostrel::test::filled;

namespace {

constexpr std::uint64_t NOW = 1000;
constexpr std::uint64_t EXP = 2000;
const Key32 kRoot = filled<32>(0x31);
const Key32 kSender = filled<32>(0x32);

}  // namespace

// --- named checks ---

TEST(prekey, bundle_sign_verify_and_tamper) {
  const Identity owner = Identity::generate();
  const Identity other = Identity::generate();
  const auto [secret, bundle] = PrekeyBundle::generate(owner, EXP);
  ASSERT_TRUE(bundle.verify(owner.public_key(), NOW));
  ASSERT_FALSE(bundle.verify(owner.public_key(), EXP));
  ASSERT_FALSE(bundle.verify(owner.public_key(), EXP + 1));
  ASSERT_FALSE(bundle.verify(other.public_key(), NOW));
  PrekeyBundle altered = bundle;
  altered.dh_pub[0] ^= 0x01;
  ASSERT_FALSE(altered.verify(owner.public_key(), NOW));
}

TEST(prekey, bundle_roundtrip_serialization) {
  const Identity owner = Identity::generate();
  const auto [secret, bundle] = PrekeyBundle::generate(owner, EXP);
  const Bytes bytes = bundle.to_bytes();
  ASSERT_EQ(bytes.size(), 1304u);
  const auto parsed = PrekeyBundle::from_bytes(bytes);
  ASSERT_TRUE(parsed.has_value());
  ASSERT_TRUE(parsed->verify(owner.public_key(), NOW));
  ASSERT_EQ(parsed->id, bundle.id);
}

TEST(prekey, both_sides_derive_the_same_hybrid_secret) {
  const auto [secret, bundle] = PrekeyBundle::generate(Identity::generate(), EXP);
  const auto mix = sender_mix(bundle);
  ASSERT_TRUE(mix.has_value());
  const auto received = receiver_mix(secret, mix->header);
  ASSERT_TRUE(received.has_value());
  ASSERT_EQ(received->bytes(), mix->secret.bytes());
  const Bytes header_bytes = mix->header.to_bytes();
  ASSERT_EQ(header_bytes.size(), 1136u);
  const auto parsed = MixHeader::from_bytes(header_bytes);
  ASSERT_TRUE(parsed.has_value());
  const auto again = receiver_mix(secret, *parsed);
  ASSERT_TRUE(again.has_value());
  ASSERT_EQ(again->bytes(), mix->secret.bytes());
}

TEST(prekey, wrong_prekey_rejected) {
  const Identity owner = Identity::generate();
  const auto first = PrekeyBundle::generate(owner, EXP);
  const auto second = PrekeyBundle::generate(owner, EXP);
  const auto mix = sender_mix(first.second);
  ASSERT_TRUE(mix.has_value());
  ASSERT_FALSE(receiver_mix(second.first, mix->header).has_value());
}

TEST(prekey, end_to_end_pcs_mix_in_through_the_chain) {
  const Identity owner = Identity::generate();
  const auto [secret, bundle] = PrekeyBundle::generate(owner, EXP);
  ASSERT_TRUE(bundle.verify(owner.public_key(), NOW));
  SendChain tx(kRoot, kSender);
  RecvChain rx(kRoot, kSender);
  ASSERT_EQ(rx.open(tx.seal(bytes_of("before mix"))), bytes_of("before mix"));

  const auto mix = sender_mix(bundle);
  ASSERT_TRUE(mix.has_value());
  tx.mix_in(mix->secret, mix->header.bundle_id);
  const auto received = receiver_mix(secret, mix->header);
  ASSERT_TRUE(received.has_value());
  rx.mix_in(*received, mix->header.bundle_id);
  ASSERT_EQ(rx.open(tx.seal(bytes_of("after mix"))), bytes_of("after mix"));
}

TEST(prekey, post_compromise_security_old_chain_cannot_open_post_mix) {
  const auto [secret, bundle] = PrekeyBundle::generate(Identity::generate(), EXP);
  SendChain tx(kRoot, kSender);
  RecvChain rx(kRoot, kSender);
  RecvChain stolen(kRoot, kSender);
  const auto mix = sender_mix(bundle);
  ASSERT_TRUE(mix.has_value());
  tx.mix_in(mix->secret, mix->header.bundle_id);
  const Bytes frame = tx.seal(bytes_of("healed"));
  const auto received = receiver_mix(secret, mix->header);
  ASSERT_TRUE(received.has_value());
  rx.mix_in(*received, mix->header.bundle_id);
  ASSERT_EQ(rx.open(frame), bytes_of("healed"));
  ASSERT_EQ(stolen.open(frame), std::unexpected(ChainError::Decrypt));
}

// --- further behaviour ---

TEST(prekey, any_changed_signed_field_fails_verification) {
  const Identity owner = Identity::generate();
  const auto [secret, bundle] = PrekeyBundle::generate(owner, EXP);
  ASSERT_TRUE(bundle.verify(owner.public_key(), EXP - 1));
  const struct {
    const char* field;
    std::function<void(PrekeyBundle&)> change;
  } cases[] = {
      {"id", [](PrekeyBundle& b) { b.id[15] ^= 0x80; }},
      {"dh_pub", [](PrekeyBundle& b) { b.dh_pub[31] ^= 0x01; }},
      {"ek", [](PrekeyBundle& b) { b.ek[600] ^= 0x10; }},
      {"expires_at", [](PrekeyBundle& b) { b.expires_at ^= 0x1000; }},
      {"signature", [](PrekeyBundle& b) { b.signature[0] ^= 0x01; }},
      {"ek of 1183 bytes", [](PrekeyBundle& b) { b.ek.pop_back(); }},
      {"ek of 1185 bytes", [](PrekeyBundle& b) { b.ek.push_back(0); }},
  };
  for (const auto& c : cases) {
    PrekeyBundle altered = bundle;
    c.change(altered);
    EXPECT_FALSE(altered.verify(owner.public_key(), NOW)) << c.field;
  }
}

TEST(prekey, mix_refuses_malformed_lengths) {
  const auto [secret, bundle] = PrekeyBundle::generate(Identity::generate(), EXP);
  for (const std::size_t ek_size : {0u, 1183u, 1185u}) {
    PrekeyBundle wrong = bundle;
    wrong.ek.resize(ek_size);
    EXPECT_FALSE(sender_mix(wrong).has_value()) << ek_size;
  }
  const auto mix = sender_mix(bundle);
  ASSERT_TRUE(mix.has_value());
  for (const std::size_t ct_size : {1087u, 1089u}) {
    MixHeader wrong = mix->header;
    wrong.ct.resize(ct_size);
    EXPECT_FALSE(receiver_mix(secret, wrong).has_value()) << ct_size;
  }
  MixHeader damaged = mix->header;
  damaged.ct[0] ^= 0x01;
  const auto unrelated = receiver_mix(secret, damaged);
  ASSERT_TRUE(unrelated.has_value());
  EXPECT_NE(unrelated->bytes(), mix->secret.bytes());
  // Two mixes on one bundle draw fresh randomness.
  const auto second = sender_mix(bundle);
  EXPECT_NE(second->header, mix->header);
  EXPECT_NE(second->secret.bytes(), mix->secret.bytes());
}

TEST(prekey, byte_forms_roundtrip_and_refuse_other_lengths) {
  const auto [secret, bundle] = PrekeyBundle::generate(Identity::generate(), EXP);
  const Bytes bundle_bytes = bundle.to_bytes();
  EXPECT_EQ(PrekeyBundle::from_bytes(bundle_bytes), bundle);
  EXPECT_EQ(load_be<std::uint64_t>(bundle_bytes.data() + 48), EXP);
  const Bytes header_bytes = sender_mix(bundle)->header.to_bytes();
  EXPECT_EQ(MixHeader::from_bytes(header_bytes)->to_bytes(), header_bytes);
  for (const int delta : {-1, 1}) {
    Bytes resized = bundle_bytes;
    resized.resize(static_cast<std::size_t>(static_cast<int>(resized.size()) + delta));
    EXPECT_FALSE(PrekeyBundle::from_bytes(resized).has_value()) << delta;
    resized = header_bytes;
    resized.resize(static_cast<std::size_t>(static_cast<int>(resized.size()) + delta));
    EXPECT_FALSE(MixHeader::from_bytes(resized).has_value()) << delta;
  }
}
