#include "mlkem/mlkem768.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cpu_features.hpp"
#include "dispatch.hpp"
#include "mlkem/sha3.hpp"
#include "test_util.hpp"

namespace {

namespace sha3 = mlkem768::sha3;
using mlkem768::detail::CodePath;
using mlkem768::test::pattern_bytes;
using mlkem768::test::to_hex;

using Ek = std::array<std::uint8_t, mlkem768::kEncapsulationKeyBytes>;
using Dk = std::array<std::uint8_t, mlkem768::kDecapsulationKeyBytes>;
using Ct = std::array<std::uint8_t, mlkem768::kCiphertextBytes>;
using Ss = std::array<std::uint8_t, mlkem768::kSharedSecretBytes>;
using Seed = std::array<std::uint8_t, 32>;

// The accumulated known-answer run: inputs read from SHAKE-128 of the empty string, every
// output absorbed into a second SHAKE-128, 32 bytes squeezed at the end.
std::string accumulated_run(CodePath path, int tests) {
  sha3::Shake128 source, sink;
  Seed d, z, m;
  Ek ek;
  Dk dk;
  Ct ct, random_ct;
  Ss k, k_decaps, k_reject;
  for (int t = 0; t < tests; ++t) {
    source.squeeze(d);
    source.squeeze(z);
    source.squeeze(m);
    source.squeeze(random_ct);
    mlkem768::detail::keygen_on(path, d.data(), z.data(), ek.data(), dk.data());
    mlkem768::detail::encaps_on(path, ek.data(), m.data(), ct.data(), k.data());
    mlkem768::detail::decaps_on(path, dk.data(), ct.data(), k_decaps.data());
    EXPECT_EQ(k_decaps, k) << "test " << t;
    mlkem768::detail::decaps_on(path, dk.data(), random_ct.data(), k_reject.data());
    sink.absorb(ek);
    sink.absorb(dk);
    sink.absorb(ct);
    sink.absorb(k);
    sink.absorb(k_reject);
  }
  std::array<std::uint8_t, 32> digest;
  sink.squeeze(digest);
  return to_hex(digest);
}

// Every test runs on each code path; the AVX2 one is skipped where the machine lacks it.
class mlkem768_kem : public ::testing::TestWithParam<CodePath> {
 protected:
  void SetUp() override {
    if (GetParam() == CodePath::kAvx2 &&
        !mlkem768::detail::avx2_usable(mlkem768::detail::cpu_features())) {
      GTEST_SKIP() << "no AVX2 code path on this machine";
    }
  }
};

INSTANTIATE_TEST_SUITE_P(paths, mlkem768_kem,
                         ::testing::Values(CodePath::kPortable, CodePath::kAvx2),
                         [](const ::testing::TestParamInfo<CodePath>& param) {
                           return param.param == CodePath::kAvx2 ? "avx2" : "portable";
                         });

TEST_P(mlkem768_kem, accumulated_vectors_10000) {
  EXPECT_EQ(accumulated_run(GetParam(), 10'000),
            "f959d18d3d1180121433bf0e05f11e7908cf9d03edc150b2b07cb90bef5bc1c1");
}

// Minutes long, so CTest leaves it out; run it with --gtest_also_run_disabled_tests.
TEST_P(mlkem768_kem, DISABLED_accumulated_vectors_1000000) {
  EXPECT_EQ(accumulated_run(GetParam(), 1'000'000),
            "3b108396a277f2952ff3243a985c9709bcb95788c39b7b36a2c4e19d1a41e51e");
}

struct Exchange {
  Ek ek;
  Dk dk;
  Ct ct;
  Ss ss;
};

Exchange run_fixed(CodePath path, const Seed& d, const Seed& z, const Seed& m) {
  Exchange x;
  mlkem768::detail::keygen_on(path, d.data(), z.data(), x.ek.data(), x.dk.data());
  mlkem768::detail::encaps_on(path, x.ek.data(), m.data(), x.ct.data(), x.ss.data());
  return x;
}

Seed fill(std::uint8_t start) {
  Seed s;
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(start + i);
  return s;
}

// A fixed seed and fixed randomness give the same bytes on every run and every build.
TEST_P(mlkem768_kem, fixed_seed_and_randomness_give_fixed_bytes) {
  const Seed d = fill(0x00), z = fill(0x20), m = fill(0x40);
  const Exchange a = run_fixed(GetParam(), d, z, m), b = run_fixed(GetParam(), d, z, m);
  EXPECT_EQ(a.ek, b.ek);
  EXPECT_EQ(a.dk, b.dk);
  EXPECT_EQ(a.ct, b.ct);
  EXPECT_EQ(a.ss, b.ss);

  sha3::Sha3_256 h;
  h.absorb(a.ek);
  h.absorb(a.dk);
  h.absorb(a.ct);
  h.absorb(a.ss);
  std::array<std::uint8_t, 32> digest;
  h.finish(digest);
  EXPECT_EQ(to_hex(digest), "04182bace5128633e0238b75c770fff441992a875058fec5b1c75a2bc9d0ca00");
  EXPECT_EQ(to_hex(a.ss), "9cddd089ffe70e3996e76f7c8d06746df34d07e8657bc0fcf2bb0e1c3084aea1");
}

// dk is s-hat || ek || H(ek) || z.
TEST_P(mlkem768_kem, decapsulation_key_layout) {
  const Seed d = fill(0x11), z = fill(0x99), m = fill(0x55);
  const Exchange x = run_fixed(GetParam(), d, z, m);
  EXPECT_EQ(0, std::memcmp(x.dk.data() + 1152, x.ek.data(), 1184));
  std::array<std::uint8_t, 32> h;
  sha3::sha3_256(x.ek, h);
  EXPECT_EQ(0, std::memcmp(x.dk.data() + 2336, h.data(), 32));
  EXPECT_EQ(0, std::memcmp(x.dk.data() + 2368, z.data(), 32));
}

TEST_P(mlkem768_kem, decapsulation_recovers_the_secret) {
  for (std::uint32_t i = 0; i < 20; ++i) {
    const auto bytes = pattern_bytes(96, i);
    Seed d, z, m;
    std::memcpy(d.data(), bytes.data(), 32);
    std::memcpy(z.data(), bytes.data() + 32, 32);
    std::memcpy(m.data(), bytes.data() + 64, 32);
    const Exchange x = run_fixed(GetParam(), d, z, m);
    Ss ss;
    mlkem768::detail::decaps_on(GetParam(), x.dk.data(), x.ct.data(), ss.data());
    EXPECT_EQ(ss, x.ss) << "seed " << i;
  }
}

// A changed ciphertext yields J(z || c), the same secret every time, never the real one.
TEST_P(mlkem768_kem, altered_ciphertext_is_rejected_implicitly) {
  const Seed d = fill(0x01), z = fill(0x77), m = fill(0xA0);
  const Exchange x = run_fixed(GetParam(), d, z, m);
  for (const std::size_t pos : {0u, 1u, 500u, 959u, 960u, 1087u}) {
    for (const std::uint8_t flip : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
      Ct bad = x.ct;
      bad[pos] ^= flip;
      Ss first, second;
      mlkem768::detail::decaps_on(GetParam(), x.dk.data(), bad.data(), first.data());
      mlkem768::detail::decaps_on(GetParam(), x.dk.data(), bad.data(), second.data());
      EXPECT_NE(first, x.ss) << "byte " << pos;
      EXPECT_EQ(first, second) << "byte " << pos;
      Ss expected;
      sha3::Shake256 j;
      j.absorb(z);
      j.absorb(bad);
      j.squeeze(expected);
      EXPECT_EQ(first, expected) << "byte " << pos;
    }
  }
}

// No input checks: keys outside the modulus and arbitrary dk bytes still work, and do so
// deterministically.
TEST_P(mlkem768_kem, any_key_bytes_are_used_as_given) {
  Ek ek;
  ek.fill(0xFF);  // every 12-bit value is 4095, above q
  const Seed m = fill(0x42);
  Ct ct1, ct2;
  Ss ss1, ss2;
  mlkem768::detail::encaps_on(GetParam(), ek.data(), m.data(), ct1.data(), ss1.data());
  mlkem768::detail::encaps_on(GetParam(), ek.data(), m.data(), ct2.data(), ss2.data());
  EXPECT_EQ(ct1, ct2);
  EXPECT_EQ(ss1, ss2);

  Dk dk;
  const auto bytes = pattern_bytes(dk.size(), 9);
  std::memcpy(dk.data(), bytes.data(), dk.size());
  Ss a, b;
  mlkem768::detail::decaps_on(GetParam(), dk.data(), ct1.data(), a.data());
  mlkem768::detail::decaps_on(GetParam(), dk.data(), ct1.data(), b.data());
  EXPECT_EQ(a, b);
}

// The public functions take the path that the recorded features select.
TEST(mlkem768, public_functions_follow_the_selected_path) {
  const CodePath path = mlkem768::detail::select_code_path(mlkem768::detail::cpu_features());
  const Seed d = fill(0x31), z = fill(0x32), m = fill(0x33);
  const Exchange expected = run_fixed(path, d, z, m);
  Exchange x;
  mlkem768::keygen_internal(d.data(), z.data(), x.ek.data(), x.dk.data());
  mlkem768::encaps_internal(x.ek.data(), m.data(), x.ct.data(), x.ss.data());
  Ss decapsulated;
  mlkem768::decaps_internal(x.dk.data(), x.ct.data(), decapsulated.data());
  EXPECT_EQ(x.ek, expected.ek);
  EXPECT_EQ(x.dk, expected.dk);
  EXPECT_EQ(x.ct, expected.ct);
  EXPECT_EQ(x.ss, expected.ss);
  EXPECT_EQ(decapsulated, expected.ss);
}

}  // namespace
