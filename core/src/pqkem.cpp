#include "vostrel/pqkem.hpp"

#include <mlkem/mlkem768.hpp>

namespace vostrel::pqkem {

static_assert(kEncapsulationKeyBytes == mlkem768::kEncapsulationKeyBytes);
static_assert(kDecapsulationKeyBytes == mlkem768::kDecapsulationKeyBytes);
static_assert(kCiphertextBytes == mlkem768::kCiphertextBytes);
static_assert(kSharedSecretBytes == mlkem768::kSharedSecretBytes);

KemKeyPair KemKeyPair::generate() {
  ByteArray<kSeedBytes> seed{};
  os_random(seed);
  KemKeyPair pair = from_seed(seed);
  secure_zero(seed.data(), seed.size());
  return pair;
}

KemKeyPair KemKeyPair::from_seed(FixedView<kSeedBytes> seed) {
  KemKeyPair pair;
  mlkem768::keygen_internal(seed.data(), seed.data() + 32, pair.ek.data(), pair.dk.data());
  return pair;
}

Encapsulation encapsulate(FixedView<kEncapsulationKeyBytes> ek) {
  ByteArray<kEncapsulationRandomnessBytes> randomness{};
  os_random(randomness);
  Encapsulation out = encapsulate_with(ek, randomness);
  secure_zero(randomness.data(), randomness.size());
  return out;
}

Encapsulation encapsulate_with(FixedView<kEncapsulationKeyBytes> ek,
                               FixedView<kEncapsulationRandomnessBytes> randomness) {
  Encapsulation out;
  mlkem768::encaps_internal(ek.data(), randomness.data(), out.ct.data(), out.ss.data());
  return out;
}

SharedSecret decapsulate(FixedView<kDecapsulationKeyBytes> dk, FixedView<kCiphertextBytes> ct) {
  SharedSecret ss{};
  mlkem768::decaps_internal(dk.data(), ct.data(), ss.data());
  return ss;
}

}  // namespace vostrel::pqkem
