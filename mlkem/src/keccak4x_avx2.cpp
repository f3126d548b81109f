#include "keccak4x_avx2.hpp"

#include <immintrin.h>

#include <bit>
#include <cstring>
#include <utility>

namespace mlkem768::detail::avx2 {

namespace {

static_assert(std::endian::native == std::endian::little, "lanes are kept in host byte order");
static_assert(sizeof(Keccak4x) == 25 * sizeof(__m256i));

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

MLKEM768_AVX2_TARGET inline __m256i round_constant(int round) noexcept {
  return _mm256_set1_epi64x(static_cast<long long>(kRoundConstants[round]));
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

// Two rounds per iteration, ping-ponging between the a and e lanes like the scalar code: per
// round theta's column parities c and offsets d, then per output row the rho-rotated,
// pi-permuted lanes b and chi, with iota on lane (0, 0). Only d and one row are live at a time,
// so the compiler keeps the working set in the 16 vector registers.
MLKEM768_AVX2_TARGET void keccak4x_f1600(Keccak4x& state) noexcept {
  auto* lanes = reinterpret_cast<__m256i*>(state.lanes);
  __m256i a00 = _mm256_load_si256(lanes + 0);
  __m256i a01 = _mm256_load_si256(lanes + 1);
  __m256i a02 = _mm256_load_si256(lanes + 2);
  __m256i a03 = _mm256_load_si256(lanes + 3);
  __m256i a04 = _mm256_load_si256(lanes + 4);
  __m256i a05 = _mm256_load_si256(lanes + 5);
  __m256i a06 = _mm256_load_si256(lanes + 6);
  __m256i a07 = _mm256_load_si256(lanes + 7);
  __m256i a08 = _mm256_load_si256(lanes + 8);
  __m256i a09 = _mm256_load_si256(lanes + 9);
  __m256i a10 = _mm256_load_si256(lanes + 10);
  __m256i a11 = _mm256_load_si256(lanes + 11);
  __m256i a12 = _mm256_load_si256(lanes + 12);
  __m256i a13 = _mm256_load_si256(lanes + 13);
  __m256i a14 = _mm256_load_si256(lanes + 14);
  __m256i a15 = _mm256_load_si256(lanes + 15);
  __m256i a16 = _mm256_load_si256(lanes + 16);
  __m256i a17 = _mm256_load_si256(lanes + 17);
  __m256i a18 = _mm256_load_si256(lanes + 18);
  __m256i a19 = _mm256_load_si256(lanes + 19);
  __m256i a20 = _mm256_load_si256(lanes + 20);
  __m256i a21 = _mm256_load_si256(lanes + 21);
  __m256i a22 = _mm256_load_si256(lanes + 22);
  __m256i a23 = _mm256_load_si256(lanes + 23);
  __m256i a24 = _mm256_load_si256(lanes + 24);
  __m256i e00, e01, e02, e03, e04, e05, e06, e07, e08, e09, e10, e11, e12;
  __m256i e13, e14, e15, e16, e17, e18, e19, e20, e21, e22, e23, e24;
  __m256i b0, b1, b2, b3, b4, c0, c1, c2, c3, c4, d0, d1, d2, d3, d4;

  for (int round = 0; round < static_cast<int>(kRounds); round += 2) {
    c0 = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(a00, a05), _mm256_xor_si256(a10, a15)),
                          a20);
    c1 = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(a01, a06), _mm256_xor_si256(a11, a16)),
                          a21);
    c2 = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(a02, a07), _mm256_xor_si256(a12, a17)),
                          a22);
    c3 = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(a03, a08), _mm256_xor_si256(a13, a18)),
                          a23);
    c4 = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(a04, a09), _mm256_xor_si256(a14, a19)),
                          a24);
    d0 = _mm256_xor_si256(c4, rotl<1>(c1));
    d1 = _mm256_xor_si256(c0, rotl<1>(c2));
    d2 = _mm256_xor_si256(c1, rotl<1>(c3));
    d3 = _mm256_xor_si256(c2, rotl<1>(c4));
    d4 = _mm256_xor_si256(c3, rotl<1>(c0));
    b0 = _mm256_xor_si256(a00, d0);
    b1 = rotl<44>(_mm256_xor_si256(a06, d1));
    b2 = rotl<43>(_mm256_xor_si256(a12, d2));
    b3 = rotl<21>(_mm256_xor_si256(a18, d3));
    b4 = rotl<14>(_mm256_xor_si256(a24, d4));
    e00 =
        _mm256_xor_si256(_mm256_xor_si256(b0, _mm256_andnot_si256(b1, b2)), round_constant(round));
    e01 = _mm256_xor_si256(b1, _mm256_andnot_si256(b2, b3));
    e02 = _mm256_xor_si256(b2, _mm256_andnot_si256(b3, b4));
    e03 = _mm256_xor_si256(b3, _mm256_andnot_si256(b4, b0));
    e04 = _mm256_xor_si256(b4, _mm256_andnot_si256(b0, b1));
    b0 = rotl<28>(_mm256_xor_si256(a03, d3));
    b1 = rotl<20>(_mm256_xor_si256(a09, d4));
    b2 = rotl<3>(_mm256_xor_si256(a10, d0));
    b3 = rotl<45>(_mm256_xor_si256(a16, d1));
    b4 = rotl<61>(_mm256_xor_si256(a22, d2));
    e05 = _mm256_xor_si256(b0, _mm256_andnot_si256(b1, b2));
    e06 = _mm256_xor_si256(b1, _mm256_andnot_si256(b2, b3));
    e07 = _mm256_xor_si256(b2, _mm256_andnot_si256(b3, b4));
    e08 = _mm256_xor_si256(b3, _mm256_andnot_si256(b4, b0));
    e09 = _mm256_xor_si256(b4, _mm256_andnot_si256(b0, b1));
    b0 = rotl<1>(_mm256_xor_si256(a01, d1));
    b1 = rotl<6>(_mm256_xor_si256(a07, d2));
    b2 = rotl<25>(_mm256_xor_si256(a13, d3));
    b3 = rotl<8>(_mm256_xor_si256(a19, d4));
    b4 = rotl<18>(_mm256_xor_si256(a20, d0));
    e10 = _mm256_xor_si256(b0, _mm256_andnot_si256(b1, b2));
    e11 = _mm256_xor_si256(b1, _mm256_andnot_si256(b2, b3));
    e12 = _mm256_xor_si256(b2, _mm256_andnot_si256(b3, b4));
    e13 = _mm256_xor_si256(b3, _mm256_andnot_si256(b4, b0));
    e14 = _mm256_xor_si256(b4, _mm256_andnot_si256(b0, b1));
    b0 = rotl<27>(_mm256_xor_si256(a04, d4));
    b1 = rotl<36>(_mm256_xor_si256(a05, d0));
    b2 = rotl<10>(_mm256_xor_si256(a11, d1));
    b3 = rotl<15>(_mm256_xor_si256(a17, d2));
    b4 = rotl<56>(_mm256_xor_si256(a23, d3));
    e15 = _mm256_xor_si256(b0, _mm256_andnot_si256(b1, b2));
    e16 = _mm256_xor_si256(b1, _mm256_andnot_si256(b2, b3));
    e17 = _mm256_xor_si256(b2, _mm256_andnot_si256(b3, b4));
    e18 = _mm256_xor_si256(b3, _mm256_andnot_si256(b4, b0));
    e19 = _mm256_xor_si256(b4, _mm256_andnot_si256(b0, b1));
    b0 = rotl<62>(_mm256_xor_si256(a02, d2));
    b1 = rotl<55>(_mm256_xor_si256(a08, d3));
    b2 = rotl<39>(_mm256_xor_si256(a14, d4));
    b3 = rotl<41>(_mm256_xor_si256(a15, d0));
    b4 = rotl<2>(_mm256_xor_si256(a21, d1));
    e20 = _mm256_xor_si256(b0, _mm256_andnot_si256(b1, b2));
    e21 = _mm256_xor_si256(b1, _mm256_andnot_si256(b2, b3));
    e22 = _mm256_xor_si256(b2, _mm256_andnot_si256(b3, b4));
    e23 = _mm256_xor_si256(b3, _mm256_andnot_si256(b4, b0));
    e24 = _mm256_xor_si256(b4, _mm256_andnot_si256(b0, b1));
    c0 = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(e00, e05), _mm256_xor_si256(e10, e15)),
                          e20);
    c1 = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(e01, e06), _mm256_xor_si256(e11, e16)),
                          e21);
    c2 = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(e02, e07), _mm256_xor_si256(e12, e17)),
                          e22);
    c3 = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(e03, e08), _mm256_xor_si256(e13, e18)),
                          e23);
    c4 = _mm256_xor_si256(_mm256_xor_si256(_mm256_xor_si256(e04, e09), _mm256_xor_si256(e14, e19)),
                          e24);
    d0 = _mm256_xor_si256(c4, rotl<1>(c1));
    d1 = _mm256_xor_si256(c0, rotl<1>(c2));
    d2 = _mm256_xor_si256(c1, rotl<1>(c3));
    d3 = _mm256_xor_si256(c2, rotl<1>(c4));
    d4 = _mm256_xor_si256(c3, rotl<1>(c0));
    b0 = _mm256_xor_si256(e00, d0);
    b1 = rotl<44>(_mm256_xor_si256(e06, d1));
    b2 = rotl<43>(_mm256_xor_si256(e12, d2));
    b3 = rotl<21>(_mm256_xor_si256(e18, d3));
    b4 = rotl<14>(_mm256_xor_si256(e24, d4));
    a00 = _mm256_xor_si256(_mm256_xor_si256(b0, _mm256_andnot_si256(b1, b2)),
                           round_constant(round + 1));
    a01 = _mm256_xor_si256(b1, _mm256_andnot_si256(b2, b3));
    a02 = _mm256_xor_si256(b2, _mm256_andnot_si256(b3, b4));
    a03 = _mm256_xor_si256(b3, _mm256_andnot_si256(b4, b0));
    a04 = _mm256_xor_si256(b4, _mm256_andnot_si256(b0, b1));
    b0 = rotl<28>(_mm256_xor_si256(e03, d3));
    b1 = rotl<20>(_mm256_xor_si256(e09, d4));
    b2 = rotl<3>(_mm256_xor_si256(e10, d0));
    b3 = rotl<45>(_mm256_xor_si256(e16, d1));
    b4 = rotl<61>(_mm256_xor_si256(e22, d2));
    a05 = _mm256_xor_si256(b0, _mm256_andnot_si256(b1, b2));
    a06 = _mm256_xor_si256(b1, _mm256_andnot_si256(b2, b3));
    a07 = _mm256_xor_si256(b2, _mm256_andnot_si256(b3, b4));
    a08 = _mm256_xor_si256(b3, _mm256_andnot_si256(b4, b0));
    a09 = _mm256_xor_si256(b4, _mm256_andnot_si256(b0, b1));
    b0 = rotl<1>(_mm256_xor_si256(e01, d1));
    b1 = rotl<6>(_mm256_xor_si256(e07, d2));
    b2 = rotl<25>(_mm256_xor_si256(e13, d3));
    b3 = rotl<8>(_mm256_xor_si256(e19, d4));
    b4 = rotl<18>(_mm256_xor_si256(e20, d0));
    a10 = _mm256_xor_si256(b0, _mm256_andnot_si256(b1, b2));
    a11 = _mm256_xor_si256(b1, _mm256_andnot_si256(b2, b3));
    a12 = _mm256_xor_si256(b2, _mm256_andnot_si256(b3, b4));
    a13 = _mm256_xor_si256(b3, _mm256_andnot_si256(b4, b0));
    a14 = _mm256_xor_si256(b4, _mm256_andnot_si256(b0, b1));
    b0 = rotl<27>(_mm256_xor_si256(e04, d4));
    b1 = rotl<36>(_mm256_xor_si256(e05, d0));
    b2 = rotl<10>(_mm256_xor_si256(e11, d1));
    b3 = rotl<15>(_mm256_xor_si256(e17, d2));
    b4 = rotl<56>(_mm256_xor_si256(e23, d3));
    a15 = _mm256_xor_si256(b0, _mm256_andnot_si256(b1, b2));
    a16 = _mm256_xor_si256(b1, _mm256_andnot_si256(b2, b3));
    a17 = _mm256_xor_si256(b2, _mm256_andnot_si256(b3, b4));
    a18 = _mm256_xor_si256(b3, _mm256_andnot_si256(b4, b0));
    a19 = _mm256_xor_si256(b4, _mm256_andnot_si256(b0, b1));
    b0 = rotl<62>(_mm256_xor_si256(e02, d2));
    b1 = rotl<55>(_mm256_xor_si256(e08, d3));
    b2 = rotl<39>(_mm256_xor_si256(e14, d4));
    b3 = rotl<41>(_mm256_xor_si256(e15, d0));
    b4 = rotl<2>(_mm256_xor_si256(e21, d1));
    a20 = _mm256_xor_si256(b0, _mm256_andnot_si256(b1, b2));
    a21 = _mm256_xor_si256(b1, _mm256_andnot_si256(b2, b3));
    a22 = _mm256_xor_si256(b2, _mm256_andnot_si256(b3, b4));
    a23 = _mm256_xor_si256(b3, _mm256_andnot_si256(b4, b0));
    a24 = _mm256_xor_si256(b4, _mm256_andnot_si256(b0, b1));
  }

  _mm256_store_si256(lanes + 0, a00);
  _mm256_store_si256(lanes + 1, a01);
  _mm256_store_si256(lanes + 2, a02);
  _mm256_store_si256(lanes + 3, a03);
  _mm256_store_si256(lanes + 4, a04);
  _mm256_store_si256(lanes + 5, a05);
  _mm256_store_si256(lanes + 6, a06);
  _mm256_store_si256(lanes + 7, a07);
  _mm256_store_si256(lanes + 8, a08);
  _mm256_store_si256(lanes + 9, a09);
  _mm256_store_si256(lanes + 10, a10);
  _mm256_store_si256(lanes + 11, a11);
  _mm256_store_si256(lanes + 12, a12);
  _mm256_store_si256(lanes + 13, a13);
  _mm256_store_si256(lanes + 14, a14);
  _mm256_store_si256(lanes + 15, a15);
  _mm256_store_si256(lanes + 16, a16);
  _mm256_store_si256(lanes + 17, a17);
  _mm256_store_si256(lanes + 18, a18);
  _mm256_store_si256(lanes + 19, a19);
  _mm256_store_si256(lanes + 20, a20);
  _mm256_store_si256(lanes + 21, a21);
  _mm256_store_si256(lanes + 22, a22);
  _mm256_store_si256(lanes + 23, a23);
  _mm256_store_si256(lanes + 24, a24);
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
