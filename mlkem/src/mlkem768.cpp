#include "mlkem/mlkem768.hpp"

#include "kem.hpp"
#include "poly.hpp"

namespace mlkem768 {

// The one place where a backend is chosen; a vectorised backend is dispatched from here.
using Backend = detail::Kem<detail::Portable>;

static_assert(kEncapsulationKeyBytes == detail::kEkBytes);
static_assert(kDecapsulationKeyBytes == detail::kDkBytes);
static_assert(kCiphertextBytes == detail::kCtBytes);
static_assert(kSharedSecretBytes == detail::kSymBytes);

void keygen_internal(const std::uint8_t d[32], const std::uint8_t z[32], std::uint8_t ek[1184],
                     std::uint8_t dk[2400]) {
  Backend::keygen(d, z, ek, dk);
}

void encaps_internal(const std::uint8_t ek[1184], const std::uint8_t m[32], std::uint8_t ct[1088],
                     std::uint8_t ss[32]) {
  Backend::encaps(ek, m, ct, ss);
}

void decaps_internal(const std::uint8_t dk[2400], const std::uint8_t ct[1088],
                     std::uint8_t ss[32]) {
  Backend::decaps(dk, ct, ss);
}

}  // namespace mlkem768
