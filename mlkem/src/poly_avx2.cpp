// The arithmetic of the AVX2 backend: 16 coefficients per vector, the portable backend's
// formulas lane by lane, so that every function returns the portable function's exact values.
#include "poly_avx2.hpp"

#include <immintrin.h>

#include <array>
#include <cstring>

#include "zetas.hpp"

namespace mlkem768::detail {
namespace {

// A vector's worth of int16 constants, laid out as a table so it loads in one instruction.
struct alignas(32) Lanes16 {
  std::int16_t v[16];
};

struct alignas(32) Lanes8 {
  std::uint8_t v[32];
};

struct alignas(32) Lanes32 {
  std::int32_t v[8];
};

// Zetas of the three layers that work inside a vector, for one pair of vectors (32
// coefficients) and its twin for zeta * q^-1. The lane order is the one the shuffles below
// bring the butterfly operands into.
struct SmallLayerZetas {
  Lanes16 len8, len8_qinv, len4, len4_qinv, len2, len2_qinv;
};

constexpr Lanes16 broadcast_runs(int first, int run, bool inverse) {
  Lanes16 out{};
  for (int lane = 0; lane < 16; ++lane) {
    const int k = first + lane / run;
    out.v[lane] = kZetas[inverse ? 127 - k : k];
  }
  return out;
}

constexpr Lanes16 with_qinv(const Lanes16& z) {
  Lanes16 out{};
  for (int lane = 0; lane < 16; ++lane) out.v[lane] = times_qinv(z.v[lane]);
  return out;
}

// Forward: the 16-blocks 2m, 2m+1 of layer len 8 take zetas 16+2m, 17+2m; the 8-blocks of
// layer 4 zetas 32+4m onwards; the 4-blocks of layer 2 zetas 64+8m onwards. The inverse walks
// the zetas downwards: 31-2m, 63-4m and 127-8m onwards, written as 127 - k.
constexpr std::array<SmallLayerZetas, 8> small_layer_zetas(bool inverse) {
  std::array<SmallLayerZetas, 8> out{};
  for (int m = 0; m < 8; ++m) {
    auto& z = out[static_cast<std::size_t>(m)];
    z.len8 = broadcast_runs(inverse ? 96 + 2 * m : 16 + 2 * m, 8, inverse);
    z.len4 = broadcast_runs(inverse ? 64 + 4 * m : 32 + 4 * m, 4, inverse);
    z.len2 = broadcast_runs(inverse ? 8 * m : 64 + 8 * m, 2, inverse);
    z.len8_qinv = with_qinv(z.len8);
    z.len4_qinv = with_qinv(z.len4);
    z.len2_qinv = with_qinv(z.len2);
  }
  return out;
}

constexpr auto kForwardZetas = small_layer_zetas(false);
constexpr auto kInverseZetas = small_layer_zetas(true);

// Cache lane l of group g (pairs 16g + l): gamma = +zeta_{64+i} for pair 2i, -zeta for 2i+1.
struct GammaLanes {
  Lanes16 gamma, gamma_qinv;
};

constexpr std::array<GammaLanes, 8> gamma_lanes() {
  std::array<GammaLanes, 8> out{};
  for (int g = 0; g < 8; ++g) {
    auto& t = out[static_cast<std::size_t>(g)];
    for (int l = 0; l < 16; ++l) {
      const int pair = 16 * g + l;
      const std::int16_t zeta = kZetas[64 + pair / 2];
      t.gamma.v[l] = pair % 2 == 0 ? zeta : static_cast<std::int16_t>(-zeta);
    }
    t.gamma_qinv = with_qinv(t.gamma);
  }
  return out;
}

constexpr auto kGammas = gamma_lanes();

// Bytes 3p..3p+2 of a 128-bit lane hold coefficients 2p, 2p+1: each 16-bit lane gets the two
// bytes its 12 bits straddle.
constexpr Lanes8 kUnpack12 = {{0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11,
                               0, 1, 1, 2, 3, 4, 4, 5, 6, 7, 7, 8, 9, 10, 10, 11}};
// The inverse: three bytes out of each 32-bit lane.
constexpr Lanes8 kPack12 = {{0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 255, 255, 255, 255,
                             0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 255, 255, 255, 255}};
constexpr Lanes32 kSpread12 = {{0, 1, 2, 2, 3, 4, 5, 5}};
constexpr Lanes32 kSpread12Last = {{2, 3, 4, 4, 5, 6, 7, 7}};
constexpr Lanes32 kJoin12 = {{0, 1, 2, 4, 5, 6, 7, 7}};
// Ten bits per value: lane j takes bytes 10j/8 and the next.
constexpr Lanes8 kUnpack10 = {{0, 1, 1, 2, 2, 3, 3, 4, 5, 6, 6, 7, 7, 8, 8, 9,
                               0, 1, 1, 2, 2, 3, 3, 4, 5, 6, 6, 7, 7, 8, 8, 9}};
constexpr Lanes16 kShift10 = {{64, 16, 4, 1, 64, 16, 4, 1, 64, 16, 4, 1, 64, 16, 4, 1}};
constexpr Lanes8 kPack10 = {{0, 1, 2, 3, 4, 8, 9, 10, 11, 12, 255, 255, 255, 255, 255, 255,
                             0, 1, 2, 3, 4, 8, 9, 10, 11, 12, 255, 255, 255, 255, 255, 255}};
constexpr Lanes32 kInterleaveDwords = {{0, 4, 1, 5, 2, 6, 3, 7}};
constexpr Lanes16 kLaneBits = {{1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192,
                                16384, static_cast<std::int16_t>(-32768)}};
// Swaps the two 16-bit halves of every 32-bit lane.
constexpr Lanes8 kSwapPairs = {{2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13}};

template <class T>
MLKEM768_AVX2_TARGET inline __m256i load(const T& table) noexcept {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(&table));
}

MLKEM768_AVX2_TARGET inline __m256i set16(int x) noexcept {
  return _mm256_set1_epi16(static_cast<short>(x));
}

MLKEM768_AVX2_TARGET inline __m256i* vec(poly& p) noexcept {
  return reinterpret_cast<__m256i*>(p.coeffs);
}

MLKEM768_AVX2_TARGET inline const __m256i* vec(const poly& p) noexcept {
  return reinterpret_cast<const __m256i*>(p.coeffs);
}

// a * z * R^-1 with zq = z * q^-1: Portable's fqmul lane by lane.
MLKEM768_AVX2_TARGET inline __m256i fqmul(__m256i a, __m256i z, __m256i zq) noexcept {
  const __m256i t = _mm256_mullo_epi16(a, zq);
  return _mm256_sub_epi16(_mm256_mulhi_epi16(a, z), _mm256_mulhi_epi16(t, set16(kQ)));
}

// Portable's barrett_reduce; mulhrs by 32 is the rounding shift (t + 2^9) >> 10.
MLKEM768_AVX2_TARGET inline __m256i barrett(__m256i a) noexcept {
  __m256i t = _mm256_mulhi_epi16(a, set16(kBarrettV));
  t = _mm256_mulhrs_epi16(t, set16(32));
  return _mm256_sub_epi16(a, _mm256_mullo_epi16(t, set16(kQ)));
}

MLKEM768_AVX2_TARGET inline __m256i canonical(__m256i a) noexcept {
  const __m256i r = barrett(a);
  return _mm256_add_epi16(r, _mm256_and_si256(_mm256_srai_epi16(r, 15), set16(kQ)));
}

MLKEM768_AVX2_TARGET inline void butterfly(__m256i& a, __m256i& b, __m256i z, __m256i zq) noexcept {
  const __m256i t = fqmul(b, z, zq);
  b = _mm256_sub_epi16(a, t);
  a = _mm256_add_epi16(a, t);
}

template <bool Reduce>
MLKEM768_AVX2_TARGET inline void inv_butterfly(__m256i& a, __m256i& b, __m256i z,
                                               __m256i zq) noexcept {
  const __m256i sum = _mm256_add_epi16(a, b);
  b = fqmul(_mm256_sub_epi16(b, a), z, zq);
  a = Reduce ? barrett(sum) : sum;
}

MLKEM768_AVX2_TARGET inline void butterfly(__m256i& a, __m256i& b, std::int16_t zeta) noexcept {
  butterfly(a, b, set16(zeta), set16(times_qinv(zeta)));
}

template <bool Reduce>
MLKEM768_AVX2_TARGET inline void inv_butterfly(__m256i& a, __m256i& b, std::int16_t zeta) noexcept {
  inv_butterfly<Reduce>(a, b, set16(zeta), set16(times_qinv(zeta)));
}

// Three involutions on a pair of vectors. With p = coefficients 0..15 and q = 16..31 of a
// 32-block, swap128 gives (0-7 16-23, 8-15 24-31), partners at distance 8; swap64 then gives
// 4-blocks (0-3 8-11 ..., 4-7 12-15 ...), partners at distance 4; swap32 then gives 2-blocks
// (0-1 4-5 ..., 2-3 6-7 ...), partners at distance 2. Applied in reverse they restore the
// natural order.
MLKEM768_AVX2_TARGET inline void swap128(__m256i& a, __m256i& b) noexcept {
  const __m256i lo = _mm256_permute2x128_si256(a, b, 0x20);
  b = _mm256_permute2x128_si256(a, b, 0x31);
  a = lo;
}

MLKEM768_AVX2_TARGET inline void swap64(__m256i& a, __m256i& b) noexcept {
  const __m256i lo = _mm256_unpacklo_epi64(a, b);
  b = _mm256_unpackhi_epi64(a, b);
  a = lo;
}

MLKEM768_AVX2_TARGET inline void swap32(__m256i& a, __m256i& b) noexcept {
  const __m256i lo = _mm256_blend_epi32(a, _mm256_slli_epi64(b, 32), 0xAA);
  b = _mm256_blend_epi32(_mm256_srli_epi64(a, 32), b, 0xAA);
  a = lo;
}

// Layers len 8, 4, 2 of the forward NTT on the 32-block m, then the final reduction.
MLKEM768_AVX2_TARGET inline void ntt_small_layers(__m256i& p, __m256i& q,
                                                  const SmallLayerZetas& z) noexcept {
  swap128(p, q);
  butterfly(p, q, load(z.len8), load(z.len8_qinv));
  swap64(p, q);
  butterfly(p, q, load(z.len4), load(z.len4_qinv));
  swap32(p, q);
  butterfly(p, q, load(z.len2), load(z.len2_qinv));
  p = barrett(p);
  q = barrett(q);
  swap32(p, q);
  swap64(p, q);
  swap128(p, q);
}

MLKEM768_AVX2_TARGET inline void invntt_small_layers(__m256i& p, __m256i& q,
                                                     const SmallLayerZetas& z) noexcept {
  swap128(p, q);
  swap64(p, q);
  swap32(p, q);
  inv_butterfly<false>(p, q, load(z.len2), load(z.len2_qinv));
  swap32(p, q);
  inv_butterfly<false>(p, q, load(z.len4), load(z.len4_qinv));
  swap64(p, q);
  inv_butterfly<true>(p, q, load(z.len8), load(z.len8_qinv));
  swap128(p, q);
}

// Compress_D of canonical lanes with Portable's 32-bit formula (x * m + c) >> s.
template <std::uint32_t M, std::uint32_t C, int S, int D>
MLKEM768_AVX2_TARGET inline __m256i compress(__m256i x) noexcept {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i m = _mm256_set1_epi32(static_cast<int>(M));
  const __m256i c = _mm256_set1_epi32(static_cast<int>(C));
  __m256i lo = _mm256_unpacklo_epi16(x, zero);
  __m256i hi = _mm256_unpackhi_epi16(x, zero);
  lo = _mm256_srli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(lo, m), c), S);
  hi = _mm256_srli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(hi, m), c), S);
  return _mm256_and_si256(_mm256_packus_epi32(lo, hi), set16((1 << D) - 1));
}

}  // namespace

MLKEM768_AVX2_TARGET void Avx2::ntt(poly& p) noexcept {
  __m256i* v = vec(p);
  for (int i = 0; i < 4; ++i) {
    __m256i a0 = _mm256_load_si256(v + i), a1 = _mm256_load_si256(v + i + 4);
    __m256i a2 = _mm256_load_si256(v + i + 8), a3 = _mm256_load_si256(v + i + 12);
    butterfly(a0, a2, kZetas[1]);
    butterfly(a1, a3, kZetas[1]);
    butterfly(a0, a1, kZetas[2]);
    butterfly(a2, a3, kZetas[3]);
    _mm256_store_si256(v + i, a0);
    _mm256_store_si256(v + i + 4, a1);
    _mm256_store_si256(v + i + 8, a2);
    _mm256_store_si256(v + i + 12, a3);
  }
  for (int m = 0; m < 4; ++m) {
    __m256i* w = v + 4 * m;
    __m256i a0 = _mm256_load_si256(w), a1 = _mm256_load_si256(w + 1);
    __m256i a2 = _mm256_load_si256(w + 2), a3 = _mm256_load_si256(w + 3);
    butterfly(a0, a2, kZetas[4 + m]);
    butterfly(a1, a3, kZetas[4 + m]);
    butterfly(a0, a1, kZetas[8 + 2 * m]);
    butterfly(a2, a3, kZetas[9 + 2 * m]);
    ntt_small_layers(a0, a1, kForwardZetas[static_cast<std::size_t>(2 * m)]);
    ntt_small_layers(a2, a3, kForwardZetas[static_cast<std::size_t>(2 * m + 1)]);
    _mm256_store_si256(w, a0);
    _mm256_store_si256(w + 1, a1);
    _mm256_store_si256(w + 2, a2);
    _mm256_store_si256(w + 3, a3);
  }
}

MLKEM768_AVX2_TARGET void Avx2::invntt(poly& p) noexcept {
  __m256i* v = vec(p);
  for (int m = 0; m < 4; ++m) {
    __m256i* w = v + 4 * m;
    __m256i a0 = _mm256_load_si256(w), a1 = _mm256_load_si256(w + 1);
    __m256i a2 = _mm256_load_si256(w + 2), a3 = _mm256_load_si256(w + 3);
    invntt_small_layers(a0, a1, kInverseZetas[static_cast<std::size_t>(2 * m)]);
    invntt_small_layers(a2, a3, kInverseZetas[static_cast<std::size_t>(2 * m + 1)]);
    inv_butterfly<false>(a0, a1, kZetas[15 - 2 * m]);
    inv_butterfly<false>(a2, a3, kZetas[14 - 2 * m]);
    inv_butterfly<false>(a0, a2, kZetas[7 - m]);
    inv_butterfly<false>(a1, a3, kZetas[7 - m]);
    _mm256_store_si256(w, a0);
    _mm256_store_si256(w + 1, a1);
    _mm256_store_si256(w + 2, a2);
    _mm256_store_si256(w + 3, a3);
  }
  const __m256i scale = set16(kInvNttScale), scale_qinv = set16(times_qinv(kInvNttScale));
  for (int i = 0; i < 4; ++i) {
    __m256i a0 = _mm256_load_si256(v + i), a1 = _mm256_load_si256(v + i + 4);
    __m256i a2 = _mm256_load_si256(v + i + 8), a3 = _mm256_load_si256(v + i + 12);
    inv_butterfly<true>(a0, a1, kZetas[3]);
    inv_butterfly<true>(a2, a3, kZetas[2]);
    inv_butterfly<false>(a0, a2, kZetas[1]);
    inv_butterfly<false>(a1, a3, kZetas[1]);
    _mm256_store_si256(v + i, fqmul(a0, scale, scale_qinv));
    _mm256_store_si256(v + i + 4, fqmul(a1, scale, scale_qinv));
    _mm256_store_si256(v + i + 8, fqmul(a2, scale, scale_qinv));
    _mm256_store_si256(v + i + 12, fqmul(a3, scale, scale_qinv));
  }
}

MLKEM768_AVX2_TARGET void Avx2::mulcache(poly_mulcache& cache, const poly& b) noexcept {
  const __m256i* v = vec(b);
  auto* out = reinterpret_cast<__m256i*>(cache.coeffs);
  for (std::size_t g = 0; g < 8; ++g) {
    const __m256i odd0 = _mm256_srli_epi32(_mm256_load_si256(v + 2 * g), 16);
    const __m256i odd1 = _mm256_srli_epi32(_mm256_load_si256(v + 2 * g + 1), 16);
    const __m256i odd = _mm256_permute4x64_epi64(_mm256_packus_epi32(odd0, odd1), 0xD8);
    _mm256_store_si256(out + g, fqmul(odd, load(kGammas[g].gamma), load(kGammas[g].gamma_qinv)));
  }
}

// Pairs stay interleaved: madd of (a0, a1) with (b0, gamma*b1) is the even product, with
// (b1, b0) the odd one, both summed in 32 bits over the vector as Portable does. The two sums
// then meet again in 16-bit lanes for one Montgomery reduction, hi(x) - hi(t * q).
MLKEM768_AVX2_TARGET void Avx2::basemul_acc(poly& r, const poly a[kK], const poly b[kK],
                                            const poly_mulcache cache[kK]) noexcept {
  const __m256i swap_pairs = load(kSwapPairs);
  for (int i = 0; i < kN / 16; ++i) {
    __m256i even = _mm256_setzero_si256(), odd = _mm256_setzero_si256();
    for (std::size_t k = 0; k < kK; ++k) {
      const __m256i av = _mm256_load_si256(vec(a[k]) + i);
      const __m256i bv = _mm256_load_si256(vec(b[k]) + i);
      const __m256i c = _mm256_cvtepu16_epi32(
          _mm_load_si128(reinterpret_cast<const __m128i*>(cache[k].coeffs + 8 * i)));
      const __m256i b_gamma = _mm256_blend_epi16(bv, _mm256_slli_epi32(c, 16), 0xAA);
      even = _mm256_add_epi32(even, _mm256_madd_epi16(av, b_gamma));
      odd = _mm256_add_epi32(odd, _mm256_madd_epi16(av, _mm256_shuffle_epi8(bv, swap_pairs)));
    }
    const __m256i lo = _mm256_blend_epi16(even, _mm256_slli_epi32(odd, 16), 0xAA);
    const __m256i hi = _mm256_blend_epi16(_mm256_srli_epi32(even, 16), odd, 0xAA);
    const __m256i t = _mm256_mullo_epi16(lo, set16(kQinv));
    _mm256_store_si256(vec(r) + i, _mm256_sub_epi16(hi, _mm256_mulhi_epi16(t, set16(kQ))));
  }
}

MLKEM768_AVX2_TARGET void Avx2::tomont(poly& p) noexcept {
  const __m256i f = set16(kMont2), fq = set16(times_qinv(kMont2));
  for (int i = 0; i < kN / 16; ++i) {
    _mm256_store_si256(vec(p) + i, fqmul(_mm256_load_si256(vec(p) + i), f, fq));
  }
}

MLKEM768_AVX2_TARGET void Avx2::add(poly& r, const poly& a, const poly& b) noexcept {
  for (int i = 0; i < kN / 16; ++i) {
    _mm256_store_si256(
        vec(r) + i, _mm256_add_epi16(_mm256_load_si256(vec(a) + i), _mm256_load_si256(vec(b) + i)));
  }
}

MLKEM768_AVX2_TARGET void Avx2::sub(poly& r, const poly& a, const poly& b) noexcept {
  for (int i = 0; i < kN / 16; ++i) {
    _mm256_store_si256(
        vec(r) + i, _mm256_sub_epi16(_mm256_load_si256(vec(a) + i), _mm256_load_si256(vec(b) + i)));
  }
}

// 16 coefficients make 24 bytes: pairs join in 32-bit lanes (madd by 1 and 2^12), three
// bytes of each are kept. Each store writes 32 bytes, the next one overwrites the surplus;
// the last one stores exactly.
MLKEM768_AVX2_TARGET void Avx2::tobytes(std::uint8_t out[kPolyBytes], const poly& p) noexcept {
  const __m256i join = _mm256_set1_epi32(1 | (1 << 28));
  for (int i = 0; i < kN / 16; ++i) {
    const __m256i x = canonical(_mm256_load_si256(vec(p) + i));
    __m256i w = _mm256_madd_epi16(x, join);
    w = _mm256_shuffle_epi8(w, load(kPack12));
    w = _mm256_permutevar8x32_epi32(w, load(kJoin12));
    std::uint8_t* dst = out + 24 * i;
    if (i + 1 < kN / 16) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), w);
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(w));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 16), _mm256_extracti128_si256(w, 1));
    }
  }
}

MLKEM768_AVX2_TARGET void Avx2::frombytes(poly& p, const std::uint8_t in[kPolyBytes]) noexcept {
  const __m256i low12 = set16(0x0FFF), q = set16(kQ);
  for (int i = 0; i < kN / 16; ++i) {
    // The last 24 bytes are read as the tail of the final 32, so nothing past the end is read.
    const bool last = i + 1 == kN / 16;
    const std::uint8_t* src = last ? in + kPolyBytes - 32 : in + 24 * i;
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    x = _mm256_permutevar8x32_epi32(x, last ? load(kSpread12Last) : load(kSpread12));
    x = _mm256_shuffle_epi8(x, load(kUnpack12));
    const __m256i t = _mm256_blend_epi16(_mm256_and_si256(x, low12), _mm256_srli_epi16(x, 4), 0xAA);
    // One conditional subtraction, as an unsigned minimum.
    _mm256_store_si256(vec(p) + i, _mm256_min_epu16(t, _mm256_sub_epi16(t, q)));
  }
}

// 16 values of 10 bits make 20 bytes: pairs join in 32-bit lanes, pairs of those in 64-bit
// lanes (the low one moved up 12 bits, then the lane down 12), five bytes of each kept.
MLKEM768_AVX2_TARGET void Avx2::compress_du(std::uint8_t out[kPolyCompressedDuBytes],
                                            const poly& p) noexcept {
  const __m256i join = _mm256_set1_epi32(1 | (1 << 26));
  const __m256i shift = _mm256_set1_epi64x(12);
  for (int i = 0; i < kN / 16; ++i) {
    const __m256i y = compress<322542, 524000, 20, kDu>(canonical(_mm256_load_si256(vec(p) + i)));
    __m256i w = _mm256_madd_epi16(y, join);
    w = _mm256_srli_epi64(_mm256_sllv_epi32(w, shift), 12);
    w = _mm256_shuffle_epi8(w, load(kPack10));
    const __m128i lo = _mm256_castsi256_si128(w), hi = _mm256_extracti128_si256(w, 1);
    std::uint8_t* dst = out + 20 * i;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), lo);
    if (i + 1 < kN / 16) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 10), hi);
    } else {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 10), hi);
      const auto tail = static_cast<std::uint16_t>(_mm_extract_epi16(hi, 4));
      std::memcpy(dst + 18, &tail, 2);
    }
  }
}

MLKEM768_AVX2_TARGET void Avx2::decompress_du(
    poly& p, const std::uint8_t in[kPolyCompressedDuBytes]) noexcept {
  // The last group's upper half would read past the end; it is read from a copy.
  std::uint8_t last[32] = {};
  std::memcpy(last, in + 20 * (kN / 16 - 1), 20);
  for (int i = 0; i < kN / 16; ++i) {
    const std::uint8_t* src = i + 1 < kN / 16 ? in + 20 * i : last;
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 10));
    __m256i x = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
    x = _mm256_shuffle_epi8(x, load(kUnpack10));
    // Moves each value's 10 bits to the top, then down to bit 5: y * 32.
    x = _mm256_mullo_epi16(x, load(kShift10));
    x = _mm256_and_si256(_mm256_srli_epi16(x, 1), set16(0x7FE0));
    // (y * 32 * q + 2^14) >> 15 = (y * q + 2^9) >> 10.
    _mm256_store_si256(vec(p) + i, _mm256_mulhrs_epi16(x, set16(kQ)));
  }
}

// Four vectors of nibbles make 32 bytes: bytes by packing, nibble pairs by maddubs, bytes again,
// then the 4-byte runs put back in order.
MLKEM768_AVX2_TARGET void Avx2::compress_dv(std::uint8_t out[kPolyCompressedDvBytes],
                                            const poly& p) noexcept {
  const __m256i join = set16(1 | (16 << 8));
  for (int g = 0; g < kN / 64; ++g) {
    __m256i y[4];
    for (int j = 0; j < 4; ++j) {
      y[j] = compress<322538, 33560000, 26, kDv>(canonical(_mm256_load_si256(vec(p) + 4 * g + j)));
    }
    const __m256i ab = _mm256_maddubs_epi16(_mm256_packus_epi16(y[0], y[1]), join);
    const __m256i cd = _mm256_maddubs_epi16(_mm256_packus_epi16(y[2], y[3]), join);
    const __m256i bytes =
        _mm256_permutevar8x32_epi32(_mm256_packus_epi16(ab, cd), load(kInterleaveDwords));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * g), bytes);
  }
}

MLKEM768_AVX2_TARGET void Avx2::decompress_dv(
    poly& p, const std::uint8_t in[kPolyCompressedDvBytes]) noexcept {
  const __m128i nibble = _mm_set1_epi8(0x0F);
  for (int i = 0; i < kN / 16; ++i) {
    const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 8 * i));
    const __m128i lo = _mm_and_si128(b, nibble);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(b, 4), nibble);
    const __m256i y = _mm256_cvtepu8_epi16(_mm_unpacklo_epi8(lo, hi));
    // (y * 2^11 * q + 2^14) >> 15 = (y * q + 8) >> 4.
    _mm256_store_si256(vec(p) + i, _mm256_mulhrs_epi16(_mm256_slli_epi16(y, 11), set16(kQ)));
  }
}

MLKEM768_AVX2_TARGET void Avx2::frommsg(poly& p, const std::uint8_t msg[kSymBytes]) noexcept {
  const __m256i bits = load(kLaneBits);
  for (int i = 0; i < kN / 16; ++i) {
    std::uint16_t word;
    std::memcpy(&word, msg + 2 * i, 2);
    const __m256i set = _mm256_cmpeq_epi16(_mm256_and_si256(set16(word), bits), bits);
    _mm256_store_si256(vec(p) + i, _mm256_and_si256(set, set16((kQ + 1) / 2)));
  }
}

// Compress_1 of a canonical x is 1 exactly for 833 <= x <= 2496; the sign bits of the masks are
// gathered with movemask.
MLKEM768_AVX2_TARGET void Avx2::tomsg(std::uint8_t msg[kSymBytes], const poly& p) noexcept {
  const __m256i low = set16(832), high = set16(2497);
  for (int g = 0; g < kN / 32; ++g) {
    __m256i m[2];
    for (int j = 0; j < 2; ++j) {
      const __m256i x = canonical(_mm256_load_si256(vec(p) + 2 * g + j));
      m[j] = _mm256_and_si256(_mm256_cmpgt_epi16(x, low), _mm256_cmpgt_epi16(high, x));
    }
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packs_epi16(m[0], m[1]), 0xD8);
    const auto word = static_cast<std::uint32_t>(_mm256_movemask_epi8(bytes));
    std::memcpy(msg + 4 * g, &word, 4);
  }
}

// 32 bytes make 64 coefficients: the bit pairs are summed in place, each nibble's two sums
// subtracted as bytes, the even and odd coefficients interleaved and widened.
MLKEM768_AVX2_TARGET void Avx2::cbd_eta2(poly& p, const std::uint8_t buf[kNoiseBytes]) noexcept {
  const __m256i m55 = _mm256_set1_epi8(0x55), m03 = _mm256_set1_epi8(0x03);
  for (int g = 0; g < kN / 64; ++g) {
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + 32 * g));
    const __m256i s =
        _mm256_add_epi8(_mm256_and_si256(b, m55), _mm256_and_si256(_mm256_srli_epi16(b, 1), m55));
    const __m256i even =
        _mm256_sub_epi8(_mm256_and_si256(s, m03), _mm256_and_si256(_mm256_srli_epi16(s, 2), m03));
    const __m256i odd = _mm256_sub_epi8(_mm256_and_si256(_mm256_srli_epi16(s, 4), m03),
                                        _mm256_and_si256(_mm256_srli_epi16(s, 6), m03));
    const __m256i lo = _mm256_unpacklo_epi8(even, odd);  // bytes 0-7 | 16-23
    const __m256i hi = _mm256_unpackhi_epi8(even, odd);  // bytes 8-15 | 24-31
    __m256i* w = vec(p) + 4 * g;
    _mm256_store_si256(w, _mm256_cvtepi8_epi16(_mm256_castsi256_si128(lo)));
    _mm256_store_si256(w + 1, _mm256_cvtepi8_epi16(_mm256_castsi256_si128(hi)));
    _mm256_store_si256(w + 2, _mm256_cvtepi8_epi16(_mm256_extracti128_si256(lo, 1)));
    _mm256_store_si256(w + 3, _mm256_cvtepi8_epi16(_mm256_extracti128_si256(hi, 1)));
  }
}

}  // namespace mlkem768::detail
