#pragma once

// ML-KEM-768 key pairs, encapsulation and decapsulation.

#include "vostrel/common.hpp"

namespace vostrel::pqkem {

inline constexpr std::size_t kEncapsulationKeyBytes = 1184;
inline constexpr std::size_t kDecapsulationKeyBytes = 2400;
inline constexpr std::size_t kCiphertextBytes = 1088;
inline constexpr std::size_t kSharedSecretBytes = 32;
inline constexpr std::size_t kSeedBytes = 64;
inline constexpr std::size_t kEncapsulationRandomnessBytes = 32;

using EncapsulationKey = ByteArray<kEncapsulationKeyBytes>;
using DecapsulationKey = ByteArray<kDecapsulationKeyBytes>;
using Ciphertext = ByteArray<kCiphertextBytes>;
// Wiped when released, as every shared secret is.
using SharedSecret = Secret32;
static_assert(SharedSecret::size() == kSharedSecretBytes);

struct KemKeyPair {
  DecapsulationKey dk{};
  EncapsulationKey ek{};

  // A fresh key pair from 64 random bytes (d, then z); stops with "OS CSPRNG" on failure.
  [[nodiscard]] static KemKeyPair generate();
  // The key pair of a given 64-byte seed (d, then z).
  [[nodiscard]] static KemKeyPair from_seed(FixedView<kSeedBytes> seed);
};

struct Encapsulation {
  Ciphertext ct{};
  SharedSecret ss;
};

// Encapsulates to any 1184 bytes with 32 fresh random bytes; stops with "OS CSPRNG" on failure.
[[nodiscard]] Encapsulation encapsulate(FixedView<kEncapsulationKeyBytes> ek);
// Encapsulation with the given randomness m.
[[nodiscard]] Encapsulation encapsulate_with(FixedView<kEncapsulationKeyBytes> ek,
                                             FixedView<kEncapsulationRandomnessBytes> randomness);
// Never fails: a ciphertext not made for this key yields an unrelated secret (implicit rejection).
[[nodiscard]] SharedSecret decapsulate(FixedView<kDecapsulationKeyBytes> dk,
                                       FixedView<kCiphertextBytes> ct);

}  // namespace vostrel::pqkem
