#include "vostrel/pqkem.hpp"

#include <mlkem/mlkem768.hpp>

namespace vostrel::pqkem {

static_assert(kEncapsulationKeyBytes == mlkem768::kEncapsulationKeyBytes);
static_assert(kDecapsulationKeyBytes == mlkem768::kDecapsulationKeyBytes);
static_assert(kCiphertextBytes == mlkem768::kCiphertextBytes);
static_assert(kSharedSecretBytes == mlkem768::kSharedSecretBytes);

KemKeyPair KemKeyPair::generate() {
  ByteArray<kSeedBytes> seed{};
  const WipeOnExit wipe(seed);
  os_random(seed);
  return from_seed(seed);
}

KemKeyPair KemKeyPair::from_seed(FixedView<kSeedBytes> seed) {
  KemKeyPair pair;
  mlkem768::keygen_internal(seed.data(), seed.data() + 32, pair.ek.data(), pair.dk.data());
  return pair;
}

Encapsulation encapsulate(FixedView<kEncapsulationKeyBytes> ek) {
  static_assert(kEncapsulationRandomnessBytes == Secret32::size());
  const Secret32 randomness = random_secret32();
  return encapsulate_with(ek, randomness.view());
}

Encapsulation encapsulate_with(FixedView<kEncapsulationKeyBytes> ek,
                               FixedView<kEncapsulationRandomnessBytes> randomness) {
  Encapsulation out;
  mlkem768::encaps_internal(ek.data(), randomness.data(), out.ct.data(), out.ss.data());
  return out;
}

SharedSecret decapsulate(FixedView<kDecapsulationKeyBytes> dk, FixedView<kCiphertextBytes> ct) {
  SharedSecret ss;
  mlkem768::decaps_internal(dk.data(), ct.data(), ss.data());
  return ss;
}

}  // namespace vostrel::pqkem
