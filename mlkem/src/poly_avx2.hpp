// The AVX2 backend: the members of Portable (poly.hpp), with the same contract, the same
// in-memory forms and the same results coefficient for coefficient. Every member runs AVX2
// instructions: call them only when select_code_path(cpu_features()) == CodePath::kAvx2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "keccak4x_avx2.hpp"
#include "poly.hpp"

namespace mlkem768::detail {

struct Avx2 {
  MLKEM768_AVX2_TARGET static void ntt(poly& p) noexcept;
  MLKEM768_AVX2_TARGET static void invntt(poly& p) noexcept;
  MLKEM768_AVX2_TARGET static void mulcache(poly_mulcache& cache, const poly& b) noexcept;
  MLKEM768_AVX2_TARGET static void basemul_acc(poly& r, const poly a[kK], const poly b[kK],
                                               const poly_mulcache cache[kK]) noexcept;
  MLKEM768_AVX2_TARGET static void tomont(poly& p) noexcept;
  MLKEM768_AVX2_TARGET static void add(poly& r, const poly& a, const poly& b) noexcept;
  MLKEM768_AVX2_TARGET static void sub(poly& r, const poly& a, const poly& b) noexcept;

  MLKEM768_AVX2_TARGET static void tobytes(std::uint8_t out[kPolyBytes], const poly& p) noexcept;
  MLKEM768_AVX2_TARGET static void frombytes(poly& p, const std::uint8_t in[kPolyBytes]) noexcept;
  MLKEM768_AVX2_TARGET static void compress_du(std::uint8_t out[kPolyCompressedDuBytes],
                                               const poly& p) noexcept;
  MLKEM768_AVX2_TARGET static void decompress_du(
      poly& p, const std::uint8_t in[kPolyCompressedDuBytes]) noexcept;
  MLKEM768_AVX2_TARGET static void compress_dv(std::uint8_t out[kPolyCompressedDvBytes],
                                               const poly& p) noexcept;
  MLKEM768_AVX2_TARGET static void decompress_dv(
      poly& p, const std::uint8_t in[kPolyCompressedDvBytes]) noexcept;
  MLKEM768_AVX2_TARGET static void frommsg(poly& p, const std::uint8_t msg[kSymBytes]) noexcept;
  MLKEM768_AVX2_TARGET static void tomsg(std::uint8_t msg[kSymBytes], const poly& p) noexcept;

  MLKEM768_AVX2_TARGET static unsigned rej_uniform(std::int16_t* r, unsigned len,
                                                   const std::uint8_t* buf,
                                                   std::size_t buflen) noexcept;
  MLKEM768_AVX2_TARGET static void cbd_eta2(poly& p, const std::uint8_t buf[kNoiseBytes]) noexcept;

  MLKEM768_AVX2_TARGET static void expand_matrix(poly a[kK][kK], const std::uint8_t rho[kSymBytes],
                                                 bool transposed) noexcept;
  MLKEM768_AVX2_TARGET static void sample_noise(poly* out, unsigned count,
                                                const std::uint8_t seed[kSymBytes],
                                                std::uint8_t nonce) noexcept;
  MLKEM768_AVX2_TARGET static void sample_jobs(const SamplingJobs& jobs) noexcept;
  MLKEM768_AVX2_TARGET static void keccak_f1600(std::uint64_t state[25]) noexcept;
};

}  // namespace mlkem768::detail
