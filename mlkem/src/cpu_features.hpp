#pragma once

#include <cstdint>

namespace mlkem768::detail {

// What the processor and the operating system allow, as read from CPUID and XGETBV.
struct CpuFeatures {
  bool avx = false;
  bool avx2 = false;
  bool bmi1 = false;
  bool bmi2 = false;
  bool fma = false;
  bool movbe = false;
  // OSXSAVE is set and XCR0 has the XMM (bit 1) and YMM (bit 2) state enabled.
  bool os_saves_ymm = false;

  friend bool operator==(const CpuFeatures&, const CpuFeatures&) = default;
};

enum class CodePath : std::uint8_t { kPortable = 0, kAvx2 = 1 };

// Reads CPUID and XGETBV now. Production code asks cpu_features() instead.
CpuFeatures detect_cpu_features() noexcept;

// The record read once per process; every thread sees the same one.
const CpuFeatures& cpu_features() noexcept;

constexpr bool avx2_usable(const CpuFeatures& f) noexcept {
  return f.os_saves_ymm && f.avx && f.avx2 && f.bmi1 && f.bmi2 && f.fma && f.movbe;
}

// The one dispatch decision. Callers pass cpu_features(); tests pass a record of their own
// (CpuFeatures{} forces the portable path).
constexpr CodePath select_code_path(const CpuFeatures& f) noexcept {
  return avx2_usable(f) ? CodePath::kAvx2 : CodePath::kPortable;
}

}  // namespace mlkem768::detail
