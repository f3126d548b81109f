#include "vostrel/rotation.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

using namespace vostrel;
using namespace vostrel::rotation;
using vostrel::identity::Identity;
using vostrel::test::filled;

namespace {

struct Pair {
  Identity old_id = Identity::generate();
  Identity new_id = Identity::generate();
  MigrationRecord record = sign_migration(old_id, new_id);
};

}  // namespace

TEST(rotation, migration_roundtrips_and_yields_the_new_identity) {
  const Pair pair;
  ASSERT_EQ(verify_migration(pair.record, pair.old_id.public_key()), pair.new_id.public_key());
}

TEST(rotation, wrong_pinned_identity_is_rejected) {
  const Pair pair;
  const Identity third = Identity::generate();
  ASSERT_FALSE(verify_migration(pair.record, third.public_key()));
}

TEST(rotation, tampered_old_signature_is_rejected) {
  Pair pair;
  pair.record.old_sig[0] ^= 0x01;
  ASSERT_FALSE(verify_migration(pair.record, pair.old_id.public_key()));
}

TEST(rotation, forged_new_key_without_its_signature_is_rejected) {
  Pair pair;
  const Identity third = Identity::generate();
  pair.record.new_key = third.public_key();
  ASSERT_FALSE(verify_migration(pair.record, pair.old_id.public_key()));
}

TEST(rotation, migration_transport_derivations_are_separated_and_deterministic) {
  const Key32 secret = filled<32>(0x51);
  const Key32 other_secret = filled<32>(0x52);
  const Key32 key_one = filled<32>(0x61);
  const Key32 key_two = filled<32>(0x62);
  const Key32 loc = migrate_loc(secret, key_one);
  ASSERT_EQ(migrate_loc(secret, key_one), loc);
  ASSERT_NE(migrate_key(secret, key_one), loc);
  ASSERT_NE(migrate_loc(secret, key_two), loc);
  ASSERT_NE(migrate_loc(other_secret, key_one), loc);
  EXPECT_NE(migrate_key(secret, key_two), migrate_key(secret, key_one));
  EXPECT_NE(migrate_key(other_secret, key_one), migrate_key(secret, key_one));
}

TEST(rotation, migration_parser_never_panics_on_arbitrary_bytes) {
  vostrel::test::XorShift rng(0x0601);
  for (int round = 0; round < 2000; ++round) {
    const std::size_t lengths[] = {MIGRATION_RECORD_LEN - 1, MIGRATION_RECORD_LEN,
                                   MIGRATION_RECORD_LEN + 1, rng.next() % 400};
    for (const std::size_t length : lengths) {
      const Bytes input = rng.bytes(length);
      const auto parsed = MigrationRecord::from_bytes(input);
      ASSERT_EQ(parsed.has_value(), length == MIGRATION_RECORD_LEN) << "length " << length;
      if (parsed) {
        const auto written = parsed->to_bytes();
        ASSERT_TRUE(std::ranges::equal(written, input)) << "rewritten unchanged";
      }
    }
  }
}

TEST(rotation, serialization_roundtrips_and_rejects_bad_length) {
  const Pair pair;
  const auto bytes = pair.record.to_bytes();
  const auto parsed = MigrationRecord::from_bytes(bytes);
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->old_key, pair.record.old_key);
  ASSERT_EQ(parsed->new_key, pair.record.new_key);
  EXPECT_EQ(*parsed, pair.record);
  for (const std::size_t length : {std::size_t{0}, std::size_t{1}, MIGRATION_RECORD_LEN - 1,
                                   MIGRATION_RECORD_LEN + 1, 2 * MIGRATION_RECORD_LEN}) {
    ASSERT_FALSE(MigrationRecord::from_bytes(Bytes(length, 0x07))) << "length " << length;
  }
}

TEST(rotation, record_layout_and_determinism) {
  const Pair pair;
  const auto bytes = pair.record.to_bytes();
  const ByteView view(bytes);
  EXPECT_TRUE(std::ranges::equal(view.subspan(0, 64), pair.record.old_sig));
  EXPECT_TRUE(std::ranges::equal(view.subspan(64, 64), pair.record.new_sig));
  EXPECT_TRUE(std::ranges::equal(view.subspan(128, 32), pair.old_id.public_key()));
  EXPECT_TRUE(std::ranges::equal(view.subspan(160, 32), pair.new_id.public_key()));
  EXPECT_EQ(sign_migration(pair.old_id, pair.new_id), pair.record);
}

TEST(rotation, any_change_of_signature_or_key_is_rejected) {
  const Pair pair;
  const Identity third = Identity::generate();
  const auto pinned = pair.old_id.public_key();
  for (const std::size_t bit : {std::size_t{0}, std::size_t{255}, std::size_t{511}}) {
    MigrationRecord old_flipped = pair.record;
    old_flipped.old_sig[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(verify_migration(old_flipped, pinned)) << "old_sig bit " << bit;
    MigrationRecord new_flipped = pair.record;
    new_flipped.new_sig[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(verify_migration(new_flipped, pinned)) << "new_sig bit " << bit;
  }
  MigrationRecord old_replaced = pair.record;
  old_replaced.old_key = third.public_key();
  EXPECT_FALSE(verify_migration(old_replaced, third.public_key()));
  EXPECT_FALSE(verify_migration(old_replaced, pinned));
}

TEST(rotation, migration_to_the_same_identity_verifies) {
  const Identity same = Identity::generate();
  const MigrationRecord record = sign_migration(same, same);
  EXPECT_EQ(verify_migration(record, same.public_key()), same.public_key());
}

TEST(rotation, transport_derivations_match_known_answers) {
  // HMAC-SHA-256 computed independently over the label and the old key.
  EXPECT_EQ(migrate_loc(filled<32>(0x51), filled<32>(0x61)),
            vostrel::test::hex_array<32>(
                "4413e1bbfa53223d1c3cbd1bcedec8943a8d6147356bc49293fb769bf65425c2"));
  EXPECT_EQ(migrate_key(filled<32>(0x51), filled<32>(0x61)),
            vostrel::test::hex_array<32>(
                "385566d4756dee6017f6b90ea8ac5d2e7a0880a07d7e0135db0613490d679fe1"));
}
