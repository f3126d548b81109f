#include "vostrel/pqkem.hpp"

#include "vostrel/crypto.hpp"

// TEMPORARY stand-in until the ML-KEM-768 library lands: an X25519-based KEM with the same sizes,
// so that callers can be built and tested. Replaced by the real implementation.
namespace vostrel::pqkem {

KemKeyPair KemKeyPair::generate() {
  ByteArray<kSeedBytes> seed{};
  os_random(seed);
  KemKeyPair pair = from_seed(seed);
  secure_zero(seed.data(), seed.size());
  return pair;
}

KemKeyPair KemKeyPair::from_seed(FixedView<kSeedBytes> seed) {
  KemKeyPair pair;
  std::copy(seed.begin(), seed.end(), pair.dk.begin());
  const Key32 pub = crypto::x25519_public(seed.first<32>());
  std::copy(pub.begin(), pub.end(), pair.ek.begin());
  std::copy(pub.begin(), pub.end(), pair.dk.begin() + 64);
  return pair;
}

Encapsulation encapsulate(FixedView<kEncapsulationKeyBytes> ek) {
  ByteArray<32> m{};
  os_random(m);
  return encapsulate_with(ek, m);
}

Encapsulation encapsulate_with(FixedView<kEncapsulationKeyBytes> ek,
                               FixedView<kEncapsulationRandomnessBytes> randomness) {
  Encapsulation out;
  const Key32 pub = crypto::x25519_public(randomness);
  std::copy(pub.begin(), pub.end(), out.ct.begin());
  const Secret32 shared = crypto::x25519(randomness, ek.first<32>());
  out.ss = crypto::sha256({shared.view(), ek, out.ct});
  return out;
}

SharedSecret decapsulate(FixedView<kDecapsulationKeyBytes> dk, FixedView<kCiphertextBytes> ct) {
  const Secret32 shared = crypto::x25519(dk.first<32>(), ct.first<32>());
  ByteArray<kEncapsulationKeyBytes> ek{};
  std::copy_n(dk.begin() + 64, 32, ek.begin());
  return crypto::sha256({shared.view(), ek, ct});
}

}  // namespace vostrel::pqkem
