#include "mlkem/sha3.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "test_util.hpp"

namespace {

using mlkem768::test::pattern_bytes;
using mlkem768::test::to_hex;
namespace sha3 = mlkem768::sha3;

struct Algorithm {
  const char* openssl_name;
  std::size_t rate;
  std::size_t digest_bytes;  // 0 for the extendable-output functions
};

constexpr Algorithm kSha3_256{"SHA3-256", sha3::kSha3_256Rate, 32};
constexpr Algorithm kSha3_512{"SHA3-512", sha3::kSha3_512Rate, 64};
constexpr Algorithm kShake128{"SHAKE128", sha3::kShake128Rate, 0};
constexpr Algorithm kShake256{"SHAKE256", sha3::kShake256Rate, 0};

std::vector<std::uint8_t> openssl_hash(const Algorithm& alg, const std::vector<std::uint8_t>& in,
                                       std::size_t out_len) {
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(
      EVP_MD_fetch(nullptr, alg.openssl_name, nullptr), EVP_MD_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EXPECT_TRUE(md && ctx);
  std::vector<std::uint8_t> out(out_len);
  EXPECT_EQ(EVP_DigestInit_ex(ctx.get(), md.get(), nullptr), 1);
  EXPECT_EQ(EVP_DigestUpdate(ctx.get(), in.data(), in.size()), 1);
  if (alg.digest_bytes == 0) {
    EXPECT_EQ(EVP_DigestFinalXOF(ctx.get(), out.data(), out.size()), 1);
  } else {
    unsigned int len = 0;
    EXPECT_EQ(EVP_DigestFinal_ex(ctx.get(), out.data(), &len), 1);
    EXPECT_EQ(len, out_len);
  }
  return out;
}

std::vector<std::uint8_t> ours(const Algorithm& alg, const std::vector<std::uint8_t>& in,
                               std::size_t out_len) {
  std::vector<std::uint8_t> out(out_len);
  if (alg.digest_bytes == 32) {
    sha3::sha3_256(in, std::span<std::uint8_t, 32>(out.data(), 32));
  } else if (alg.digest_bytes == 64) {
    sha3::sha3_512(in, std::span<std::uint8_t, 64>(out.data(), 64));
  } else if (alg.rate == sha3::kShake128Rate) {
    sha3::shake128(in, out);
  } else {
    sha3::shake256(in, out);
  }
  return out;
}

TEST(sha3, empty_input_known_answers) {
  std::uint8_t d256[32], d512[64], x[16];
  sha3::sha3_256({}, d256);
  sha3::sha3_512({}, d512);
  sha3::shake128({}, x);
  EXPECT_EQ(to_hex(d256), "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
  EXPECT_EQ(
      to_hex(d512),
      "a69f73cca23a9ac5c8b567dc185a756e97c982164fe25859e0d1dcc1475c80a615b2123af1f5f94c11e3e94"
      "02c3ac558f500199d95b6d3e301758586281dcd26");
  EXPECT_EQ(to_hex(x), "7f9c2ba4e88f827d616045507605853e");
}

// Every input length up to three blocks and past, so each rate boundary is crossed.
TEST(sha3, one_shot_matches_openssl_for_every_input_length) {
  for (const Algorithm& alg : {kSha3_256, kSha3_512, kShake128, kShake256}) {
    const std::size_t out_len = alg.digest_bytes ? alg.digest_bytes : 64;
    for (std::size_t len = 0; len <= 3 * alg.rate + 9; ++len) {
      const auto in = pattern_bytes(len, static_cast<std::uint32_t>(len));
      ASSERT_EQ(to_hex(ours(alg, in, out_len)), to_hex(openssl_hash(alg, in, out_len)))
          << alg.openssl_name << " input length " << len;
    }
  }
}

TEST(sha3, shake_output_lengths_match_openssl) {
  for (const Algorithm& alg : {kShake128, kShake256}) {
    const std::size_t r = alg.rate;
    for (const std::size_t out_len :
         {std::size_t{0}, std::size_t{1}, r - 1, r, r + 1, 2 * r, 3 * r + 7, 7 * r + 100}) {
      for (const std::size_t in_len : {std::size_t{0}, r - 1, r, r + 1}) {
        const auto in = pattern_bytes(in_len, 7);
        ASSERT_EQ(to_hex(ours(alg, in, out_len)), to_hex(openssl_hash(alg, in, out_len)))
            << alg.openssl_name << " input " << in_len << " output " << out_len;
      }
    }
  }
}

// Absorbing and squeezing in uneven pieces gives the one-shot bytes.
TEST(sha3, incremental_absorb_and_squeeze_match_one_shot) {
  const auto in = pattern_bytes(1000, 3);
  const std::size_t pieces[] = {0, 1, 7, 8, 9, 135, 136, 137, 167, 168, 169};
  for (const std::size_t piece : pieces) {
    sha3::Shake128 x128;
    sha3::Shake256 x256;
    sha3::Sha3_256 h256;
    sha3::Sha3_512 h512;
    std::size_t pos = 0, step = piece;
    while (pos < in.size()) {
      const std::size_t n = std::min(step, in.size() - pos);
      const std::span<const std::uint8_t> part(in.data() + pos, n);
      x128.absorb(part);
      x256.absorb(part);
      h256.absorb(part);
      h512.absorb(part);
      pos += n;
      step = step % 200 + 1;  // vary the piece sizes as we go
    }
    std::vector<std::uint8_t> out128(700), out256(700);
    for (std::size_t done = 0, k = piece + 1; done < out128.size(); k = k % 170 + 1) {
      const std::size_t n = std::min(k, out128.size() - done);
      x128.squeeze({out128.data() + done, n});
      x256.squeeze({out256.data() + done, n});
      done += n;
    }
    std::vector<std::uint8_t> d256(32), d512(64);
    h256.finish(std::span<std::uint8_t, 32>(d256.data(), 32));
    h512.finish(std::span<std::uint8_t, 64>(d512.data(), 64));
    EXPECT_EQ(out128, ours(kShake128, in, 700)) << "piece " << piece;
    EXPECT_EQ(out256, ours(kShake256, in, 700)) << "piece " << piece;
    EXPECT_EQ(d256, ours(kSha3_256, in, 32)) << "piece " << piece;
    EXPECT_EQ(d512, ours(kSha3_512, in, 64)) << "piece " << piece;
  }
}

TEST(sha3, reset_starts_a_new_message) {
  sha3::Shake256 x;
  const auto first = pattern_bytes(300, 1), second = pattern_bytes(50, 2);
  x.absorb(first);
  std::vector<std::uint8_t> junk(10);
  x.squeeze(junk);
  x.reset();
  x.absorb(second);
  std::vector<std::uint8_t> out(200);
  x.squeeze(out);
  EXPECT_EQ(out, openssl_hash(kShake256, second, 200));
}

// Absorbing into a finished message is a caller bug, stopped rather than hashed wrongly.
TEST(sha3DeathTest, absorb_after_squeeze_aborts) {
  sha3::Shake128 x;
  std::uint8_t out[8], in[1] = {0};
  x.squeeze(out);
  EXPECT_DEATH(x.absorb(in), "");
}

}  // namespace
