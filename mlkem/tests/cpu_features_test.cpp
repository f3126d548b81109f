#include "cpu_features.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using mlkem768::detail::CodePath;
using mlkem768::detail::CpuFeatures;

TEST(cpu_features, one_record_for_every_thread) {
  const CpuFeatures* first = &mlkem768::detail::cpu_features();
  std::vector<const CpuFeatures*> seen(4, nullptr);
  std::vector<std::thread> threads;
  for (auto& slot : seen)
    threads.emplace_back([&slot] { slot = &mlkem768::detail::cpu_features(); });
  for (auto& t : threads) t.join();
  for (const CpuFeatures* p : seen) EXPECT_EQ(p, first);
  EXPECT_EQ(*first, mlkem768::detail::detect_cpu_features());
}

// GCC's own run-time probe reads the same CPUID and XGETBV bits.
TEST(cpu_features, agrees_with_the_compiler_runtime_probe) {
  __builtin_cpu_init();
  const CpuFeatures& f = mlkem768::detail::cpu_features();
  EXPECT_EQ(f.bmi1, __builtin_cpu_supports("bmi") != 0);
  EXPECT_EQ(f.bmi2, __builtin_cpu_supports("bmi2") != 0);
#if !defined(__clang__)  // clang 16's probe has no "movbe"
  EXPECT_EQ(f.movbe, __builtin_cpu_supports("movbe") != 0);
#endif
  // GCC reports AVX, AVX2 and FMA only when the OS saves YMM.
  EXPECT_EQ(f.avx && f.os_saves_ymm, __builtin_cpu_supports("avx") != 0);
  EXPECT_EQ(f.avx2 && f.os_saves_ymm, __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(f.fma && f.os_saves_ymm, __builtin_cpu_supports("fma") != 0);
}

TEST(cpu_features, avx2_path_needs_every_feature_and_the_os) {
  const CpuFeatures all{.avx = true,
                        .avx2 = true,
                        .bmi1 = true,
                        .bmi2 = true,
                        .fma = true,
                        .movbe = true,
                        .os_saves_ymm = true};
  EXPECT_EQ(mlkem768::detail::select_code_path(all), CodePath::kAvx2);
  EXPECT_EQ(mlkem768::detail::select_code_path(CpuFeatures{}), CodePath::kPortable);

  bool CpuFeatures::*const fields[] = {
      &CpuFeatures::avx, &CpuFeatures::avx2,  &CpuFeatures::bmi1,        &CpuFeatures::bmi2,
      &CpuFeatures::fma, &CpuFeatures::movbe, &CpuFeatures::os_saves_ymm};
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    CpuFeatures one_missing = all;
    one_missing.*fields[i] = false;
    EXPECT_EQ(mlkem768::detail::select_code_path(one_missing), CodePath::kPortable)
        << "field " << i;
  }
}

}  // namespace
