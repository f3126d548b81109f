#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "cpu_features.hpp"
#include "keccak4x_avx2.hpp"

namespace {

using mlkem768::detail::avx2::Keccak4x;
using Lanes = std::array<std::uint64_t, 25>;
using Bytes = std::vector<std::uint8_t>;

// A deliberately plain Keccak-f[1600] with its constants computed by the FIPS 202 algorithms, so
// that it shares nothing with the vector code but the definition.
bool rc_bit(unsigned t) {
  if (t % 255 == 0) return true;
  unsigned r = 1;  // bit i of r is R[i]
  for (unsigned i = 1; i <= t % 255; ++i) {
    r <<= 1;
    const unsigned r8 = (r >> 8) & 1U;
    r ^= r8 | (r8 << 4) | (r8 << 5) | (r8 << 6);
    r &= 0xFFU;
  }
  return (r & 1U) != 0;
}

std::uint64_t rotl(std::uint64_t v, unsigned n) {
  n %= 64;
  return n == 0 ? v : (v << n) | (v >> (64 - n));
}

void reference_f1600(Lanes& a) {
  auto at = [](unsigned x, unsigned y) { return x % 5 + 5 * (y % 5); };
  for (unsigned round = 0; round < 24; ++round) {
    std::uint64_t c[5];
    for (unsigned x = 0; x < 5; ++x) {
      c[x] = a[at(x, 0)] ^ a[at(x, 1)] ^ a[at(x, 2)] ^ a[at(x, 3)] ^ a[at(x, 4)];
    }
    for (unsigned x = 0; x < 5; ++x) {
      const std::uint64_t d = c[(x + 4) % 5] ^ rotl(c[(x + 1) % 5], 1);
      for (unsigned y = 0; y < 5; ++y) a[at(x, y)] ^= d;
    }
    Lanes rho = a;
    unsigned x = 1;
    unsigned y = 0;
    for (unsigned t = 0; t < 24; ++t) {
      rho[at(x, y)] = rotl(a[at(x, y)], (t + 1) * (t + 2) / 2);
      const unsigned next_y = (2 * x + 3 * y) % 5;
      x = y;
      y = next_y;
    }
    Lanes pi{};
    for (x = 0; x < 5; ++x) {
      for (y = 0; y < 5; ++y) pi[at(x, y)] = rho[at(x + 3 * y, x)];
    }
    for (x = 0; x < 5; ++x) {
      for (y = 0; y < 5; ++y) a[at(x, y)] = pi[at(x, y)] ^ (~pi[at(x + 1, y)] & pi[at(x + 2, y)]);
    }
    for (unsigned j = 0; j <= 6; ++j) {
      if (rc_bit(j + 7 * round)) a[0] ^= std::uint64_t{1} << ((1U << j) - 1);
    }
  }
}

Bytes openssl_shake(const char* name, const Bytes& in, std::size_t out_len) {
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, name, nullptr),
                                                     EVP_MD_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  Bytes out(out_len);
  const bool ok = md && ctx && EVP_DigestInit_ex(ctx.get(), md.get(), nullptr) == 1 &&
                  EVP_DigestUpdate(ctx.get(), in.data(), in.size()) == 1 &&
                  EVP_DigestFinalXOF(ctx.get(), out.data(), out.size()) == 1;
  if (!ok) ADD_FAILURE() << "OpenSSL " << name << " failed";
  return out;
}

bool avx2_here() {
  return mlkem768::detail::avx2_usable(mlkem768::detail::cpu_features());
}

// The four-way code runs only where the dispatch would choose it.
class keccak4x : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!avx2_here()) GTEST_SKIP() << "this CPU or OS lacks AVX2/BMI1/BMI2/FMA/MOVBE support";
  }
};

TEST_F(keccak4x, permutation_equals_four_scalar_permutations) {
  std::mt19937_64 rng(0x6b656363616b3478);
  std::array<Lanes, 4> expected{};
  expected[0].fill(0);  // the all-zero state and an all-ones one beside random ones
  expected[1].fill(~std::uint64_t{0});
  for (auto& lane : expected[2]) lane = rng();
  for (auto& lane : expected[3]) lane = rng();

  Keccak4x state;
  for (std::size_t i = 0; i < 25; ++i) {
    for (std::size_t k = 0; k < 4; ++k) state.lanes[i][k] = expected[k][i];
  }
  for (int step = 1; step <= 3; ++step) {
    mlkem768::detail::avx2::keccak4x_f1600(state);
    for (auto& lanes : expected) reference_f1600(lanes);
    for (std::size_t k = 0; k < 4; ++k) {
      for (std::size_t i = 0; i < 25; ++i) {
        ASSERT_EQ(state.lanes[i][k], expected[k][i])
            << "step " << step << " state " << k << " lane " << i;
      }
    }
  }
}

struct Shake4x {
  const char* openssl_name;
  std::size_t block_bytes;
  void (*absorb_once)(Keccak4x&, const std::uint8_t*, const std::uint8_t*, const std::uint8_t*,
                      const std::uint8_t*, std::size_t) noexcept;
  void (*squeeze_blocks)(Keccak4x&, std::uint8_t*, std::uint8_t*, std::uint8_t*, std::uint8_t*,
                         std::size_t) noexcept;
};

const Shake4x kShake128x4{"SHAKE128", mlkem768::detail::avx2::kShake128BlockBytes,
                          mlkem768::detail::avx2::shake128x4_absorb_once,
                          mlkem768::detail::avx2::shake128x4_squeeze_blocks};
const Shake4x kShake256x4{"SHAKE256", mlkem768::detail::avx2::kShake256BlockBytes,
                          mlkem768::detail::avx2::shake256x4_absorb_once,
                          mlkem768::detail::avx2::shake256x4_squeeze_blocks};

// Four different random inputs of each length, squeezed in calls of 1, 0 and 3 blocks, against
// OpenSSL's first 4 blocks of each.
void expect_matches_openssl(const Shake4x& shake) {
  // 33 and 34 are the ML-KEM seeds; the rest straddle the rates 136 and 168 and their multiples.
  const std::size_t lengths[] = {0, 1, 8, 33, 34, 64, 135, 136, 137, 167, 168, 169, 272, 336, 500};
  std::mt19937_64 rng(0x7368616b65347821);
  for (const std::size_t len : lengths) {
    std::array<Bytes, 4> in;
    for (auto& input : in) {
      input.resize(len);
      for (auto& b : input) b = static_cast<std::uint8_t>(rng());
    }
    const std::size_t block = shake.block_bytes;
    std::array<Bytes, 4> out;
    for (auto& o : out) o.assign(4 * block, 0);

    Keccak4x state;
    shake.absorb_once(state, in[0].data(), in[1].data(), in[2].data(), in[3].data(), len);
    std::size_t done = 0;
    for (const std::size_t nblocks : {std::size_t{1}, std::size_t{0}, std::size_t{3}}) {
      shake.squeeze_blocks(state, out[0].data() + done, out[1].data() + done, out[2].data() + done,
                           out[3].data() + done, nblocks);
      done += nblocks * block;
    }
    for (std::size_t k = 0; k < 4; ++k) {
      EXPECT_EQ(out[k], openssl_shake(shake.openssl_name, in[k], 4 * block))
          << shake.openssl_name << " input length " << len << " instance " << k;
    }
  }
}

TEST_F(keccak4x, shake128x4_equals_openssl_shake128) {
  expect_matches_openssl(kShake128x4);
}

TEST_F(keccak4x, shake256x4_equals_openssl_shake256) {
  expect_matches_openssl(kShake256x4);
}

TEST_F(keccak4x, squeezing_no_blocks_changes_nothing) {
  const std::array<std::uint8_t, 34> seed{1, 2, 3};
  Keccak4x state;
  mlkem768::detail::avx2::shake128x4_absorb_once(state, seed.data(), seed.data(), seed.data(),
                                                 seed.data(), seed.size());
  Keccak4x before;
  std::memcpy(&before, &state, sizeof state);
  std::uint8_t out = 0xA5;
  mlkem768::detail::avx2::shake128x4_squeeze_blocks(state, &out, &out, &out, &out, 0);
  EXPECT_EQ(out, 0xA5);
  EXPECT_EQ(std::memcmp(&before, &state, sizeof state), 0);
}

}  // namespace
