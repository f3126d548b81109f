// ML-KEM-768 (FIPS 203, algorithms 13 to 18) over a polynomial backend (see poly.hpp).
#pragma once

#include <cstring>
#include <span>

#include "ct.hpp"
#include "keccak.hpp"
#include "mlkem/sha3.hpp"
#include "params.hpp"
#include "poly.hpp"

namespace mlkem768::detail {

template <class B>
struct Kem {
  // G = SHA3-512 and H = SHA3-256 on the backend's permutation.
  static void hash_g(std::uint8_t out[2 * kSymBytes], const std::uint8_t* a, std::size_t a_len,
                     const std::uint8_t* b, std::size_t b_len) noexcept {
    const std::uint8_t* parts[2] = {a, b};
    const std::size_t lens[2] = {a_len, b_len};
    keccak_digest<B::keccak_f1600>(sha3::kSha3_512Rate, kSha3Suffix, parts, lens, 2, out,
                                   2 * kSymBytes);
  }

  static void hash_h(std::uint8_t out[kSymBytes], const std::uint8_t ek[kEkBytes]) noexcept {
    const std::size_t len = kEkBytes;
    keccak_digest<B::keccak_f1600>(sha3::kSha3_256Rate, kSha3Suffix, &ek, &len, 1, out, kSymBytes);
  }

  // The unpacked encapsulation key of K-PKE.
  struct PublicKey {
    poly t_hat[kK];
    const std::uint8_t* rho;
  };

  static void unpack_public_key(PublicKey& pk, const std::uint8_t ek[kEkBytes]) noexcept {
    for (std::size_t i = 0; i < kK; ++i) B::frombytes(pk.t_hat[i], ek + i * kPolyBytes);
    pk.rho = ek + kPolyvecBytes;
  }

  // K-PKE.KeyGen followed by the ML-KEM key layout.
  static void keygen(const std::uint8_t d[kSymBytes], const std::uint8_t z[kSymBytes],
                     std::uint8_t ek[kEkBytes], std::uint8_t dk[kDkBytes]) noexcept {
    std::uint8_t rho_sigma[2 * kSymBytes];
    const std::uint8_t k = kK;
    hash_g(rho_sigma, d, kSymBytes, &k, 1);
    const std::uint8_t* rho = rho_sigma;
    const std::uint8_t* sigma = rho_sigma + kSymBytes;

    poly a[kK][kK];
    poly se[2 * kK];  // s then e, nonces 0 to 5
    B::sample_jobs({.matrix = a,
                    .rho = rho,
                    .transposed = false,
                    .noise = se,
                    .noise_count = 2 * kK,
                    .noise_seed = sigma});
    const poly* s_hat = se;
    const poly* e_hat = se + kK;
    poly_mulcache cache[kK];
    for (std::size_t i = 0; i < 2 * kK; ++i) B::ntt(se[i]);
    for (std::size_t i = 0; i < kK; ++i) B::mulcache(cache[i], s_hat[i]);

    for (std::size_t i = 0; i < kK; ++i) {
      poly t;
      B::basemul_acc(t, a[i], s_hat, cache);
      B::tomont(t);
      B::add(t, t, e_hat[i]);
      B::tobytes(ek + i * kPolyBytes, t);
    }
    std::memcpy(ek + kPolyvecBytes, rho, kSymBytes);

    for (std::size_t i = 0; i < kK; ++i) B::tobytes(dk + i * kPolyBytes, s_hat[i]);
    std::memcpy(dk + kPolyvecBytes, ek, kEkBytes);
    hash_h(dk + kPolyvecBytes + kEkBytes, ek);
    std::memcpy(dk + kPolyvecBytes + kEkBytes + kSymBytes, z, kSymBytes);

    wipe_object(rho_sigma);
    wipe_object(se);
    wipe_object(cache);
  }

  // K-PKE.Encrypt(ek, m, r), given the transposed matrix of ek.
  static void encrypt(const PublicKey& pk, const poly at[kK][kK], const std::uint8_t m[kSymBytes],
                      const std::uint8_t coins[kSymBytes], std::uint8_t ct[kCtBytes]) noexcept {
    poly noise[2 * kK + 1];  // y, then e1, then e2: nonces 0 to 6
    B::sample_noise(noise, 2 * kK + 1, coins, 0);
    poly* y_hat = noise;
    const poly* e1 = noise + kK;
    const poly& e2 = noise[2 * kK];
    poly_mulcache cache[kK];
    for (std::size_t i = 0; i < kK; ++i) {
      B::ntt(y_hat[i]);
      B::mulcache(cache[i], y_hat[i]);
    }

    poly u;
    for (std::size_t i = 0; i < kK; ++i) {
      B::basemul_acc(u, at[i], y_hat, cache);
      B::invntt(u);
      B::add(u, u, e1[i]);
      B::compress_du(ct + i * kPolyCompressedDuBytes, u);
    }
    poly v, mu;
    B::basemul_acc(v, pk.t_hat, y_hat, cache);
    B::invntt(v);
    B::add(v, v, e2);
    B::frommsg(mu, m);
    B::add(v, v, mu);
    B::compress_dv(ct + kK * kPolyCompressedDuBytes, v);

    wipe_object(noise);
    wipe_object(cache);
    wipe_object(u);
    wipe_object(v);
    wipe_object(mu);
  }

  // K-PKE.Decrypt(dk_PKE, c).
  static void decrypt(const std::uint8_t dk_pke[kPolyvecBytes], const std::uint8_t ct[kCtBytes],
                      std::uint8_t m[kSymBytes]) noexcept {
    poly u_hat[kK];
    poly_mulcache cache[kK];
    for (std::size_t i = 0; i < kK; ++i) {
      B::decompress_du(u_hat[i], ct + i * kPolyCompressedDuBytes);
      B::ntt(u_hat[i]);
      B::mulcache(cache[i], u_hat[i]);
    }
    poly s_hat[kK];
    for (std::size_t i = 0; i < kK; ++i) B::frombytes(s_hat[i], dk_pke + i * kPolyBytes);
    poly w, v;
    B::basemul_acc(w, s_hat, u_hat, cache);
    B::invntt(w);
    B::decompress_dv(v, ct + kK * kPolyCompressedDuBytes);
    B::sub(w, v, w);
    B::tomsg(m, w);

    wipe_object(s_hat);
    wipe_object(w);
  }

  static void encaps(const std::uint8_t ek[kEkBytes], const std::uint8_t m[kSymBytes],
                     std::uint8_t ct[kCtBytes], std::uint8_t ss[kSymBytes]) noexcept {
    PublicKey pk;
    unpack_public_key(pk, ek);
    poly at[kK][kK];
    std::uint8_t h[kSymBytes];  // H(ek), computed beside the matrix
    B::sample_jobs({.matrix = at,
                    .rho = pk.rho,
                    .transposed = true,
                    .digest = h,
                    .digest_kind = Digest::kSha3_256,
                    .digest_msg = {ek, nullptr},
                    .digest_len = {kEkBytes, 0}});
    std::uint8_t k_r[2 * kSymBytes];  // (K, r) = G(m || H(ek))
    hash_g(k_r, m, kSymBytes, h, kSymBytes);

    encrypt(pk, at, m, k_r + kSymBytes, ct);
    std::memcpy(ss, k_r, kSymBytes);
    wipe_object(k_r);
  }

  static void decaps(const std::uint8_t dk[kDkBytes], const std::uint8_t ct[kCtBytes],
                     std::uint8_t ss[kSymBytes]) noexcept {
    const std::uint8_t* dk_pke = dk;
    const std::uint8_t* ek = dk + kPolyvecBytes;
    const std::uint8_t* h = ek + kEkBytes;
    const std::uint8_t* z = h + kSymBytes;

    PublicKey pk;
    unpack_public_key(pk, ek);
    poly at[kK][kK];
    std::uint8_t k_bar[kSymBytes];  // J(z || c), computed beside the matrix
    B::sample_jobs({.matrix = at,
                    .rho = pk.rho,
                    .transposed = true,
                    .digest = k_bar,
                    .digest_kind = Digest::kShake256,
                    .digest_msg = {z, ct},
                    .digest_len = {kSymBytes, kCtBytes}});

    std::uint8_t m[kSymBytes];
    decrypt(dk_pke, ct, m);
    std::uint8_t k_r[2 * kSymBytes];  // (K', r') = G(m' || h)
    hash_g(k_r, m, kSymBytes, h, kSymBytes);

    std::uint8_t ct_again[kCtBytes];
    encrypt(pk, at, m, k_r + kSymBytes, ct_again);

    // All 1088 bytes are compared; the mask is all ones exactly when they are equal.
    std::uint32_t diff = 0;
    for (std::size_t i = 0; i < kCtBytes; ++i) diff |= std::uint32_t{ct[i]} ^ ct_again[i];
    const auto keep = static_cast<std::uint8_t>((value_barrier(diff) - 1) >> 8);
    for (std::size_t i = 0; i < kSymBytes; ++i) {
      ss[i] = static_cast<std::uint8_t>(k_bar[i] ^ (keep & (k_r[i] ^ k_bar[i])));
    }

    wipe_object(m);
    wipe_object(k_r);
    wipe_object(k_bar);
    wipe_object(ct_again);
  }
};

}  // namespace mlkem768::detail
