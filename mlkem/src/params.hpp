// ML-KEM-768 parameters (FIPS 203, table 2) and the byte sizes derived from them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mlkem768::detail {

inline constexpr int kN = 256;
inline constexpr std::int16_t kQ = 3329;
inline constexpr std::size_t kK = 3;
inline constexpr int kEta1 = 2;
inline constexpr int kEta2 = 2;
inline constexpr int kDu = 10;
inline constexpr int kDv = 4;

inline constexpr std::size_t kSymBytes = 32;
inline constexpr std::size_t kPolyBytes = 384;  // ByteEncode_12
inline constexpr std::size_t kPolyvecBytes = kK * kPolyBytes;
inline constexpr std::size_t kPolyCompressedDuBytes = 32 * kDu;  // 320
inline constexpr std::size_t kPolyCompressedDvBytes = 32 * kDv;  // 128
inline constexpr std::size_t kNoiseBytes = 64 * kEta1;           // PRF output for CBD_2

inline constexpr std::size_t kEkBytes = kPolyvecBytes + kSymBytes;                 // 1184
inline constexpr std::size_t kDkBytes = kPolyvecBytes + kEkBytes + 2 * kSymBytes;  // 2400
inline constexpr std::size_t kCtBytes = kK * kPolyCompressedDuBytes + kPolyCompressedDvBytes;

}  // namespace mlkem768::detail
