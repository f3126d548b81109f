#include "vostrel/pqkem.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <sstream>

#include "test_support.hpp"
#include "vostrel/crypto.hpp"

using namespace vostrel;
using namespace vostrel::pqkem;
using vostrel::test::filled;

namespace {

std::string to_hex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

struct OracleResult {
  int exit_code = -1;
  std::string output;
};

// Runs the second implementation as a child process: ciphertext and secret as two hex lines.
OracleResult run_oracle(ByteView ek, ByteView randomness) {
  const std::string command =
      "node '" VOSTREL_MLKEM_ORACLE "' " + to_hex(ek) + " " + to_hex(randomness) + " 2>&1";
  OracleResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    result.output.append(buffer, got);
  const int status = ::pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace

TEST(pqkem, serialized_sizes_match_fips203) {
  const KemKeyPair pair = KemKeyPair::generate();
  const Encapsulation enc = encapsulate(pair.ek);
  static_assert(sizeof(pair.ek) == 1184 && sizeof(pair.dk) == 2400);
  static_assert(sizeof(enc.ct) == 1088 && sizeof(enc.ss) == 32);
}

TEST(pqkem, ml_kem_768_encapsulate_decapsulate_agree) {
  const KemKeyPair pair = KemKeyPair::generate();
  const Encapsulation enc = encapsulate(pair.ek);
  ASSERT_TRUE(decapsulate(pair.dk, enc.ct).bytes() == enc.ss.bytes())
      << "both sides derive the same ML-KEM secret";
}

TEST(pqkem, key_and_ciphertext_serialization_roundtrips) {
  const KemKeyPair pair = KemKeyPair::generate();
  const Bytes ek_bytes(pair.ek.begin(), pair.ek.end());
  const Bytes dk_bytes(pair.dk.begin(), pair.dk.end());
  EncapsulationKey ek{};
  DecapsulationKey dk{};
  std::copy(ek_bytes.begin(), ek_bytes.end(), ek.begin());
  std::copy(dk_bytes.begin(), dk_bytes.end(), dk.begin());
  const Encapsulation first = encapsulate(ek);
  const Encapsulation second = encapsulate(ek);
  const Bytes ct_bytes(second.ct.begin(), second.ct.end());
  Ciphertext rebuilt{};
  std::copy(ct_bytes.begin(), ct_bytes.end(), rebuilt.begin());
  ASSERT_EQ(decapsulate(dk, first.ct).bytes(), first.ss.bytes());
  ASSERT_EQ(decapsulate(dk, rebuilt).bytes(), second.ss.bytes());
}

TEST(pqkem, hybrid_key_agrees_across_both_secrets) {
  const KemKeyPair pair = KemKeyPair::generate();
  const Encapsulation enc = encapsulate(pair.ek);
  const SharedSecret recovered = decapsulate(pair.dk, enc.ct);
  const Secret32 classical(filled<32>(0x25));
  const Secret32 sender = crypto::hybrid_key(classical, enc.ss.view(), as_bytes("transcript"));
  const Secret32 receiver = crypto::hybrid_key(classical, recovered.view(), as_bytes("transcript"));
  ASSERT_EQ(sender.bytes(), receiver.bytes());
}

TEST(pqkem, fips203_differential_kat_primary_vs_secondimpl) {
  ByteArray<kSeedBytes> seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i);
  const ByteArray<32> randomness = filled<32>(0xA7);
  const KemKeyPair pair = KemKeyPair::from_seed(seed);
  const Encapsulation primary = encapsulate_with(pair.ek, randomness);

  const OracleResult oracle = run_oracle(pair.ek, randomness);
  if (oracle.exit_code == 2) throw Panic("valid encapsulation key");
  ASSERT_EQ(oracle.exit_code, 0) << "the ML-KEM-768 oracle did not run (is Node.js on the PATH and "
                                    "`npm ci` done in tools/mlkem-oracle?):\n"
                                 << oracle.output;
  std::istringstream lines(oracle.output);
  std::string ct_hex, ss_hex;
  std::getline(lines, ct_hex);
  std::getline(lines, ss_hex);
  const Bytes ct = vostrel::test::hex(ct_hex);
  const Bytes ss = vostrel::test::hex(ss_hex);
  ASSERT_TRUE(ct == Bytes(primary.ct.begin(), primary.ct.end()))
      << "ML-KEM-768 ciphertext differs between primary and secondimpl for the same (ek, coins)";
  ASSERT_TRUE(ss == Bytes(primary.ss.bytes().begin(), primary.ss.bytes().end()))
      << "ML-KEM-768 shared secret differs between implementations";
  ASSERT_EQ(decapsulate(pair.dk, primary.ct).bytes(), primary.ss.bytes());
}

TEST(pqkem, generation_is_deterministic_and_rejection_is_implicit) {
  const ByteArray<kSeedBytes> seed = filled<kSeedBytes>(0x3D);
  const KemKeyPair a = KemKeyPair::from_seed(seed);
  const KemKeyPair b = KemKeyPair::from_seed(seed);
  EXPECT_EQ(a.ek, b.ek);
  EXPECT_EQ(a.dk, b.dk);
  const Encapsulation enc = encapsulate_with(a.ek, filled<32>(0x19));
  const Encapsulation again = encapsulate_with(a.ek, filled<32>(0x19));
  EXPECT_EQ(enc.ct, again.ct);
  EXPECT_EQ(enc.ss.bytes(), again.ss.bytes());

  for (const std::size_t position : {std::size_t{0}, std::size_t{500}, kCiphertextBytes - 1}) {
    Ciphertext changed = enc.ct;
    changed[position] ^= 0x01;
    const SharedSecret rejected = decapsulate(a.dk, changed);
    EXPECT_NE(rejected.bytes(), enc.ss.bytes()) << "byte " << position;
    EXPECT_EQ(decapsulate(a.dk, changed).bytes(), rejected.bytes()) << "byte " << position;
  }
}
