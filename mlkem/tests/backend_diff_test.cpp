// The AVX2 backend against the portable one, routine by routine: identical outputs, coefficient
// for coefficient and byte for byte, on random inputs within each routine's stated bounds.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "cpu_features.hpp"
#include "poly.hpp"
#include "poly_avx2.hpp"

namespace {

using mlkem768::detail::Avx2;
using mlkem768::detail::kK;
using mlkem768::detail::kN;
using mlkem768::detail::kQ;
using mlkem768::detail::poly;
using mlkem768::detail::poly_mulcache;
using mlkem768::detail::Portable;

constexpr int kTrials = 200;

class BackendDiff : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!mlkem768::detail::avx2_usable(mlkem768::detail::cpu_features())) {
      GTEST_SKIP() << "no AVX2 code path on this machine";
    }
  }

  poly random_poly(int lo, int hi) {
    std::uniform_int_distribution<int> dist(lo, hi);
    poly p;
    for (auto& c : p.coeffs) c = static_cast<std::int16_t>(dist(rng_));
    return p;
  }

  template <std::size_t N>
  std::array<std::uint8_t, N> random_bytes() {
    std::array<std::uint8_t, N> out;
    for (auto& b : out) b = static_cast<std::uint8_t>(rng_());
    return out;
  }

  std::mt19937 rng_{20240601};
};

bool same(const poly& a, const poly& b) {
  return std::memcmp(a.coeffs, b.coeffs, sizeof a.coeffs) == 0;
}

// Every int16 value once, in the coefficients of 256 polynomials.
std::vector<poly> every_int16() {
  std::vector<poly> out(65536 / kN);
  for (int v = 0; v < 65536; ++v) {
    out[static_cast<std::size_t>(v / kN)].coeffs[v % kN] = static_cast<std::int16_t>(v - 32768);
  }
  return out;
}

TEST_F(BackendDiff, ntt) {
  for (int t = 0; t < kTrials; ++t) {
    poly a = random_poly(-2 * kQ + 1, 2 * kQ - 1), b = a;
    Portable::ntt(a);
    Avx2::ntt(b);
    ASSERT_TRUE(same(a, b)) << "trial " << t;
  }
}

TEST_F(BackendDiff, invntt) {
  for (int t = 0; t < kTrials; ++t) {
    poly a = random_poly(-kQ + 1, kQ - 1), b = a;
    Portable::invntt(a);
    Avx2::invntt(b);
    ASSERT_TRUE(same(a, b)) << "trial " << t;
  }
}

TEST_F(BackendDiff, mulcache_and_basemul_acc) {
  for (int t = 0; t < kTrials; ++t) {
    poly a[kK], b[kK];
    poly_mulcache pc[kK], vc[kK];
    for (std::size_t k = 0; k < kK; ++k) {
      a[k] = random_poly(-kQ + 1, kQ - 1);
      b[k] = random_poly(-(kQ - 1) / 2, (kQ - 1) / 2);
      Portable::mulcache(pc[k], b[k]);
      Avx2::mulcache(vc[k], b[k]);
      ASSERT_EQ(0, std::memcmp(pc[k].coeffs, vc[k].coeffs, sizeof pc[k].coeffs)) << "trial " << t;
    }
    poly pr, vr;
    Portable::basemul_acc(pr, a, b, pc);
    Avx2::basemul_acc(vr, a, b, pc);
    ASSERT_TRUE(same(pr, vr)) << "trial " << t;
  }
}

TEST_F(BackendDiff, tomont_add_sub) {
  for (const poly& x : every_int16()) {
    poly a = x, b = x;
    Portable::tomont(a);
    Avx2::tomont(b);
    ASSERT_TRUE(same(a, b));
  }
  for (int t = 0; t < kTrials; ++t) {
    const poly x = random_poly(-32768, 32767), y = random_poly(-32768, 32767);
    poly p, v;
    Portable::add(p, x, y);
    Avx2::add(v, x, y);
    ASSERT_TRUE(same(p, v)) << "trial " << t;
    Portable::sub(p, x, y);
    Avx2::sub(v, x, y);
    ASSERT_TRUE(same(p, v)) << "trial " << t;
  }
}

// The encoders take any int16, so every value is tried.
TEST_F(BackendDiff, encoders_of_every_value) {
  for (const poly& x : every_int16()) {
    std::array<std::uint8_t, 384> p12, v12;
    std::array<std::uint8_t, 320> pdu, vdu;
    std::array<std::uint8_t, 128> pdv, vdv;
    std::array<std::uint8_t, 32> pm, vm;
    Portable::tobytes(p12.data(), x);
    Avx2::tobytes(v12.data(), x);
    ASSERT_EQ(p12, v12);
    Portable::compress_du(pdu.data(), x);
    Avx2::compress_du(vdu.data(), x);
    ASSERT_EQ(pdu, vdu);
    Portable::compress_dv(pdv.data(), x);
    Avx2::compress_dv(vdv.data(), x);
    ASSERT_EQ(pdv, vdv);
    Portable::tomsg(pm.data(), x);
    Avx2::tomsg(vm.data(), x);
    ASSERT_EQ(pm, vm);
  }
}

TEST_F(BackendDiff, decoders) {
  for (int t = 0; t < kTrials; ++t) {
    poly p, v;
    const auto b12 = random_bytes<384>();
    Portable::frombytes(p, b12.data());
    Avx2::frombytes(v, b12.data());
    ASSERT_TRUE(same(p, v)) << "trial " << t;
    const auto du = random_bytes<320>();
    Portable::decompress_du(p, du.data());
    Avx2::decompress_du(v, du.data());
    ASSERT_TRUE(same(p, v)) << "trial " << t;
    const auto dv = random_bytes<128>();
    Portable::decompress_dv(p, dv.data());
    Avx2::decompress_dv(v, dv.data());
    ASSERT_TRUE(same(p, v)) << "trial " << t;
    const auto msg = random_bytes<32>();
    Portable::frommsg(p, msg.data());
    Avx2::frommsg(v, msg.data());
    ASSERT_TRUE(same(p, v)) << "trial " << t;
  }
}

TEST_F(BackendDiff, cbd_eta2) {
  for (int t = 0; t < kTrials; ++t) {
    const auto buf = random_bytes<128>();
    poly p, v;
    Portable::cbd_eta2(p, buf.data());
    Avx2::cbd_eta2(v, buf.data());
    ASSERT_TRUE(same(p, v)) << "trial " << t;
  }
}

// Buffers of the lengths the callers use and shorter ones, with output room from a few values
// to a whole polynomial; a fifth of the candidates are rejected, or in odd trials most of them.
TEST_F(BackendDiff, rej_uniform) {
  for (int t = 0; t < kTrials; ++t) {
    auto bytes = random_bytes<504>();
    if (t % 2 == 1) {
      for (std::size_t i = 1; i < bytes.size(); i += 3) bytes[i] |= 0xC0;
    }
    for (const std::size_t buflen :
         {std::size_t{504}, std::size_t{168}, std::size_t{27}, std::size_t{3}}) {
      for (const unsigned len : {256u, 200u, 17u, 16u, 1u}) {
        std::int16_t p[256], v[256];
        const unsigned np = Portable::rej_uniform(p, len, bytes.data(), buflen);
        const unsigned nv = Avx2::rej_uniform(v, len, bytes.data(), buflen);
        ASSERT_EQ(np, nv) << "trial " << t << " buflen " << buflen << " len " << len;
        ASSERT_EQ(0, std::memcmp(p, v, np * sizeof p[0])) << "trial " << t;
      }
    }
  }
}

TEST_F(BackendDiff, expand_matrix) {
  for (int t = 0; t < 50; ++t) {
    const auto rho = random_bytes<32>();
    for (const bool transposed : {false, true}) {
      poly p[kK][kK], v[kK][kK];
      Portable::expand_matrix(p, rho.data(), transposed);
      Avx2::expand_matrix(v, rho.data(), transposed);
      for (std::size_t i = 0; i < kK; ++i) {
        for (std::size_t j = 0; j < kK; ++j) {
          ASSERT_TRUE(same(p[i][j], v[i][j])) << "trial " << t << " entry " << i << j;
        }
      }
    }
  }
}

TEST_F(BackendDiff, sample_noise) {
  for (int t = 0; t < 50; ++t) {
    const auto seed = random_bytes<32>();
    const auto nonce = static_cast<std::uint8_t>(rng_());
    for (unsigned count = 1; count <= 2 * kK + 1; ++count) {
      poly p[2 * kK + 1], v[2 * kK + 1];
      Portable::sample_noise(p, count, seed.data(), nonce);
      Avx2::sample_noise(v, count, seed.data(), nonce);
      for (unsigned n = 0; n < count; ++n) {
        ASSERT_TRUE(same(p[n], v[n])) << "trial " << t << " count " << count << " poly " << n;
      }
    }
  }
}

TEST_F(BackendDiff, keccak_f1600) {
  for (int t = 0; t < kTrials; ++t) {
    std::uint64_t p[25], v[25];
    for (auto& lane : p) lane = (std::uint64_t{rng_()} << 32) | rng_();
    std::memcpy(v, p, sizeof p);
    Portable::keccak_f1600(p);
    Avx2::keccak_f1600(v);
    ASSERT_EQ(0, std::memcmp(p, v, sizeof p)) << "trial " << t;
  }
}

// The streams side by side: the matrix with the keygen noise, and the matrix with a digest of
// either kind over two parts whose lengths straddle the block size of 136 bytes.
TEST_F(BackendDiff, sample_jobs) {
  using mlkem768::detail::Digest;
  using mlkem768::detail::SamplingJobs;
  const auto msg = random_bytes<1500>();
  const std::size_t splits[][2] = {{0, 0},     {1, 0},    {0, 135},   {136, 0}, {100, 37},
                                   {32, 1088}, {1184, 0}, {272, 273}, {1, 1498}};
  for (int t = 0; t < 20; ++t) {
    const auto rho = random_bytes<32>(), sigma = random_bytes<32>();
    poly pm[kK][kK], vm[kK][kK], pn[2 * kK], vn[2 * kK];
    Portable::sample_jobs({.matrix = pm,
                           .rho = rho.data(),
                           .noise = pn,
                           .noise_count = 2 * kK,
                           .noise_seed = sigma.data()});
    Avx2::sample_jobs({.matrix = vm,
                       .rho = rho.data(),
                       .noise = vn,
                       .noise_count = 2 * kK,
                       .noise_seed = sigma.data()});
    for (std::size_t i = 0; i < kK * kK; ++i) {
      ASSERT_TRUE(same(pm[i / kK][i % kK], vm[i / kK][i % kK])) << "trial " << t;
    }
    for (std::size_t n = 0; n < 2 * kK; ++n) ASSERT_TRUE(same(pn[n], vn[n])) << "trial " << t;

    for (const auto& split : splits) {
      for (const Digest kind : {Digest::kSha3_256, Digest::kShake256}) {
        std::array<std::uint8_t, 32> pd, vd;
        SamplingJobs jobs{.matrix = pm,
                          .rho = rho.data(),
                          .transposed = true,
                          .digest = pd.data(),
                          .digest_kind = kind,
                          .digest_msg = {msg.data(), msg.data() + split[0]},
                          .digest_len = {split[0], split[1]}};
        Portable::sample_jobs(jobs);
        jobs.matrix = vm;
        jobs.digest = vd.data();
        Avx2::sample_jobs(jobs);
        ASSERT_EQ(pd, vd) << "trial " << t << " parts " << split[0] << "+" << split[1];
        for (std::size_t i = 0; i < kK * kK; ++i) {
          ASSERT_TRUE(same(pm[i / kK][i % kK], vm[i / kK][i % kK])) << "trial " << t;
        }
      }
    }
  }
}

}  // namespace
