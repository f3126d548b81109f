// ML-KEM-768 key generation, encapsulation and decapsulation, microseconds per operation.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "mlkem/mlkem768.hpp"

namespace {

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

void BM_mlkem768_keygen(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) {
    mlkem768::keygen_internal(f.d.data(), f.z.data(), f.ek.data(), f.dk.data());
    benchmark::DoNotOptimize(f.ek.data());
    f.d[0]++;  // a fresh seed each time, as in use
  }
}
BENCHMARK(BM_mlkem768_keygen)->Unit(benchmark::kMicrosecond);

void BM_mlkem768_encaps(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) {
    mlkem768::encaps_internal(f.ek.data(), f.m.data(), f.ct.data(), f.ss.data());
    benchmark::DoNotOptimize(f.ct.data());
    f.m[0]++;
  }
}
BENCHMARK(BM_mlkem768_encaps)->Unit(benchmark::kMicrosecond);

void BM_mlkem768_decaps(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) {
    mlkem768::decaps_internal(f.dk.data(), f.ct.data(), f.ss.data());
    benchmark::DoNotOptimize(f.ss.data());
  }
}
BENCHMARK(BM_mlkem768_decaps)->Unit(benchmark::kMicrosecond);

}  // namespace
