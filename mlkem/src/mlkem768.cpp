#include "mlkem/mlkem768.hpp"

#include "cpu_features.hpp"
#include "dispatch.hpp"
#include "kem.hpp"
#include "poly.hpp"
#include "poly_avx2.hpp"

namespace mlkem768 {

static_assert(kEncapsulationKeyBytes == detail::kEkBytes);
static_assert(kDecapsulationKeyBytes == detail::kDkBytes);
static_assert(kCiphertextBytes == detail::kCtBytes);
static_assert(kSharedSecretBytes == detail::kSymBytes);

namespace detail {

// The one place where a backend is chosen, at every call.
void keygen_on(CodePath path, const std::uint8_t d[32], const std::uint8_t z[32],
               std::uint8_t ek[1184], std::uint8_t dk[2400]) noexcept {
  if (path == CodePath::kAvx2) {
    Kem<Avx2>::keygen(d, z, ek, dk);
  } else {
    Kem<Portable>::keygen(d, z, ek, dk);
  }
}

void encaps_on(CodePath path, const std::uint8_t ek[1184], const std::uint8_t m[32],
               std::uint8_t ct[1088], std::uint8_t ss[32]) noexcept {
  if (path == CodePath::kAvx2) {
    Kem<Avx2>::encaps(ek, m, ct, ss);
  } else {
    Kem<Portable>::encaps(ek, m, ct, ss);
  }
}

void decaps_on(CodePath path, const std::uint8_t dk[2400], const std::uint8_t ct[1088],
               std::uint8_t ss[32]) noexcept {
  if (path == CodePath::kAvx2) {
    Kem<Avx2>::decaps(dk, ct, ss);
  } else {
    Kem<Portable>::decaps(dk, ct, ss);
  }
}

}  // namespace detail

void keygen_internal(const std::uint8_t d[32], const std::uint8_t z[32], std::uint8_t ek[1184],
                     std::uint8_t dk[2400]) {
  detail::keygen_on(detail::select_code_path(detail::cpu_features()), d, z, ek, dk);
}

void encaps_internal(const std::uint8_t ek[1184], const std::uint8_t m[32], std::uint8_t ct[1088],
                     std::uint8_t ss[32]) {
  detail::encaps_on(detail::select_code_path(detail::cpu_features()), ek, m, ct, ss);
}

void decaps_internal(const std::uint8_t dk[2400], const std::uint8_t ct[1088],
                     std::uint8_t ss[32]) {
  detail::decaps_on(detail::select_code_path(detail::cpu_features()), dk, ct, ss);
}

}  // namespace mlkem768
