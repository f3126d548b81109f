// The sampling of the AVX2 backend: rejection sampling by compare and shuffle, and the matrix
// and the noise drawn four streams at a time from the four-way Keccak.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "ct.hpp"
#include "keccak.hpp"
#include "poly_avx2.hpp"

namespace mlkem768::detail {
namespace {

// For each 8-bit mask of accepted 16-bit lanes: the byte shuffle that moves those lanes to the
// front, in order, and how many there are. Indexed by the mask of public matrix data only.
struct CompactTable {
  alignas(16) std::uint8_t shuffle[256][16];
  std::uint8_t count[256];
};

constexpr CompactTable compact_table() {
  CompactTable t{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned n = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      if ((mask >> lane) & 1U) {
        t.shuffle[mask][2 * n] = static_cast<std::uint8_t>(2 * lane);
        t.shuffle[mask][2 * n + 1] = static_cast<std::uint8_t>(2 * lane + 1);
        ++n;
      }
    }
    for (unsigned j = 2 * n; j < 16; ++j) t.shuffle[mask][j] = 0x80;
    t.count[mask] = static_cast<std::uint8_t>(n);
  }
  return t;
}

constexpr CompactTable kCompact = compact_table();

struct alignas(32) Bytes32 {
  std::uint8_t v[32];
};
struct alignas(32) Dwords8 {
  std::int32_t v[8];
};

constexpr Bytes32 kUnpack12 = {{0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11,
                                0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11}};
constexpr Dwords8 kSpread12 = {{0, 1, 2, 2, 3, 4, 5, 5}};

MLKEM768_AVX2_TARGET inline unsigned compact8(std::int16_t* r, __m128i values,
                                              unsigned mask) noexcept {
  const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(kCompact.shuffle[mask]));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(r), _mm_shuffle_epi8(values, order));
  return kCompact.count[mask];
}

constexpr std::size_t kMatrixBlocks = 3;  // 504 bytes: enough for 256 values most times
constexpr std::size_t kMatrixBuf = kMatrixBlocks * kShake128Rate;

// SampleNTT for one entry from a single Keccak stream, as the portable backend does it.
MLKEM768_AVX2_TARGET void sample_one(poly& a, const std::uint8_t seed[kSymBytes + 2]) noexcept {
  std::uint64_t state[kKeccakLanes];
  std::uint8_t buf[kMatrixBuf];
  keccak_absorb_once(state, kShake128Rate, seed, kSymBytes + 2, kShakeSuffix);
  keccak_squeeze_blocks(state, kShake128Rate, buf, kMatrixBlocks);
  unsigned ctr = Avx2::rej_uniform(a.coeffs, kN, buf, sizeof buf);
  while (ctr < kN) {
    keccak_squeeze_blocks(state, kShake128Rate, buf, 1);
    ctr += Avx2::rej_uniform(a.coeffs + ctr, kN - ctr, buf, kShake128Rate);
  }
}

// SampleNTT for four entries from four streams at once; the streams that finish early are
// squeezed along with the others and their output is dropped.
MLKEM768_AVX2_TARGET void sample_four(poly* const (&a)[4],
                                      const std::uint8_t (&seeds)[4][kSymBytes + 2]) noexcept {
  avx2::Keccak4x state;
  alignas(32) std::uint8_t buf[4][kMatrixBuf];
  avx2::shake128x4_absorb_once(state, seeds[0], seeds[1], seeds[2], seeds[3], kSymBytes + 2);
  avx2::shake128x4_squeeze_blocks(state, buf[0], buf[1], buf[2], buf[3], kMatrixBlocks);
  unsigned ctr[4];
  for (std::size_t k = 0; k < 4; ++k)
    ctr[k] = Avx2::rej_uniform(a[k]->coeffs, kN, buf[k], kMatrixBuf);
  while (std::min({ctr[0], ctr[1], ctr[2], ctr[3]}) < kN) {
    avx2::shake128x4_squeeze_blocks(state, buf[0], buf[1], buf[2], buf[3], 1);
    for (std::size_t k = 0; k < 4; ++k) {
      if (ctr[k] < kN) {
        ctr[k] += Avx2::rej_uniform(a[k]->coeffs + ctr[k], kN - ctr[k], buf[k], kShake128Rate);
      }
    }
  }
}

// XOF input of entry (i, j): rho || j || i, or rho || i || j when transposed.
void set_indices(std::uint8_t* seed, std::size_t i, std::size_t j, bool transposed) noexcept {
  seed[kSymBytes] = static_cast<std::uint8_t>(transposed ? i : j);
  seed[kSymBytes + 1] = static_cast<std::uint8_t>(transposed ? j : i);
}

}  // namespace

// 24 bytes make 16 candidates (as in frombytes); the accepted ones of each half are moved to
// the front with a shuffle and stored at the write position. Runs while a whole vector fits
// both in the output and in the 32 bytes read; the portable loop parses what is left.
MLKEM768_AVX2_TARGET unsigned Avx2::rej_uniform(std::int16_t* r, unsigned len,
                                                const std::uint8_t* buf,
                                                std::size_t buflen) noexcept {
  const __m256i low12 = _mm256_set1_epi16(0x0FFF), q = _mm256_set1_epi16(kQ);
  const __m256i spread = _mm256_load_si256(reinterpret_cast<const __m256i*>(&kSpread12));
  const __m256i unpack = _mm256_load_si256(reinterpret_cast<const __m256i*>(&kUnpack12));
  unsigned ctr = 0;
  std::size_t pos = 0;
  while (ctr + 16 <= len && pos + 32 <= buflen) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + pos));
    pos += 24;
    x = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(x, spread), unpack);
    const __m256i d = _mm256_blend_epi16(_mm256_and_si256(x, low12), _mm256_srli_epi16(x, 4), 0xAA);
    const __m256i good = _mm256_cmpgt_epi16(q, d);
    // Bytes 0-7 of the packed masks are lanes 0-7, bytes 16-23 lanes 8-15.
    const auto mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_packs_epi16(good, good)));
    ctr += compact8(r + ctr, _mm256_castsi256_si128(d), mask & 0xFF);
    ctr += compact8(r + ctr, _mm256_extracti128_si256(d, 1), (mask >> 16) & 0xFF);
  }
  return ctr + Portable::rej_uniform(r + ctr, len - ctr, buf + pos, buflen - pos);
}

// Entries 0-3 and 4-7 (row-major) four at a time, the ninth on its own: a single stream is
// cheaper than a four-way permutation with three idle lanes.
MLKEM768_AVX2_TARGET void Avx2::expand_matrix(poly a[kK][kK], const std::uint8_t rho[kSymBytes],
                                              bool transposed) noexcept {
  std::uint8_t seeds[4][kSymBytes + 2];
  for (auto& s : seeds) std::memcpy(s, rho, kSymBytes);
  for (std::size_t first = 0; first + 4 <= kK * kK; first += 4) {
    poly* entries[4];
    for (std::size_t k = 0; k < 4; ++k) {
      const std::size_t i = (first + k) / kK, j = (first + k) % kK;
      set_indices(seeds[k], i, j, transposed);
      entries[k] = &a[i][j];
    }
    sample_four(entries, seeds);
  }
  set_indices(seeds[0], kK - 1, kK - 1, transposed);
  sample_one(a[kK - 1][kK - 1], seeds[0]);
}

// Four PRF streams per four-way permutation; one SHAKE-256 block covers the 128 bytes of
// CBD_2. Lanes past count draw the next nonces, whose output is wiped unused.
MLKEM768_AVX2_TARGET void Avx2::sample_noise(poly* out, unsigned count,
                                             const std::uint8_t seed[kSymBytes],
                                             std::uint8_t nonce) noexcept {
  std::uint8_t inputs[4][kSymBytes + 1];
  for (auto& in : inputs) std::memcpy(in, seed, kSymBytes);
  alignas(32) std::uint8_t buf[4][kShake256Rate];
  avx2::Keccak4x state;
  for (unsigned n = 0; n < count; n += 4) {
    for (unsigned k = 0; k < 4; ++k)
      inputs[k][kSymBytes] = static_cast<std::uint8_t>(nonce + n + k);
    avx2::shake256x4_absorb_once(state, inputs[0], inputs[1], inputs[2], inputs[3], kSymBytes + 1);
    avx2::shake256x4_squeeze_blocks(state, buf[0], buf[1], buf[2], buf[3], 1);
    for (unsigned k = 0; k < 4 && n + k < count; ++k) cbd_eta2(out[n + k], buf[k]);
  }
  wipe_object(inputs);
  wipe_object(buf);
  wipe_object(state);
}

}  // namespace mlkem768::detail
