#include "vostrel/pow.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "test_support.hpp"

using namespace vostrel;
using namespace vostrel::pow;
using vostrel::test::hex_array;

namespace {

Bytes counting_bytes(std::size_t length) {
  Bytes out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<std::uint8_t>(i);
  return out;
}

Stamp digest_starting_with(std::initializer_list<std::uint8_t> head) {
  Stamp digest{};
  std::copy(head.begin(), head.end(), digest.begin());
  return digest;
}

}  // namespace

TEST(pow, solve_then_verify_roundtrips) {
  const ByteView challenge = as_bytes("token-abc/epoch-42");
  const auto nonce = solve(challenge, 12);
  if (!nonce) throw Panic("solvable at low difficulty");
  ASSERT_TRUE(verify(challenge, 12, *nonce));
}

TEST(pow, a_found_solution_actually_has_the_required_zero_bits) {
  const ByteView challenge = as_bytes("bind-to-this-mailbox");
  const auto nonce = solve(challenge, 12);
  ASSERT_TRUE(nonce.has_value());
  ASSERT_GE(leading_zero_bits(stamp_hash(challenge, *nonce)), 12u);
}

TEST(pow, stamp_is_bound_to_the_challenge) {
  const auto nonce = solve(as_bytes("mailbox-A"), 12);
  ASSERT_TRUE(nonce.has_value());
  ASSERT_TRUE(verify(as_bytes("mailbox-A"), 12, *nonce));
  ASSERT_FALSE(verify(as_bytes("mailbox-B"), 12, *nonce))
      << "a stamp for mailbox-A must not authorise mailbox-B";
}

TEST(pow, zero_difficulty_accepts_any_nonce) {
  ASSERT_TRUE(verify(as_bytes("anything"), 0, 0));
  ASSERT_TRUE(verify(as_bytes("anything"), 0, 99999));
}

TEST(pow, higher_difficulty_rejects_a_lower_difficulty_solution_usually) {
  const auto nonce = solve(as_bytes("x"), 4);
  ASSERT_TRUE(nonce.has_value());
  ASSERT_FALSE(verify(as_bytes("x"), 20, *nonce));
}

TEST(pow, leading_zero_bits_counts_correctly) {
  ASSERT_EQ(leading_zero_bits(Stamp{}), 256u);
  ASSERT_EQ(leading_zero_bits(digest_starting_with({0x80})), 0u);
  ASSERT_EQ(leading_zero_bits(digest_starting_with({0x01})), 7u);
  ASSERT_EQ(leading_zero_bits(digest_starting_with({0x00, 0x10})), 11u);
}

// --- beyond the scenarios ---

TEST(pow, stamps_match_known_answers) {
  // SHA-256("vostrel/v1/pow" || challenge || nonce), computed independently; the challenge
  // lengths put the nonce on both sides of the block and padding boundaries.
  struct Case {
    std::size_t challenge_length;
    const char* stamp;
  };
  const Case cases[] = {
      {0, "6f42dd55a57a29f4af9964f2ade1a9b1b1c91dd8a1664a9303acf3f815daacca"},
      {33, "02a41384bfe2b1a786dc424334b53630cad478aa3a63696e404671ab8ac668a9"},
      {34, "6f864609325cbdfab53dbf6ef0315f3820f8c3683579ea80a2c78f75f7de67f1"},
      {42, "8006636c2502cbe98e0311859260b6820c2e5e281366ff3caa94dd9e5ead2a9c"},
      {81, "ee8c62ad1ec64e94aace46e7a6fc29b67b1da6d96eedda224d64d035f185d3c1"},
      {130, "e535cd6b3a48834792c63cbb1ba0feb2558040f9b2fbb3de3022f0ababa2b5fa"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(stamp_hash(counting_bytes(c.challenge_length), 0x0102030405060708ULL),
              hex_array<32>(c.stamp))
        << "challenge length " << c.challenge_length;
  }
  EXPECT_EQ(stamp_hash({}, 0),
            hex_array<32>("94e2e0072a04f119abcc6e8aa639eacb6576f891bf0dfe478dd9562b43a94322"));
}

TEST(pow, nonce_enters_big_endian) {
  EXPECT_EQ(stamp_hash(as_bytes("x"), 1),
            hex_array<32>("fe5cebfb628503a9d0fafc3edc66cd77b7c20ac980278894aa206187c933cb2a"));
  EXPECT_EQ(stamp_hash(as_bytes("x"), std::uint64_t{1} << 56),
            hex_array<32>("fb334e0a72495b69d3c68b9db4d6fa1c97edf6ae5ad575166e578bf1a47c865d"));
}

TEST(pow, solve_returns_the_smallest_accepted_nonce) {
  struct Case {
    Bytes challenge;
    std::uint8_t difficulty;
    std::uint64_t nonce;
  };
  const Case cases[] = {
      {vostrel::test::bytes_of("token-abc/epoch-42"), 12, 3604},
      {vostrel::test::bytes_of("x"), 4, 12},
      {counting_bytes(81), 12, 491},
      {Bytes{}, 16, 67399},
      {Bytes{}, 0, 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(solve(c.challenge, c.difficulty), std::optional<std::uint64_t>(c.nonce));
    for (std::uint64_t smaller = 0; smaller < c.nonce; ++smaller) {
      ASSERT_FALSE(verify(c.challenge, c.difficulty, smaller)) << "nonce " << smaller;
    }
  }
}

TEST(pow, verify_passes_exactly_at_the_stamps_zero_count) {
  const ByteView challenge = as_bytes("token-abc/epoch-42");
  const std::uint32_t zeros = leading_zero_bits(stamp_hash(challenge, 3604));
  ASSERT_EQ(zeros, 13u);
  EXPECT_TRUE(verify(challenge, static_cast<std::uint8_t>(zeros), 3604));
  EXPECT_FALSE(verify(challenge, static_cast<std::uint8_t>(zeros + 1), 3604));
  EXPECT_TRUE(verify(challenge, 0, std::numeric_limits<std::uint64_t>::max()));
  EXPECT_FALSE(verify(challenge, 255, 3604));
}
