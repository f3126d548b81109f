#include "keccak4x_avx2.hpp"

#include <immintrin.h>

#include <bit>
#include <cstring>
#include <utility>

namespace mlkem768::detail::avx2 {

namespace {

static_assert(std::endian::native == std::endian::little, "lanes are kept in host byte order");
static_assert(sizeof(Keccak4x) == 25 * sizeof(__m256i));

constexpr std::size_t kLanes = 25;
constexpr std::size_t kRounds = 24;
constexpr std::uint8_t kShakeDomainPad = 0x1F;

// Round constants of iota, from the rc LFSR.
constexpr std::uint64_t kRoundConstants[kRounds] = {
    0x0000000000000001, 0x0000000000008082, 0x800000000000808A, 0x8000000080008000,
    0x000000000000808B, 0x0000000080000001, 0x8000000080008081, 0x8000000000008009,
    0x000000000000008A, 0x0000000000000088, 0x0000000080008009, 0x000000008000000A,
    0x000000008000808B, 0x800000000000008B, 0x8000000000008089, 0x8000000000008003,
    0x8000000000008002, 0x8000000000000080, 0x000000000000800A, 0x800000008000000A,
    0x8000000080008081, 0x8000000000008080, 0x0000000080000001, 0x8000000080008008,
};

// Rotation of lane x + 5*y in rho.
constexpr int kRho[kLanes] = {0,  1,  62, 28, 27, 36, 44, 6,  55, 20, 3,  10, 43,
                              25, 39, 41, 45, 15, 21, 8,  18, 2,  61, 56, 14};

// Where pi moves lane x + 5*y: to (y, 2x + 3y).
constexpr std::size_t kPiTarget[kLanes] = {0,  10, 20, 5, 15, 16, 1,  11, 21, 6, 7,  17, 2,
                                           12, 22, 23, 8, 18, 3,  13, 14, 24, 9, 19, 4};

template <int N>
MLKEM768_AVX2_TARGET inline __m256i rotl(__m256i v) noexcept {
  if constexpr (N == 0) {
    return v;
  } else if constexpr (N == 8) {
    const __m256i bytes_up_one =
        _mm256_setr_epi8(7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13, 14, 7, 0, 1, 2, 3, 4, 5,
                         6, 15, 8, 9, 10, 11, 12, 13, 14);
    return _mm256_shuffle_epi8(v, bytes_up_one);
  } else if constexpr (N == 56) {
    const __m256i bytes_down_one =
        _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8, 1, 2, 3, 4, 5, 6, 7,
                         0, 9, 10, 11, 12, 13, 14, 15, 8);
    return _mm256_shuffle_epi8(v, bytes_down_one);
  } else {
    return _mm256_or_si256(_mm256_slli_epi64(v, N), _mm256_srli_epi64(v, 64 - N));
  }
}

template <std::size_t... I>
MLKEM768_AVX2_TARGET inline void rho_pi(const __m256i (&a)[kLanes], __m256i (&b)[kLanes],
                                        std::index_sequence<I...>) noexcept {
  ((b[kPiTarget[I]] = rotl<kRho[I]>(a[I])), ...);
}

MLKEM768_AVX2_TARGET inline void theta(__m256i (&a)[kLanes]) noexcept {
  __m256i c[5];
#pragma GCC unroll 5
  for (std::size_t x = 0; x < 5; ++x) {
    c[x] = _mm256_xor_si256(_mm256_xor_si256(a[x], a[x + 5]),
                            _mm256_xor_si256(_mm256_xor_si256(a[x + 10], a[x + 15]), a[x + 20]));
  }
#pragma GCC unroll 5
  for (std::size_t x = 0; x < 5; ++x) {
    const __m256i d = _mm256_xor_si256(c[(x + 4) % 5], rotl<1>(c[(x + 1) % 5]));
#pragma GCC unroll 5
    for (std::size_t y = 0; y < 25; y += 5) a[x + y] = _mm256_xor_si256(a[x + y], d);
  }
}

MLKEM768_AVX2_TARGET inline void chi(const __m256i (&b)[kLanes], __m256i (&a)[kLanes]) noexcept {
#pragma GCC unroll 5
  for (std::size_t y = 0; y < 25; y += 5) {
#pragma GCC unroll 5
    for (std::size_t x = 0; x < 5; ++x) {
      // andnot(p, q) is ~p & q.
      a[x + y] =
          _mm256_xor_si256(b[x + y], _mm256_andnot_si256(b[(x + 1) % 5 + y], b[(x + 2) % 5 + y]));
    }
  }
}

MLKEM768_AVX2_TARGET void permute(__m256i (&a)[kLanes]) noexcept {
  __m256i b[kLanes];
  for (std::size_t round = 0; round < kRounds; ++round) {
    theta(a);
    rho_pi(a, b, std::make_index_sequence<kLanes>{});
    chi(b, a);
    a[0] =
        _mm256_xor_si256(a[0], _mm256_set1_epi64x(static_cast<long long>(kRoundConstants[round])));
  }
}

std::uint64_t load_le64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Byte j of the rate part of state k, in the lane-interleaved layout.
std::uint8_t& state_byte(Keccak4x& state, std::size_t k, std::size_t j) noexcept {
  return reinterpret_cast<std::uint8_t*>(&state.lanes[j / 8][k])[j % 8];
}

MLKEM768_AVX2_TARGET void absorb_once(Keccak4x& state, std::size_t rate,
                                      const std::uint8_t* const (&in)[4],
                                      std::size_t len) noexcept {
  std::memset(&state, 0, sizeof state);
  const std::uint8_t* p[4] = {in[0], in[1], in[2], in[3]};
  while (len >= rate) {
    for (std::size_t i = 0; i < rate / 8; ++i) {
      for (std::size_t k = 0; k < 4; ++k) state.lanes[i][k] ^= load_le64(p[k] + 8 * i);
    }
    keccak4x_f1600(state);
    for (auto& pk : p) pk += rate;
    len -= rate;
  }
  // The tail goes straight into the state, so no copy of a secret seed is left behind.
  for (std::size_t k = 0; k < 4; ++k) {
    for (std::size_t j = 0; j < len; ++j) state_byte(state, k, j) ^= p[k][j];
    state_byte(state, k, len) ^= kShakeDomainPad;
    state_byte(state, k, rate - 1) ^= 0x80;
  }
}

// Lanes i..i+3 of each state to its output: a 4x4 transpose of 64-bit elements.
MLKEM768_AVX2_TARGET inline void store_four_lanes(const Keccak4x& state, std::size_t i,
                                                  std::uint8_t* const (&out)[4]) noexcept {
  const auto* lanes = reinterpret_cast<const __m256i*>(state.lanes);
  const __m256i v0 = _mm256_load_si256(lanes + i);
  const __m256i v1 = _mm256_load_si256(lanes + i + 1);
  const __m256i v2 = _mm256_load_si256(lanes + i + 2);
  const __m256i v3 = _mm256_load_si256(lanes + i + 3);
  const __m256i even01 = _mm256_unpacklo_epi64(v0, v1);  // states 0 and 2
  const __m256i odd01 = _mm256_unpackhi_epi64(v0, v1);   // states 1 and 3
  const __m256i even23 = _mm256_unpacklo_epi64(v2, v3);
  const __m256i odd23 = _mm256_unpackhi_epi64(v2, v3);
  const __m256i per_state[4] = {_mm256_permute2x128_si256(even01, even23, 0x20),
                                _mm256_permute2x128_si256(odd01, odd23, 0x20),
                                _mm256_permute2x128_si256(even01, even23, 0x31),
                                _mm256_permute2x128_si256(odd01, odd23, 0x31)};
  for (std::size_t k = 0; k < 4; ++k) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[k] + 8 * i), per_state[k]);
  }
}

MLKEM768_AVX2_TARGET void squeeze_blocks(Keccak4x& state, std::size_t rate,
                                         std::uint8_t* const (&out)[4],
                                         std::size_t nblocks) noexcept {
  std::uint8_t* p[4] = {out[0], out[1], out[2], out[3]};
  for (std::size_t block = 0; block < nblocks; ++block) {
    keccak4x_f1600(state);
    std::size_t i = 0;
    for (; i + 4 <= rate / 8; i += 4) store_four_lanes(state, i, p);
    for (; i < rate / 8; ++i) {
      for (std::size_t k = 0; k < 4; ++k) std::memcpy(p[k] + 8 * i, &state.lanes[i][k], 8);
    }
    for (auto& pk : p) pk += rate;
  }
}

}  // namespace

MLKEM768_AVX2_TARGET void keccak4x_f1600(Keccak4x& state) noexcept {
  __m256i a[kLanes];
  for (std::size_t i = 0; i < kLanes; ++i) {
    a[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(state.lanes[i]));
  }
  permute(a);
  for (std::size_t i = 0; i < kLanes; ++i) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(state.lanes[i]), a[i]);
  }
}

MLKEM768_AVX2_TARGET void shake128x4_absorb_once(Keccak4x& state, const std::uint8_t* in0,
                                                 const std::uint8_t* in1, const std::uint8_t* in2,
                                                 const std::uint8_t* in3,
                                                 std::size_t len) noexcept {
  absorb_once(state, kShake128BlockBytes, {in0, in1, in2, in3}, len);
}

MLKEM768_AVX2_TARGET void shake128x4_squeeze_blocks(Keccak4x& state, std::uint8_t* out0,
                                                    std::uint8_t* out1, std::uint8_t* out2,
                                                    std::uint8_t* out3,
                                                    std::size_t nblocks) noexcept {
  squeeze_blocks(state, kShake128BlockBytes, {out0, out1, out2, out3}, nblocks);
}

MLKEM768_AVX2_TARGET void shake256x4_absorb_once(Keccak4x& state, const std::uint8_t* in0,
                                                 const std::uint8_t* in1, const std::uint8_t* in2,
                                                 const std::uint8_t* in3,
                                                 std::size_t len) noexcept {
  absorb_once(state, kShake256BlockBytes, {in0, in1, in2, in3}, len);
}

MLKEM768_AVX2_TARGET void shake256x4_squeeze_blocks(Keccak4x& state, std::uint8_t* out0,
                                                    std::uint8_t* out1, std::uint8_t* out2,
                                                    std::uint8_t* out3,
                                                    std::size_t nblocks) noexcept {
  squeeze_blocks(state, kShake256BlockBytes, {out0, out1, out2, out3}, nblocks);
}

}  // namespace mlkem768::detail::avx2
