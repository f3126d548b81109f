// ML-KEM-768 (FIPS 203): the deterministic internal algorithms; callers supply the randomness.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mlkem768 {

inline constexpr std::size_t kEncapsulationKeyBytes = 1184, kDecapsulationKeyBytes = 2400,
                             kCiphertextBytes = 1088, kSharedSecretBytes = 32;

// ML-KEM.KeyGen_internal(d, z).
void keygen_internal(const std::uint8_t d[32], const std::uint8_t z[32], std::uint8_t ek[1184],
                     std::uint8_t dk[2400]);

// ML-KEM.Encaps_internal(ek, m). Any 1184 bytes are accepted as a key: the caller decides
// whether to run the modulus check of FIPS 203 section 7.2.
void encaps_internal(const std::uint8_t ek[1184], const std::uint8_t m[32], std::uint8_t ct[1088],
                     std::uint8_t ss[32]);

// ML-KEM.Decaps_internal(dk, c), with implicit rejection chosen in constant time. Any 2400
// bytes are accepted as a key (no hash check of FIPS 203 section 7.3).
void decaps_internal(const std::uint8_t dk[2400], const std::uint8_t ct[1088], std::uint8_t ss[32]);

}  // namespace mlkem768
