#include "cpu_features.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace mlkem768::detail {

namespace {

#if defined(__x86_64__) || defined(__i386__)

constexpr bool bit(unsigned int word, unsigned int n) noexcept {
  return ((word >> n) & 1U) != 0;
}

// XGETBV through inline assembly, so this file needs no target flags of its own.
std::uint64_t read_xcr0() noexcept {
  unsigned int lo = 0;
  unsigned int hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0U));
  return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

CpuFeatures probe() noexcept {
  CpuFeatures f;
  unsigned int eax = 0;
  unsigned int ebx = 0;
  unsigned int ecx = 0;
  unsigned int edx = 0;
  const unsigned int max_leaf = __get_cpuid_max(0U, nullptr);
  if (max_leaf < 1U) return f;

  __cpuid(1U, eax, ebx, ecx, edx);
  f.fma = bit(ecx, 12);
  f.movbe = bit(ecx, 22);
  f.avx = bit(ecx, 28);
  // XGETBV faults unless OSXSAVE says the OS enabled it.
  if (bit(ecx, 27)) {
    const std::uint64_t xcr0 = read_xcr0();
    f.os_saves_ymm = (xcr0 & 0x6U) == 0x6U;
  }

  if (max_leaf >= 7U) {
    __cpuid_count(7U, 0U, eax, ebx, ecx, edx);
    f.bmi1 = bit(ebx, 3);
    f.avx2 = bit(ebx, 5);
    f.bmi2 = bit(ebx, 8);
  }
  return f;
}

#else

CpuFeatures probe() noexcept {
  return {};
}

#endif

}  // namespace

CpuFeatures detect_cpu_features() noexcept {
  return probe();
}

const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = detect_cpu_features();
  return features;
}

}  // namespace mlkem768::detail
