#include <cstring>

#include "ct.hpp"
#include "keccak.hpp"
#include "mlkem/sha3.hpp"
#include "poly.hpp"
#include "zetas.hpp"

namespace mlkem768::detail {
namespace {

// a * R^-1 mod q for |a| < q * 2^15; result |.| < q.
inline std::int16_t montgomery_reduce(std::int32_t a) noexcept {
  const auto t = static_cast<std::int16_t>(static_cast<std::int16_t>(a) * kQinv);
  return static_cast<std::int16_t>((a - std::int32_t{t} * kQ) >> 16);
}

inline std::int16_t mulhi(std::int16_t a, std::int16_t b) noexcept {
  return static_cast<std::int16_t>((std::int32_t{a} * b) >> 16);
}

inline std::int16_t mullo(std::int16_t a, std::int16_t b) noexcept {
  return static_cast<std::int16_t>(a * b);
}

// a * b * R^-1 mod q, |.| < q, given b_qinv = b * q^-1 mod 2^16. The same Montgomery product
// as montgomery_reduce(a * b), but in 16-bit halves (the low halves of a*b and t*q cancel),
// which the compiler maps onto 16-bit vector lanes.
inline std::int16_t fqmul(std::int16_t a, std::int16_t b, std::int16_t b_qinv) noexcept {
  const std::int16_t t = mullo(a, b_qinv);
  return static_cast<std::int16_t>(mulhi(a, b) - mulhi(t, kQ));
}

inline std::int16_t fqmul(std::int16_t a, std::int16_t b) noexcept {
  return fqmul(a, b, mullo(b, kQinv));
}

// Representative in [-1664, 1664] of any int16: a - round(a * v / 2^26) * q, with the
// product taken in 16-bit halves (mulhi then a rounding shift gives the same quotient).
inline std::int16_t barrett_reduce(std::int16_t a) noexcept {
  const auto t = static_cast<std::int16_t>((mulhi(a, kBarrettV) + (1 << 9)) >> 10);
  return static_cast<std::int16_t>(a - mullo(t, kQ));
}

// Canonical residue in [0, q) of any int16.
inline std::uint16_t canonical(std::int16_t a) noexcept {
  std::int16_t r = barrett_reduce(a);
  r = static_cast<std::int16_t>(r + ((r >> 15) & kQ));
  return static_cast<std::uint16_t>(r);
}

// Compress_d of a canonical x, round(2^d * x / q) mod 2^d, as (x * m + c) >> s in 32 bits:
// constants found by search and checked for every x in [0, q) by the backend tests. No
// division, so the time does not depend on x.
struct CompressConstants {
  std::uint32_t m, c;
  int s;
};

template <int D>
constexpr CompressConstants kCompress = D == 1    ? CompressConstants{322538, 1u << 28, 29}
                                        : D == 4  ? CompressConstants{322538, 33560000, 26}
                                        : D == 10 ? CompressConstants{322542, 524000, 20}
                                                  : CompressConstants{0, 0, 0};

template <int D>
inline std::uint16_t compress(std::uint16_t x) noexcept {
  static_assert(kCompress<D>.m != 0);
  const std::uint32_t n = x * kCompress<D>.m + kCompress<D>.c;
  return static_cast<std::uint16_t>((n >> kCompress<D>.s) & ((1u << D) - 1));
}

// Decompress_d(y) = round(q * y / 2^d).
template <int D>
inline std::int16_t decompress(std::uint16_t y) noexcept {
  return static_cast<std::int16_t>((y * std::uint32_t{kQ} + (1u << (D - 1))) >> D);
}

// One layer of butterflies per call; the fixed distance lets the compiler vectorise the
// inner loop.
template <int Len>
inline void ntt_layer(std::int16_t* r, unsigned& k) noexcept {
  for (int start = 0; start < kN; start += 2 * Len) {
    const std::int16_t zeta = kZetas[k++];
    const std::int16_t zeta_qinv = mullo(zeta, kQinv);
    for (int j = start; j < start + Len; ++j) {
      const std::int16_t t = fqmul(r[j + Len], zeta, zeta_qinv);
      r[j + Len] = static_cast<std::int16_t>(r[j] - t);
      r[j] = static_cast<std::int16_t>(r[j] + t);
    }
  }
}

template <int Len, bool Reduce>
inline void invntt_layer(std::int16_t* r, unsigned& k) noexcept {
  for (int start = 0; start < kN; start += 2 * Len) {
    const std::int16_t zeta = kZetas[k--];
    const std::int16_t zeta_qinv = mullo(zeta, kQinv);
    for (int j = start; j < start + Len; ++j) {
      const std::int16_t t = r[j];
      const auto sum = static_cast<std::int16_t>(t + r[j + Len]);
      r[j] = Reduce ? barrett_reduce(sum) : sum;
      r[j + Len] = fqmul(static_cast<std::int16_t>(r[j + Len] - t), zeta, zeta_qinv);
    }
  }
}

}  // namespace

// Each layer adds less than q to the bound, so |c| < 2q stays below 2^15 over all seven
// layers without intermediate reductions.
void Portable::ntt(poly& p) noexcept {
  std::int16_t* r = p.coeffs;
  unsigned k = 1;
  ntt_layer<128>(r, k);
  ntt_layer<64>(r, k);
  ntt_layer<32>(r, k);
  ntt_layer<16>(r, k);
  ntt_layer<8>(r, k);
  ntt_layer<4>(r, k);
  ntt_layer<2>(r, k);
  for (auto& c : p.coeffs) c = barrett_reduce(c);
}

// Sums double the bound per layer: from |c| < q they reach 8q after three layers, so the
// sums of the third and sixth layers are reduced and nothing exceeds 2^15.
void Portable::invntt(poly& p) noexcept {
  std::int16_t* r = p.coeffs;
  unsigned k = 127;
  invntt_layer<2, false>(r, k);
  invntt_layer<4, false>(r, k);
  invntt_layer<8, true>(r, k);
  invntt_layer<16, false>(r, k);
  invntt_layer<32, false>(r, k);
  invntt_layer<64, true>(r, k);
  invntt_layer<128, false>(r, k);
  const std::int16_t scale_qinv = mullo(kInvNttScale, kQinv);
  for (auto& c : p.coeffs) c = fqmul(c, kInvNttScale, scale_qinv);
}

void Portable::mulcache(poly_mulcache& cache, const poly& b) noexcept {
  for (int i = 0; i < kN / 4; ++i) {
    const std::int16_t zeta = kZetas[64 + i];
    cache.coeffs[2 * i] = fqmul(b.coeffs[4 * i + 1], zeta);
    cache.coeffs[2 * i + 1] = fqmul(b.coeffs[4 * i + 3], static_cast<std::int16_t>(-zeta));
  }
}

void Portable::basemul_acc(poly& r, const poly a[kK], const poly b[kK],
                           const poly_mulcache cache[kK]) noexcept {
  // Summed in 32 bits over the whole vector and reduced once: < 4.5 q^2 < q * 2^15.
  std::int32_t even[kN / 2], odd[kN / 2];
  for (int i = 0; i < kN / 2; ++i) {
    const std::int32_t a0 = a[0].coeffs[2 * i], a1 = a[0].coeffs[2 * i + 1];
    const std::int32_t b0 = b[0].coeffs[2 * i], b1 = b[0].coeffs[2 * i + 1];
    even[i] = a0 * b0 + a1 * cache[0].coeffs[i];
    odd[i] = a0 * b1 + a1 * b0;
  }
  for (std::size_t k = 1; k < kK; ++k) {
    for (int i = 0; i < kN / 2; ++i) {
      const std::int32_t a0 = a[k].coeffs[2 * i], a1 = a[k].coeffs[2 * i + 1];
      const std::int32_t b0 = b[k].coeffs[2 * i], b1 = b[k].coeffs[2 * i + 1];
      even[i] += a0 * b0 + a1 * cache[k].coeffs[i];
      odd[i] += a0 * b1 + a1 * b0;
    }
  }
  for (int i = 0; i < kN / 2; ++i) {
    r.coeffs[2 * i] = montgomery_reduce(even[i]);
    r.coeffs[2 * i + 1] = montgomery_reduce(odd[i]);
  }
  // The sums are products with the secret vector.
  wipe_object(even);
  wipe_object(odd);
}

void Portable::tomont(poly& p) noexcept {
  for (auto& c : p.coeffs) c = fqmul(c, kMont2);
}

void Portable::add(poly& r, const poly& a, const poly& b) noexcept {
  for (int i = 0; i < kN; ++i) r.coeffs[i] = static_cast<std::int16_t>(a.coeffs[i] + b.coeffs[i]);
}

void Portable::sub(poly& r, const poly& a, const poly& b) noexcept {
  for (int i = 0; i < kN; ++i) r.coeffs[i] = static_cast<std::int16_t>(a.coeffs[i] - b.coeffs[i]);
}

// The (de)serialisers work in two passes: arithmetic over all coefficients into a small
// array, which vectorises, then the bit packing.

void Portable::tobytes(std::uint8_t out[kPolyBytes], const poly& p) noexcept {
  std::uint16_t t[kN];
  for (int i = 0; i < kN; ++i) t[i] = canonical(p.coeffs[i]);
  for (int i = 0; i < kN / 2; ++i) {
    const unsigned t0 = t[2 * i], t1 = t[2 * i + 1];
    out[3 * i] = static_cast<std::uint8_t>(t0);
    out[3 * i + 1] = static_cast<std::uint8_t>((t0 >> 8) | (t1 << 4));
    out[3 * i + 2] = static_cast<std::uint8_t>(t1 >> 4);
  }
  wipe_object(t);  // the secret vector passes through here
}

void Portable::frombytes(poly& p, const std::uint8_t in[kPolyBytes]) noexcept {
  std::int16_t t[kN];
  for (int i = 0; i < kN / 2; ++i) {
    const unsigned b0 = in[3 * i], b1 = in[3 * i + 1], b2 = in[3 * i + 2];
    t[2 * i] = static_cast<std::int16_t>(b0 | ((b1 & 0x0F) << 8));
    t[2 * i + 1] = static_cast<std::int16_t>((b1 >> 4) | (b2 << 4));
  }
  // Values are below 2^12 < 2q, so one masked subtraction reduces them.
  for (int i = 0; i < kN; ++i) {
    const auto r = static_cast<std::int16_t>(t[i] - kQ);
    p.coeffs[i] = static_cast<std::int16_t>(r + ((r >> 15) & kQ));
  }
  wipe_object(t);
}

void Portable::compress_du(std::uint8_t out[kPolyCompressedDuBytes], const poly& p) noexcept {
  std::uint16_t t[kN];
  for (int i = 0; i < kN; ++i) t[i] = compress<kDu>(canonical(p.coeffs[i]));
  for (int i = 0; i < kN / 4; ++i) {
    const std::uint64_t v = std::uint64_t{t[4 * i]} | std::uint64_t{t[4 * i + 1]} << 10 |
                            std::uint64_t{t[4 * i + 2]} << 20 | std::uint64_t{t[4 * i + 3]} << 30;
    for (int h = 0; h < 5; ++h) out[5 * i + h] = static_cast<std::uint8_t>(v >> (8 * h));
  }
}

void Portable::decompress_du(poly& p, const std::uint8_t in[kPolyCompressedDuBytes]) noexcept {
  std::uint16_t t[kN];
  for (int i = 0; i < kN / 4; ++i) {
    std::uint64_t v = 0;
    for (int h = 0; h < 5; ++h) v |= std::uint64_t{in[5 * i + h]} << (8 * h);
    for (int h = 0; h < 4; ++h) t[4 * i + h] = static_cast<std::uint16_t>((v >> (10 * h)) & 0x3FF);
  }
  for (int i = 0; i < kN; ++i) p.coeffs[i] = decompress<kDu>(t[i]);
}

void Portable::compress_dv(std::uint8_t out[kPolyCompressedDvBytes], const poly& p) noexcept {
  std::uint16_t t[kN];
  for (int i = 0; i < kN; ++i) t[i] = compress<kDv>(canonical(p.coeffs[i]));
  for (int i = 0; i < kN / 2; ++i) {
    out[i] = static_cast<std::uint8_t>(t[2 * i] | (t[2 * i + 1] << 4));
  }
}

void Portable::decompress_dv(poly& p, const std::uint8_t in[kPolyCompressedDvBytes]) noexcept {
  std::uint16_t t[kN];
  for (int i = 0; i < kN / 2; ++i) {
    t[2 * i] = in[i] & 0x0F;
    t[2 * i + 1] = static_cast<std::uint16_t>(in[i] >> 4);
  }
  for (int i = 0; i < kN; ++i) p.coeffs[i] = decompress<kDv>(t[i]);
}

void Portable::frommsg(poly& p, const std::uint8_t msg[kSymBytes]) noexcept {
  for (int i = 0; i < kN; ++i) {
    const auto bit = static_cast<std::int16_t>((msg[i / 8] >> (i % 8)) & 1);
    p.coeffs[i] = static_cast<std::int16_t>(-bit & ((kQ + 1) / 2));
  }
}

void Portable::tomsg(std::uint8_t msg[kSymBytes], const poly& p) noexcept {
  std::uint16_t t[kN];
  for (int i = 0; i < kN; ++i) t[i] = compress<1>(canonical(p.coeffs[i]));
  for (int i = 0; i < kN / 8; ++i) {
    unsigned byte = 0;
    for (int j = 0; j < 8; ++j) byte |= unsigned{t[8 * i + j]} << j;
    msg[i] = static_cast<std::uint8_t>(byte);
  }
  wipe_object(t);
}

unsigned Portable::rej_uniform(std::int16_t* r, unsigned len, const std::uint8_t* buf,
                               std::size_t buflen) noexcept {
  constexpr auto kUnsignedQ = static_cast<unsigned>(kQ);
  unsigned ctr = 0;
  std::size_t pos = 0;
  // Branch-free while enough slots are free: a rejected candidate is overwritten next. Two
  // triples (four candidates) per 8-byte load first.
  while (ctr + 4 <= len && pos + 8 <= buflen) {
    const std::uint64_t w = load64_le(buf + pos);
    pos += 6;
    for (int h = 0; h < 4; ++h) {
      const auto d = static_cast<unsigned>(w >> (12 * h)) & 0xFFF;
      r[ctr] = static_cast<std::int16_t>(d);
      ctr += d < kUnsignedQ;
    }
  }
  while (ctr + 2 <= len && pos + 3 <= buflen) {
    const unsigned b0 = buf[pos], b1 = buf[pos + 1], b2 = buf[pos + 2];
    pos += 3;
    const unsigned d1 = b0 | ((b1 & 0x0F) << 8), d2 = (b1 >> 4) | (b2 << 4);
    r[ctr] = static_cast<std::int16_t>(d1);
    ctr += d1 < kUnsignedQ;
    r[ctr] = static_cast<std::int16_t>(d2);
    ctr += d2 < kUnsignedQ;
  }
  while (ctr < len && pos + 3 <= buflen) {
    const unsigned b0 = buf[pos], b1 = buf[pos + 1], b2 = buf[pos + 2];
    pos += 3;
    const unsigned d1 = b0 | ((b1 & 0x0F) << 8), d2 = (b1 >> 4) | (b2 << 4);
    if (d1 < kUnsignedQ) r[ctr++] = static_cast<std::int16_t>(d1);
    if (ctr < len && d2 < kUnsignedQ) r[ctr++] = static_cast<std::int16_t>(d2);
  }
  return ctr;
}

// Each byte holds two coefficients of four bits: x = bit0 + bit1, y = bit2 + bit3. The sums
// go through a local array so that neither pass has to allow for aliasing.
void Portable::cbd_eta2(poly& p, const std::uint8_t buf[kNoiseBytes]) noexcept {
  std::uint8_t sums[kNoiseBytes];
  for (std::size_t i = 0; i < kNoiseBytes; ++i) {
    sums[i] = static_cast<std::uint8_t>((buf[i] & 0x55) + ((buf[i] >> 1) & 0x55));
  }
  for (int i = 0; i < kN / 2; ++i) {
    const int d = sums[i];
    p.coeffs[2 * i] = static_cast<std::int16_t>((d & 3) - ((d >> 2) & 3));
    p.coeffs[2 * i + 1] = static_cast<std::int16_t>(((d >> 4) & 3) - (d >> 6));
  }
  wipe_object(sums);
}

void Portable::expand_matrix(poly a[kK][kK], const std::uint8_t rho[kSymBytes],
                             bool transposed) noexcept {
  constexpr std::size_t kFirstBlocks = 3;  // 504 bytes: enough for 256 values most times
  std::uint8_t seed[kSymBytes + 2];
  std::memcpy(seed, rho, kSymBytes);
  std::uint8_t buf[kFirstBlocks * kShake128Rate];
  std::uint64_t state[kKeccakLanes];
  for (std::size_t i = 0; i < kK; ++i) {
    for (std::size_t j = 0; j < kK; ++j) {
      seed[kSymBytes] = static_cast<std::uint8_t>(transposed ? i : j);
      seed[kSymBytes + 1] = static_cast<std::uint8_t>(transposed ? j : i);
      keccak_absorb_once(state, kShake128Rate, seed, sizeof seed, kShakeSuffix);
      keccak_squeeze_blocks(state, kShake128Rate, buf, kFirstBlocks);
      std::int16_t* r = a[i][j].coeffs;
      unsigned ctr = rej_uniform(r, kN, buf, sizeof buf);
      while (ctr < kN) {
        keccak_squeeze_blocks(state, kShake128Rate, buf, 1);
        ctr += rej_uniform(r + ctr, kN - ctr, buf, kShake128Rate);
      }
    }
  }
}

void Portable::sample_noise(poly* out, unsigned count, const std::uint8_t seed[kSymBytes],
                            std::uint8_t nonce) noexcept {
  std::uint8_t input[kSymBytes + 1];
  std::memcpy(input, seed, kSymBytes);
  std::uint8_t buf[kShake256Rate];  // one block covers the 128 bytes of CBD_2
  std::uint64_t state[kKeccakLanes];
  for (unsigned n = 0; n < count; ++n) {
    input[kSymBytes] = static_cast<std::uint8_t>(nonce + n);
    keccak_absorb_once(state, kShake256Rate, input, sizeof input, kShakeSuffix);
    keccak_squeeze_blocks(state, kShake256Rate, buf, 1);
    cbd_eta2(out[n], buf);
  }
  wipe_object(input);
  wipe_object(buf);
  wipe_object(state);
}

void Portable::sample_jobs(const SamplingJobs& jobs) noexcept {
  if (jobs.matrix != nullptr) expand_matrix(jobs.matrix, jobs.rho, jobs.transposed);
  if (jobs.noise != nullptr) sample_noise(jobs.noise, jobs.noise_count, jobs.noise_seed, 0);
  if (jobs.digest == nullptr) return;
  const std::span<std::uint8_t, kSymBytes> out(jobs.digest, kSymBytes);
  if (jobs.digest_kind == Digest::kSha3_256) {
    sha3::Sha3_256 h;
    for (int part = 0; part < 2; ++part) h.absorb({jobs.digest_msg[part], jobs.digest_len[part]});
    h.finish(out);
  } else {
    sha3::Shake256 j;
    for (int part = 0; part < 2; ++part) j.absorb({jobs.digest_msg[part], jobs.digest_len[part]});
    j.squeeze(out);
  }
}

void Portable::keccak_f1600(std::uint64_t state[25]) noexcept {
  detail::keccak_f1600(state);
}

}  // namespace mlkem768::detail
