// ML-KEM-768 key generation, encapsulation and decapsulation on each code path, microseconds
// per operation. The AVX2 rows report an error on a machine without that path.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "cpu_features.hpp"
#include "dispatch.hpp"
#include "mlkem/mlkem768.hpp"

namespace {

using mlkem768::detail::CodePath;

struct Fixture {
  std::array<std::uint8_t, 32> d{}, z{}, m{};
  std::array<std::uint8_t, mlkem768::kEncapsulationKeyBytes> ek{};
  std::array<std::uint8_t, mlkem768::kDecapsulationKeyBytes> dk{};
  std::array<std::uint8_t, mlkem768::kCiphertextBytes> ct{};
  std::array<std::uint8_t, mlkem768::kSharedSecretBytes> ss{};

  Fixture() {
    for (std::size_t i = 0; i < 32; ++i) {
      d[i] = static_cast<std::uint8_t>(i);
      z[i] = static_cast<std::uint8_t>(i + 32);
      m[i] = static_cast<std::uint8_t>(i + 64);
    }
    mlkem768::keygen_internal(d.data(), z.data(), ek.data(), dk.data());
    mlkem768::encaps_internal(ek.data(), m.data(), ct.data(), ss.data());
  }
};

bool path_available(benchmark::State& state, CodePath path) {
  if (path == CodePath::kAvx2 && !mlkem768::detail::avx2_usable(mlkem768::detail::cpu_features())) {
    state.SkipWithError("no AVX2 code path on this machine");
    return false;
  }
  return true;
}

void BM_mlkem768_keygen(benchmark::State& state, CodePath path) {
  if (!path_available(state, path)) return;
  Fixture f;
  for (auto _ : state) {
    mlkem768::detail::keygen_on(path, f.d.data(), f.z.data(), f.ek.data(), f.dk.data());
    benchmark::DoNotOptimize(f.ek.data());
    f.d[0]++;  // a fresh seed each time, as in use
  }
}
BENCHMARK_CAPTURE(BM_mlkem768_keygen, portable, CodePath::kPortable)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_mlkem768_keygen, avx2, CodePath::kAvx2)->Unit(benchmark::kMicrosecond);

void BM_mlkem768_encaps(benchmark::State& state, CodePath path) {
  if (!path_available(state, path)) return;
  Fixture f;
  for (auto _ : state) {
    mlkem768::detail::encaps_on(path, f.ek.data(), f.m.data(), f.ct.data(), f.ss.data());
    benchmark::DoNotOptimize(f.ct.data());
    f.m[0]++;
  }
}
BENCHMARK_CAPTURE(BM_mlkem768_encaps, portable, CodePath::kPortable)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_mlkem768_encaps, avx2, CodePath::kAvx2)->Unit(benchmark::kMicrosecond);

void BM_mlkem768_decaps(benchmark::State& state, CodePath path) {
  if (!path_available(state, path)) return;
  Fixture f;
  for (auto _ : state) {
    mlkem768::detail::decaps_on(path, f.dk.data(), f.ct.data(), f.ss.data());
    benchmark::DoNotOptimize(f.ss.data());
  }
}
BENCHMARK_CAPTURE(BM_mlkem768_decaps, portable, CodePath::kPortable)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_mlkem768_decaps, avx2, CodePath::kAvx2)->Unit(benchmark::kMicrosecond);

}  // namespace
