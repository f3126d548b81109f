#include "vostrel/directory.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "test_support.hpp"
#include "vostrel/invite.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/relay.hpp"

using namespace vostrel;
using namespace vostrel::directory;
using vostrel::identity::Identity;
using vostrel::test::filled;
using vostrel::test::hex_array;

namespace {

const Key32 kRoot = filled<32>(0x11);
const Key32 kOtherRoot = filled<32>(0x12);
constexpr std::uint64_t kExpires = 9999;

std::vector<Address> sample_addrs() {
  return {Address::Onion("exampleexampleexampleexampleexampleexampleexampleexampl.onion"),
          Address::Direct("203.0.113.7:4433")};
}

Published must_publish(const Identity& id, std::uint64_t seq, std::span<const Address> addrs,
                       std::uint64_t epoch) {
  auto out = publish(kRoot, id, seq, kExpires, addrs, epoch);
  if (!out) throw Panic("publish refused a valid record");
  return std::move(*out);
}

// A body with its header and the given raw address entries.
Bytes body_with(std::uint8_t count, ByteView entries) {
  DirRecord header{filled<32>(0x22), 1, 2, {}};
  Bytes body = *header.to_bytes();
  body[49] = count;
  put_bytes(body, entries);
  return body;
}

Bytes entry(std::uint8_t tag, ByteView text) {
  Bytes out{tag};
  put_be(out, static_cast<std::uint16_t>(text.size()));
  put_bytes(out, text);
  return out;
}

}  // namespace

TEST(directory, publish_then_read_roundtrips) {
  const Identity id = Identity::generate();
  const auto addrs = sample_addrs();
  const Published published = must_publish(id, 1, addrs, 100);
  ASSERT_EQ(published.location, dir_loc(kRoot, id.public_key(), 100));
  const auto record = read(kRoot, id.public_key(), published.blob);
  if (!record) throw Panic("valid record");
  ASSERT_EQ(record->identity, id.public_key());
  ASSERT_EQ(record->seq, 1u);
  ASSERT_EQ(record->addrs, addrs);
  ASSERT_FALSE(record->is_expired(9998));
  ASSERT_TRUE(record->is_expired(9999));
}

TEST(directory, key_separation_token_key_and_directions_are_independent) {
  const Identity first = Identity::generate();
  const Identity second = Identity::generate();
  const auto& a = first.public_key();
  const auto& b = second.public_key();
  ASSERT_NE(dir_loc(kRoot, a, 0), dir_key(kRoot, a));
  ASSERT_NE(dir_loc(kRoot, a, 5), dir_loc(kRoot, b, 5));
  ASSERT_NE(dir_key(kRoot, a), dir_key(kRoot, b));
  ASSERT_NE(dir_loc(kRoot, a, 5), dir_loc(kRoot, a, 6));
}

TEST(directory, pairwise_root_is_deterministic_and_separated_from_the_session_key) {
  const Key32 session = filled<32>(0x31);
  const Key32 other_session = filled<32>(0x32);
  const Key32 root = invite::pairwise_root(session);
  ASSERT_EQ(invite::pairwise_root(session), root) << "deterministic";
  ASSERT_NE(invite::pairwise_root(other_session), root) << "key-dependent";
  ASSERT_NE(root, session) << "R is not the session key itself";
}

TEST(directory, a_different_root_cannot_decrypt) {
  const Identity id = Identity::generate();
  const Published published = must_publish(id, 1, sample_addrs(), 1);
  ASSERT_FALSE(read(kOtherRoot, id.public_key(), published.blob));
}

TEST(directory, wrong_publisher_identity_is_rejected) {
  const Identity id = Identity::generate();
  const Identity other = Identity::generate();
  const Published published = must_publish(id, 1, sample_addrs(), 1);
  ASSERT_FALSE(read(kRoot, other.public_key(), published.blob));
}

TEST(directory, tampered_ciphertext_is_rejected) {
  const Identity id = Identity::generate();
  Published published = must_publish(id, 1, sample_addrs(), 1);
  published.blob.back() ^= 0xFF;
  ASSERT_FALSE(read(kRoot, id.public_key(), published.blob));
}

TEST(directory, same_content_different_epoch_yields_different_ciphertext) {
  const Identity id = Identity::generate();
  const auto addrs = sample_addrs();
  const Published one = must_publish(id, 1, addrs, 1);
  const Published two = must_publish(id, 1, addrs, 2);
  ASSERT_NE(one.blob, two.blob);
  ASSERT_TRUE(read(kRoot, id.public_key(), one.blob));
  ASSERT_TRUE(read(kRoot, id.public_key(), two.blob));
  EXPECT_NE(one.location, two.location);
  EXPECT_EQ(must_publish(id, 1, addrs, 1).blob, one.blob);
}

TEST(directory, too_many_addresses_is_refused) {
  const Identity id = Identity::generate();
  const std::vector<Address> nine(9, Address::Onion("x"));
  ASSERT_FALSE(publish(kRoot, id, 1, kExpires, nine, 1));
}

TEST(directory, record_travels_through_the_oblivious_relay) {
  using namespace vostrel::relay;
  const Identity id = Identity::generate();
  const auto addrs = sample_addrs();
  const Published published = must_publish(id, 3, addrs, 7);
  const Key32 capability_key = filled<32>(0xCA);
  Relay relay(300, 1000, capability_key, 8);

  const auto deposit =
      build_request(RelayOp::Deposit, capability_key, published.location, 10000, published.blob);
  ASSERT_TRUE(deposit);
  ASSERT_TRUE(try_deposit(relay, *deposit, published.blob, 10000));

  const Key32 location = dir_loc(kRoot, id.public_key(), 7);
  const auto pull = build_request(RelayOp::Pull, capability_key, location, 10001, {});
  ASSERT_TRUE(pull);
  const auto pulled = try_pull(relay, *pull, 10001);
  ASSERT_TRUE(pulled);
  ASSERT_EQ(pulled->size(), 1u);
  const auto record = read(kRoot, id.public_key(), pulled->front());
  if (!record) throw Panic("record reads back");
  ASSERT_EQ(record->seq, 3u);
  ASSERT_EQ(record->addrs, addrs);
}

TEST(directory, parser_never_panics_on_arbitrary_bytes) {
  const Identity id = Identity::generate();
  std::uint32_t state = 0x12345678;
  for (int round = 0; round < 4000; ++round) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    Bytes input(state % 200);
    for (std::size_t i = 0; i < input.size(); ++i) {
      input[i] = static_cast<std::uint8_t>(state >> (i % 24));
    }
    (void)DirRecord::from_bytes(input);
    (void)read(kRoot, id.public_key(), input);
  }
}

TEST(directory, record_without_addresses_has_the_smallest_sizes) {
  const Identity id = Identity::generate();
  const DirRecord empty{id.public_key(), 4, kExpires, {}};
  EXPECT_EQ(empty.to_bytes()->size(), 50u);
  const Published published = must_publish(id, 4, {}, 9);
  EXPECT_EQ(published.blob.size(), 142u);
  const auto record = read(kRoot, id.public_key(), published.blob);
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, empty);
}

TEST(directory, limits_of_count_and_length_hold_on_both_sides) {
  const Identity id = Identity::generate();
  std::vector<Address> eight;
  for (int i = 0; i < 8; ++i) {
    eight.push_back(i % 2 ? Address::Direct(std::string(256, 'd'))
                          : Address::Onion(std::string(256, 'o')));
  }
  const Published published = must_publish(id, 2, eight, 3);
  EXPECT_EQ(published.blob.size(), 2214u);
  const auto record = read(kRoot, id.public_key(), published.blob);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->addrs, eight);

  const std::vector<Address> long_one{Address::Onion(std::string(257, 'o'))};
  EXPECT_FALSE(publish(kRoot, id, 2, kExpires, long_one, 3));
  const std::vector<Address> empty_string{Address::Direct("")};
  EXPECT_TRUE(read(kRoot, id.public_key(), must_publish(id, 2, empty_string, 3).blob));

  Bytes nine_entries;
  for (int i = 0; i < 9; ++i) put_bytes(nine_entries, entry(1, as_bytes("x")));
  EXPECT_FALSE(DirRecord::from_bytes(body_with(9, nine_entries)));
  EXPECT_TRUE(DirRecord::from_bytes(body_with(8, ByteView(nine_entries).first(8 * 4))));
  EXPECT_FALSE(DirRecord::from_bytes(body_with(1, entry(1, Bytes(257, 'a')))));
  EXPECT_TRUE(DirRecord::from_bytes(body_with(1, entry(1, Bytes(256, 'a')))));
}

TEST(directory, malformed_bodies_are_refused) {
  const Bytes good = body_with(1, entry(2, as_bytes("host:1")));
  ASSERT_TRUE(DirRecord::from_bytes(good));
  Bytes longer = good;
  longer.push_back(0);
  Bytes version = good;
  version[0] = 0x02;
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"one byte short", Bytes(good.begin(), good.end() - 1)},
      {"one byte over", longer},
      {"version 0x02", version},
      {"tag 0", body_with(1, entry(0, as_bytes("host:1")))},
      {"tag 3", body_with(1, entry(3, as_bytes("host:1")))},
      {"not UTF-8", body_with(1, entry(1, Bytes{0xC3, 0x28}))},
      {"count 0 with trailing bytes", body_with(0, Bytes{0x00})},
      {"header cut short", Bytes(good.begin(), good.begin() + 49)},
      {"entry header cut short", body_with(1, Bytes{0x01, 0x00})},
  };
  for (const auto& [what, body] : cases) EXPECT_FALSE(DirRecord::from_bytes(body)) << what;

  // A string the reader would refuse is never written.
  const DirRecord not_utf8{filled<32>(0x22), 1, 2, {Address::Onion("\xFF")}};
  EXPECT_FALSE(not_utf8.to_bytes());
  const Identity id = Identity::generate();
  EXPECT_FALSE(publish(kRoot, id, 1, kExpires, not_utf8.addrs, 1));
}

TEST(directory, any_changed_or_short_blob_is_refused) {
  const Identity id = Identity::generate();
  const Published published = must_publish(id, 1, {}, 1);
  for (std::size_t i = 0; i < published.blob.size(); ++i) {
    Bytes changed = published.blob;
    changed[i] ^= 0x40;
    EXPECT_FALSE(read(kRoot, id.public_key(), changed)) << "byte " << i;
  }
  // Correctly sealed under the record key, yet too short to hold a signed record.
  const Key32 record_key = dir_key(kRoot, id.public_key());
  const auto sealed_blob = [&](std::size_t plaintext_bytes) {
    const auto nonce = dir_nonce(record_key, 1, 1);
    Bytes blob(nonce.begin(), nonce.end());
    put_bytes(blob, crypto::seal(record_key, nonce, as_bytes(labels::kDirectoryRecordData),
                                 Bytes(plaintext_bytes, 0)));
    return blob;
  };
  EXPECT_EQ(sealed_blob(47).size(), 75u);
  EXPECT_FALSE(read(kRoot, id.public_key(), sealed_blob(47)));
  EXPECT_FALSE(read(kRoot, id.public_key(), sealed_blob(48)));
  EXPECT_FALSE(read(kRoot, id.public_key(), Bytes{}));
}

TEST(directory, expired_records_are_still_returned) {
  const Identity id = Identity::generate();
  const auto published = publish(kRoot, id, 1, 50, sample_addrs(), 1);
  ASSERT_TRUE(published);
  const auto record = read(kRoot, id.public_key(), published->blob);
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->is_expired(50));
  EXPECT_FALSE(record->is_expired(49));
  EXPECT_TRUE(record->is_expired(std::numeric_limits<std::uint64_t>::max()));
}

TEST(directory, extreme_epochs_and_seq_enter_as_full_big_endian_values) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  // HMAC-SHA-256 computed independently over label, key and 8-byte big-endian integers.
  EXPECT_EQ(dir_key(kRoot, filled<32>(0x22)),
            hex_array<32>("814f56e5418a054e0d56fb2f1758c4da6b6125e82abb1aba48131f2537642325"));
  EXPECT_EQ(dir_loc(kRoot, filled<32>(0x22), 0),
            hex_array<32>("7ca5a3004e7f212fe54989b09b4da9ddb0f0bbb61d850c3d09523c96046d734a"));
  EXPECT_EQ(dir_loc(kRoot, filled<32>(0x22), kMax),
            hex_array<32>("44d8546153b9c0f92370bc96576483143e053eb20df27fe860fb100367341652"));
  EXPECT_EQ(dir_nonce(filled<32>(0x33), kMax, 1), hex_array<12>("003882041e48501a16e37b54"));

  const Identity id = Identity::generate();
  for (const std::uint64_t epoch : {std::uint64_t{0}, kMax}) {
    const auto published = publish(kRoot, id, kMax, kMax, sample_addrs(), epoch);
    ASSERT_TRUE(published);
    EXPECT_EQ(published->location, dir_loc(kRoot, id.public_key(), epoch));
    const auto nonce = dir_nonce(dir_key(kRoot, id.public_key()), epoch, kMax);
    EXPECT_TRUE(std::ranges::equal(ByteView(published->blob).first(12), nonce));
    const auto record = read(kRoot, id.public_key(), published->blob);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->seq, kMax);
    EXPECT_EQ(record->expires_at, kMax);
  }
}

TEST(directory, address_debug_text) {
  EXPECT_EQ(to_string(Address::Onion("abc.onion")), "Onion(\"abc.onion\")");
  EXPECT_EQ(to_string(Address::Direct("a\"b\\c")), "Direct(\"a\\\"b\\\\c\")");
  EXPECT_EQ(to_string(Address::Direct("")), "Direct(\"\")");
}
