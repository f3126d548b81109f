// Checks of the polynomial backends against FIPS 203's definitions computed the slow way.
#include "poly.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "cpu_features.hpp"
#include "poly_avx2.hpp"
#include "test_util.hpp"

namespace {

using mlkem768::detail::Avx2;
using mlkem768::detail::kK;
using mlkem768::detail::kN;
using mlkem768::detail::kQ;
using mlkem768::detail::poly;
using mlkem768::detail::poly_mulcache;
using mlkem768::detail::Portable;
using mlkem768::test::pattern_bytes;

int mod_q(int x) {
  return ((x % kQ) + kQ) % kQ;
}

// Value i of a little-endian stream of width-bit values.
unsigned field(const std::uint8_t* bytes, int i, int width) {
  unsigned v = 0;
  for (int b = 0; b < width; ++b) {
    const auto bit = static_cast<std::size_t>(width * i + b);
    v |= static_cast<unsigned>((bytes[bit / 8] >> (bit % 8)) & 1) << b;
  }
  return v;
}

poly pattern_poly(std::uint32_t seed, int lo, int hi) {
  const auto bytes = pattern_bytes(2 * kN, seed);
  poly p;
  for (int i = 0; i < kN; ++i) {
    const int v =
        bytes[static_cast<std::size_t>(2 * i)] | bytes[static_cast<std::size_t>(2 * i + 1)] << 8;
    p.coeffs[i] = static_cast<std::int16_t>(lo + v % (hi - lo + 1));
  }
  return p;
}

template <class Backend>
class mlkem_poly : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::is_same_v<Backend, Avx2> &&
        !mlkem768::detail::avx2_usable(mlkem768::detail::cpu_features())) {
      GTEST_SKIP() << "no AVX2 code path on this machine";
    }
  }
};

class BackendName {
 public:
  template <class T>
  static std::string GetName(int) {
    return std::is_same_v<T, Avx2> ? "avx2" : "portable";
  }
};

using Backends = ::testing::Types<Portable, Avx2>;
TYPED_TEST_SUITE(mlkem_poly, Backends, BackendName);

// Products in Z_q[X]/(X^256 + 1) through NTT, basemul_acc and invntt equal the schoolbook
// sum of products.
TYPED_TEST(mlkem_poly, ntt_products_match_schoolbook) {
  poly a[kK], b[kK];
  std::vector<int> expected(kN, 0);
  for (std::size_t k = 0; k < kK; ++k) {
    a[k] = pattern_poly(static_cast<std::uint32_t>(10 + k), -kQ + 1, kQ - 1);
    b[k] = pattern_poly(static_cast<std::uint32_t>(20 + k), -2, 2);
    for (int i = 0; i < kN; ++i) {
      for (int j = 0; j < kN; ++j) {
        const int prod = mod_q(a[k].coeffs[i] * b[k].coeffs[j]);
        const int idx = (i + j) % kN;
        expected[static_cast<std::size_t>(idx)] += (i + j < kN) ? prod : kQ - prod;
      }
    }
  }
  poly_mulcache cache[kK];
  for (std::size_t k = 0; k < kK; ++k) {
    TypeParam::ntt(a[k]);
    TypeParam::ntt(b[k]);
    TypeParam::mulcache(cache[k], b[k]);
  }
  poly r;
  TypeParam::basemul_acc(r, a, b, cache);
  TypeParam::invntt(r);
  for (int i = 0; i < kN; ++i) {
    ASSERT_LT(std::abs(r.coeffs[i]), kQ) << i;
    ASSERT_EQ(mod_q(r.coeffs[i]), mod_q(expected[static_cast<std::size_t>(i)])) << i;
  }
}

// Compress_d(x) = round(2^d x / q) mod 2^d for every x in [0, q), and Decompress_d(y) =
// round(q y / 2^d) for every y, through the byte encodings.
TYPED_TEST(mlkem_poly, compression_matches_definition_for_every_value) {
  auto round_div = [](long num, long den) { return (2 * num + den) / (2 * den); };
  for (int base = 0; base < kQ; base += kN) {
    poly p;
    for (int i = 0; i < kN; ++i) p.coeffs[i] = static_cast<std::int16_t>((base + i) % kQ);
    std::uint8_t du[320], dv[128], msg[32];
    TypeParam::compress_du(du, p);
    TypeParam::compress_dv(dv, p);
    TypeParam::tomsg(msg, p);
    for (int i = 0; i < kN; ++i) {
      const long x = p.coeffs[i];
      const unsigned got10 = field(du, i, 10), got4 = field(dv, i, 4), got1 = field(msg, i, 1);
      ASSERT_EQ(got10, round_div(x << 10, kQ) % 1024) << x;
      ASSERT_EQ(got4, round_div(x << 4, kQ) % 16) << x;
      ASSERT_EQ(got1, round_div(x << 1, kQ) % 2) << x;
    }
  }
  std::uint8_t du[320], dv[128];
  for (std::size_t i = 0; i < sizeof du; ++i) du[i] = static_cast<std::uint8_t>(i * 37 + 5);
  for (std::size_t i = 0; i < sizeof dv; ++i) dv[i] = static_cast<std::uint8_t>(i * 17);
  poly u, v;
  TypeParam::decompress_du(u, du);
  TypeParam::decompress_dv(v, dv);
  for (int i = 0; i < kN; ++i) {
    const unsigned y10 = field(du, i, 10), y4 = field(dv, i, 4);
    ASSERT_EQ(u.coeffs[i], round_div(long{kQ} * y10, 1024)) << i;
    ASSERT_EQ(v.coeffs[i], round_div(long{kQ} * y4, 16)) << i;
  }
}

// ByteDecode_12 reduces every 12-bit value mod q; ByteEncode_12 writes canonical residues
// whatever the representative.
TYPED_TEST(mlkem_poly, twelve_bit_encoding_reduces_mod_q) {
  std::uint8_t in[384];
  for (int i = 0; i < kN / 2; ++i) {
    const unsigned v0 = static_cast<unsigned>(4095 - 13 * i), v1 = static_cast<unsigned>(7 * i);
    in[3 * i] = static_cast<std::uint8_t>(v0);
    in[3 * i + 1] = static_cast<std::uint8_t>((v0 >> 8) | (v1 << 4));
    in[3 * i + 2] = static_cast<std::uint8_t>(v1 >> 4);
  }
  poly p;
  TypeParam::frombytes(p, in);
  for (int i = 0; i < kN / 2; ++i) {
    EXPECT_EQ(p.coeffs[2 * i], (4095 - 13 * i) % kQ) << i;
    EXPECT_EQ(p.coeffs[2 * i + 1], (7 * i) % kQ) << i;
  }
  poly q = pattern_poly(5, -32768, 32767);
  std::uint8_t out[384];
  TypeParam::tobytes(out, q);
  for (int i = 0; i < kN / 2; ++i) {
    EXPECT_EQ(out[3 * i] | (out[3 * i + 1] & 0x0F) << 8, mod_q(q.coeffs[2 * i])) << i;
    EXPECT_EQ((out[3 * i + 1] >> 4) | out[3 * i + 2] << 4, mod_q(q.coeffs[2 * i + 1])) << i;
  }
}

// SampleNTT's parse: values >= q are skipped, and the second value of a triple is dropped
// once the polynomial is full.
TYPED_TEST(mlkem_poly, rejection_sampling_follows_sample_ntt) {
  const auto buf = pattern_bytes(3 * 400, 11);
  for (const unsigned len : {256u, 255u, 1u, 2u}) {
    std::vector<std::int16_t> expected;
    for (std::size_t pos = 0; pos + 3 <= buf.size() && expected.size() < len; pos += 3) {
      const int d1 = buf[pos] | (buf[pos + 1] & 0x0F) << 8;
      const int d2 = (buf[pos + 1] >> 4) | buf[pos + 2] << 4;
      if (d1 < kQ) expected.push_back(static_cast<std::int16_t>(d1));
      if (d2 < kQ && expected.size() < len) expected.push_back(static_cast<std::int16_t>(d2));
    }
    std::vector<std::int16_t> got(len);
    const unsigned n = TypeParam::rej_uniform(got.data(), len, buf.data(), buf.size());
    ASSERT_EQ(n, len);
    EXPECT_EQ(got, expected) << len;
  }
  // A short buffer reports how far it got.
  std::int16_t r[256];
  const std::uint8_t all_rejected[6] = {0xFF, 0xFF, 0xFF, 0x01, 0xD0, 0xFF};
  EXPECT_EQ(TypeParam::rej_uniform(r, 256, all_rejected, sizeof all_rejected), 1u);
  EXPECT_EQ(r[0], 0x001);
}

}  // namespace
