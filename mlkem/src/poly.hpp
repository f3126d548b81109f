// The polynomial backend: everything that touches coefficients, behind one narrow interface.
//
// A backend is a struct of static functions with exactly the members of `Portable` below.
// The ML-KEM algorithms (kem.hpp) are a template over the backend, so a vectorised backend
// is a second struct with the same members, dispatched to once per call in mlkem768.cpp.
// Backends must give identical bytes: every byte string leaving these functions (encodings,
// compressed ciphertext parts, messages) is fixed by FIPS 203; the in-memory form below is
// the portable backend's and a backend may deviate from it only where it replaces all
// functions that produce and consume that form.
//
// Representation (portable backend):
// - Coefficients are int16_t standing for their residue mod q = 3329; they are not kept
//   canonical. Each function states the bounds it needs and the bounds it guarantees;
//   "reduced" means Barrett-reduced to [-1664, 1664].
// - Normal domain: coeffs[i] is the coefficient of X^i.
// - NTT domain: the order of FIPS 203's NTT (algorithm 9): coeffs[2i], coeffs[2i+1] are the
//   residue mod X^2 - zeta^(2*BitRev7(i)+1), zeta = 17. ByteEncode_12 of an NTT-domain
//   vector is therefore directly the t-hat of ek and the s-hat of dk.
// - Montgomery factor R = 2^16: basemul_acc returns its result times R^-1 mod q; tomont
//   multiplies by R, invntt by R/128, so both undo that factor.
// - Matrix entries straight from rejection sampling are canonical, in [0, q).
// - Zetas: zeta^BitRev7(i) * R mod q, centred; forward layers take i = 1..127 in order, the
//   inverse layers i = 127..1.
//
// Secrets: every function but rej_uniform and expand_matrix sees secret data (sample_jobs
// too, for the noise and J), so it may not
// branch on or index memory by coefficient values, and it wipes its own stack temporaries
// that hold secret-derived values (the callers wipe the polynomials they own).
#pragma once

#include <cstddef>
#include <cstdint>

#include "params.hpp"

namespace mlkem768::detail {

struct poly {
  alignas(32) std::int16_t coeffs[kN];
};

// Per NTT-domain polynomial b: cache[i] = b[2i+1] * zeta^(2*BitRev7(i)+1) mod q, |.| < q,
// so that a vector's odd products are computed once, not once per matrix row.
struct poly_mulcache {
  alignas(32) std::int16_t coeffs[kN / 2];
};

// A 32-byte digest of a message in two parts: H(ek) = SHA3-256(ek) or J(z || c), the first 32
// bytes of SHAKE-256(z || c).
enum class Digest : std::uint8_t { kSha3_256, kShake256 };

// The Keccak work of one ML-KEM operation that does not wait for G, handed over in one piece so
// that a backend can run the streams side by side: the matrix (expand_matrix), the noise of
// key generation (sample_noise with nonces from 0, at most 2k + 1 polynomials) and one digest,
// each when present.
struct SamplingJobs {
  poly (*matrix)[kK] = nullptr;
  const std::uint8_t* rho = nullptr;
  bool transposed = false;
  poly* noise = nullptr;
  unsigned noise_count = 0;
  const std::uint8_t* noise_seed = nullptr;
  std::uint8_t* digest = nullptr;  // 32 bytes
  Digest digest_kind = Digest::kSha3_256;
  const std::uint8_t* digest_msg[2] = {nullptr, nullptr};
  std::size_t digest_len[2] = {0, 0};
};

struct Portable {
  // Forward NTT. In: normal domain, |c| < 2q. Out: NTT domain, reduced.
  static void ntt(poly& p) noexcept;
  // Inverse NTT times R (undoes basemul_acc's R^-1). In: NTT domain, |c| < q.
  // Out: normal domain, |c| < q.
  static void invntt(poly& p) noexcept;
  // In: NTT domain, reduced.
  static void mulcache(poly_mulcache& cache, const poly& b) noexcept;
  // r = sum over k of a[k] * b[k] (NTT-domain products), times R^-1.
  // In: |a| < q, b reduced, cache from b. Out: |c| < q.
  static void basemul_acc(poly& r, const poly a[kK], const poly b[kK],
                          const poly_mulcache cache[kK]) noexcept;
  // Multiplies by R. In: any. Out: |c| < q.
  static void tomont(poly& p) noexcept;
  // r = a + b and r = a - b, no reduction; callers keep the sums within int16.
  static void add(poly& r, const poly& a, const poly& b) noexcept;
  static void sub(poly& r, const poly& a, const poly& b) noexcept;

  // ByteEncode_12 of the canonical residues. In: any.
  static void tobytes(std::uint8_t out[kPolyBytes], const poly& p) noexcept;
  // ByteDecode_12 with every value reduced mod q. Out: canonical.
  static void frombytes(poly& p, const std::uint8_t in[kPolyBytes]) noexcept;
  // ByteEncode_du(Compress_du) and its inverse. Compress: in any. Decompress: out in [0, q).
  static void compress_du(std::uint8_t out[kPolyCompressedDuBytes], const poly& p) noexcept;
  static void decompress_du(poly& p, const std::uint8_t in[kPolyCompressedDuBytes]) noexcept;
  // ByteEncode_dv(Compress_dv) and its inverse, as above.
  static void compress_dv(std::uint8_t out[kPolyCompressedDvBytes], const poly& p) noexcept;
  static void decompress_dv(poly& p, const std::uint8_t in[kPolyCompressedDvBytes]) noexcept;
  // Decompress_1(ByteDecode_1(msg)): coefficients 0 or 1665.
  static void frommsg(poly& p, const std::uint8_t msg[kSymBytes]) noexcept;
  // ByteEncode_1(Compress_1). In: any.
  static void tomsg(std::uint8_t msg[kSymBytes], const poly& p) noexcept;

  // SampleNTT over a ready XOF stream: parses buf (buflen a multiple of 3) into up to len
  // coefficients, returns how many it wrote. Works on public data and may branch.
  static unsigned rej_uniform(std::int16_t* r, unsigned len, const std::uint8_t* buf,
                              std::size_t buflen) noexcept;
  // SamplePolyCBD_2 of 128 bytes. Out: normal domain, |c| <= 2.
  static void cbd_eta2(poly& p, const std::uint8_t buf[kNoiseBytes]) noexcept;

  // The Keccak-heavy sampling, where a 4-way Keccak fits.
  // a[i][j] = SampleNTT(XOF(rho, j, i)), or SampleNTT(XOF(rho, i, j)) when transposed
  // (FIPS 203 writes the two index bytes in that order).
  static void expand_matrix(poly a[kK][kK], const std::uint8_t rho[kSymBytes],
                            bool transposed) noexcept;
  // out[n] = SamplePolyCBD_2(PRF_2(seed, nonce + n)) for n < count.
  static void sample_noise(poly* out, unsigned count, const std::uint8_t seed[kSymBytes],
                           std::uint8_t nonce) noexcept;
  // Everything in jobs, with the same results as the separate calls.
  static void sample_jobs(const SamplingJobs& jobs) noexcept;
  // Keccak-f[1600] of one state, for the single streams G and H of key generation.
  static void keccak_f1600(std::uint64_t state[25]) noexcept;
};

}  // namespace mlkem768::detail
