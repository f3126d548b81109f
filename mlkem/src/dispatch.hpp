// The ML-KEM operations on a chosen code path. The public functions (mlkem/mlkem768.hpp) pass
// select_code_path(cpu_features()); tests and benchmarks pass a path of their own, which is how
// the portable path is forced on a machine with AVX2. kAvx2 must only be passed where
// avx2_usable(cpu_features()) holds.
#pragma once

#include <cstdint>

#include "cpu_features.hpp"

namespace mlkem768::detail {

void keygen_on(CodePath path, const std::uint8_t d[32], const std::uint8_t z[32],
               std::uint8_t ek[1184], std::uint8_t dk[2400]) noexcept;
void encaps_on(CodePath path, const std::uint8_t ek[1184], const std::uint8_t m[32],
               std::uint8_t ct[1088], std::uint8_t ss[32]) noexcept;
void decaps_on(CodePath path, const std::uint8_t dk[2400], const std::uint8_t ct[1088],
               std::uint8_t ss[32]) noexcept;

}  // namespace mlkem768::detail
