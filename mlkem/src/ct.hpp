// Wiping and constant-time helpers shared by the SHA-3 and ML-KEM code.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mlkem768::detail {

// Zeroes memory with stores the optimiser may not drop as dead.
inline void wipe(void* p, std::size_t n) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  std::memset(p, 0, n);
  __asm__ __volatile__("" : : "r"(p) : "memory");
#else
  volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
  while (n-- > 0) *v++ = 0;
#endif
}

template <class T>
inline void wipe_object(T& object) noexcept {
  wipe(&object, sizeof(T));
}

// Hides a value from the optimiser so that masks built from it stay arithmetic, not branches.
inline std::uint32_t value_barrier(std::uint32_t x) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __asm__("" : "+r"(x));
#else
  volatile std::uint32_t v = x;
  x = v;
#endif
  return x;
}

inline std::uint64_t load64_le(const std::uint8_t* p) noexcept {
  std::uint64_t x;
  std::memcpy(&x, p, sizeof x);
  if constexpr (std::endian::native == std::endian::big) x = std::byteswap(x);
  return x;
}

inline void store64_le(std::uint8_t* p, std::uint64_t x) noexcept {
  if constexpr (std::endian::native == std::endian::big) x = std::byteswap(x);
  std::memcpy(p, &x, sizeof x);
}

inline std::uint32_t load32_le(const std::uint8_t* p) noexcept {
  std::uint32_t x;
  std::memcpy(&x, p, sizeof x);
  if constexpr (std::endian::native == std::endian::big) x = std::byteswap(x);
  return x;
}

}  // namespace mlkem768::detail
