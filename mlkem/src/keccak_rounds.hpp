// The body of the scalar Keccak-f[1600], shared by the portable permutation and the AVX2
// backend's, which compiles it for BMI1/BMI2 (andn for chi, rorx for the rotations). Always
// inlined, so each copy is compiled with its caller's target.
#pragma once

#include <bit>
#include <cstdint>

#include "keccak.hpp"

namespace mlkem768::detail::keccak_impl {

inline constexpr std::uint64_t kRoundConstants[24] = {
    0x0000000000000001, 0x0000000000008082, 0x800000000000808a, 0x8000000080008000,
    0x000000000000808b, 0x0000000080000001, 0x8000000080008081, 0x8000000000008009,
    0x000000000000008a, 0x0000000000000088, 0x0000000080008009, 0x000000008000000a,
    0x000000008000808b, 0x800000000000008b, 0x8000000000008089, 0x8000000000008003,
    0x8000000000008002, 0x8000000000000080, 0x000000000000800a, 0x800000008000000a,
    0x8000000080008081, 0x8000000000008080, 0x0000000080000001, 0x8000000080008008,
};

[[gnu::always_inline]] constexpr std::uint64_t rotl(std::uint64_t x, int n) noexcept {
  return std::rotl(x, n);
}

// Two rounds per iteration, ping-ponging between the a and e lanes so that no copies are
// needed. Each round computes theta's column parities c and offsets d, then per output row
// the rho-rotated, pi-permuted lanes b, then chi, with iota on lane (0, 0).
[[gnu::always_inline]] inline void keccak_f1600_rounds(std::uint64_t state[kKeccakLanes]) noexcept {
  std::uint64_t a00 = state[0], a01 = state[1], a02 = state[2], a03 = state[3], a04 = state[4];
  std::uint64_t a05 = state[5], a06 = state[6], a07 = state[7], a08 = state[8], a09 = state[9];
  std::uint64_t a10 = state[10], a11 = state[11], a12 = state[12], a13 = state[13], a14 = state[14];
  std::uint64_t a15 = state[15], a16 = state[16], a17 = state[17], a18 = state[18], a19 = state[19];
  std::uint64_t a20 = state[20], a21 = state[21], a22 = state[22], a23 = state[23], a24 = state[24];
  std::uint64_t e00, e01, e02, e03, e04, e05, e06, e07, e08, e09, e10, e11, e12;
  std::uint64_t e13, e14, e15, e16, e17, e18, e19, e20, e21, e22, e23, e24;
  std::uint64_t b0, b1, b2, b3, b4, c0, c1, c2, c3, c4, d0, d1, d2, d3, d4;

  for (int round = 0; round < 24; round += 2) {
    c0 = a00 ^ a05 ^ a10 ^ a15 ^ a20;
    c1 = a01 ^ a06 ^ a11 ^ a16 ^ a21;
    c2 = a02 ^ a07 ^ a12 ^ a17 ^ a22;
    c3 = a03 ^ a08 ^ a13 ^ a18 ^ a23;
    c4 = a04 ^ a09 ^ a14 ^ a19 ^ a24;
    d0 = c4 ^ rotl(c1, 1);
    d1 = c0 ^ rotl(c2, 1);
    d2 = c1 ^ rotl(c3, 1);
    d3 = c2 ^ rotl(c4, 1);
    d4 = c3 ^ rotl(c0, 1);
    b0 = a00 ^ d0;
    b1 = rotl(a06 ^ d1, 44);
    b2 = rotl(a12 ^ d2, 43);
    b3 = rotl(a18 ^ d3, 21);
    b4 = rotl(a24 ^ d4, 14);
    e00 = b0 ^ (~b1 & b2) ^ kRoundConstants[round];
    e01 = b1 ^ (~b2 & b3);
    e02 = b2 ^ (~b3 & b4);
    e03 = b3 ^ (~b4 & b0);
    e04 = b4 ^ (~b0 & b1);
    b0 = rotl(a03 ^ d3, 28);
    b1 = rotl(a09 ^ d4, 20);
    b2 = rotl(a10 ^ d0, 3);
    b3 = rotl(a16 ^ d1, 45);
    b4 = rotl(a22 ^ d2, 61);
    e05 = b0 ^ (~b1 & b2);
    e06 = b1 ^ (~b2 & b3);
    e07 = b2 ^ (~b3 & b4);
    e08 = b3 ^ (~b4 & b0);
    e09 = b4 ^ (~b0 & b1);
    b0 = rotl(a01 ^ d1, 1);
    b1 = rotl(a07 ^ d2, 6);
    b2 = rotl(a13 ^ d3, 25);
    b3 = rotl(a19 ^ d4, 8);
    b4 = rotl(a20 ^ d0, 18);
    e10 = b0 ^ (~b1 & b2);
    e11 = b1 ^ (~b2 & b3);
    e12 = b2 ^ (~b3 & b4);
    e13 = b3 ^ (~b4 & b0);
    e14 = b4 ^ (~b0 & b1);
    b0 = rotl(a04 ^ d4, 27);
    b1 = rotl(a05 ^ d0, 36);
    b2 = rotl(a11 ^ d1, 10);
    b3 = rotl(a17 ^ d2, 15);
    b4 = rotl(a23 ^ d3, 56);
    e15 = b0 ^ (~b1 & b2);
    e16 = b1 ^ (~b2 & b3);
    e17 = b2 ^ (~b3 & b4);
    e18 = b3 ^ (~b4 & b0);
    e19 = b4 ^ (~b0 & b1);
    b0 = rotl(a02 ^ d2, 62);
    b1 = rotl(a08 ^ d3, 55);
    b2 = rotl(a14 ^ d4, 39);
    b3 = rotl(a15 ^ d0, 41);
    b4 = rotl(a21 ^ d1, 2);
    e20 = b0 ^ (~b1 & b2);
    e21 = b1 ^ (~b2 & b3);
    e22 = b2 ^ (~b3 & b4);
    e23 = b3 ^ (~b4 & b0);
    e24 = b4 ^ (~b0 & b1);
    c0 = e00 ^ e05 ^ e10 ^ e15 ^ e20;
    c1 = e01 ^ e06 ^ e11 ^ e16 ^ e21;
    c2 = e02 ^ e07 ^ e12 ^ e17 ^ e22;
    c3 = e03 ^ e08 ^ e13 ^ e18 ^ e23;
    c4 = e04 ^ e09 ^ e14 ^ e19 ^ e24;
    d0 = c4 ^ rotl(c1, 1);
    d1 = c0 ^ rotl(c2, 1);
    d2 = c1 ^ rotl(c3, 1);
    d3 = c2 ^ rotl(c4, 1);
    d4 = c3 ^ rotl(c0, 1);
    b0 = e00 ^ d0;
    b1 = rotl(e06 ^ d1, 44);
    b2 = rotl(e12 ^ d2, 43);
    b3 = rotl(e18 ^ d3, 21);
    b4 = rotl(e24 ^ d4, 14);
    a00 = b0 ^ (~b1 & b2) ^ kRoundConstants[round + 1];
    a01 = b1 ^ (~b2 & b3);
    a02 = b2 ^ (~b3 & b4);
    a03 = b3 ^ (~b4 & b0);
    a04 = b4 ^ (~b0 & b1);
    b0 = rotl(e03 ^ d3, 28);
    b1 = rotl(e09 ^ d4, 20);
    b2 = rotl(e10 ^ d0, 3);
    b3 = rotl(e16 ^ d1, 45);
    b4 = rotl(e22 ^ d2, 61);
    a05 = b0 ^ (~b1 & b2);
    a06 = b1 ^ (~b2 & b3);
    a07 = b2 ^ (~b3 & b4);
    a08 = b3 ^ (~b4 & b0);
    a09 = b4 ^ (~b0 & b1);
    b0 = rotl(e01 ^ d1, 1);
    b1 = rotl(e07 ^ d2, 6);
    b2 = rotl(e13 ^ d3, 25);
    b3 = rotl(e19 ^ d4, 8);
    b4 = rotl(e20 ^ d0, 18);
    a10 = b0 ^ (~b1 & b2);
    a11 = b1 ^ (~b2 & b3);
    a12 = b2 ^ (~b3 & b4);
    a13 = b3 ^ (~b4 & b0);
    a14 = b4 ^ (~b0 & b1);
    b0 = rotl(e04 ^ d4, 27);
    b1 = rotl(e05 ^ d0, 36);
    b2 = rotl(e11 ^ d1, 10);
    b3 = rotl(e17 ^ d2, 15);
    b4 = rotl(e23 ^ d3, 56);
    a15 = b0 ^ (~b1 & b2);
    a16 = b1 ^ (~b2 & b3);
    a17 = b2 ^ (~b3 & b4);
    a18 = b3 ^ (~b4 & b0);
    a19 = b4 ^ (~b0 & b1);
    b0 = rotl(e02 ^ d2, 62);
    b1 = rotl(e08 ^ d3, 55);
    b2 = rotl(e14 ^ d4, 39);
    b3 = rotl(e15 ^ d0, 41);
    b4 = rotl(e21 ^ d1, 2);
    a20 = b0 ^ (~b1 & b2);
    a21 = b1 ^ (~b2 & b3);
    a22 = b2 ^ (~b3 & b4);
    a23 = b3 ^ (~b4 & b0);
    a24 = b4 ^ (~b0 & b1);
  }

  state[0] = a00, state[1] = a01, state[2] = a02, state[3] = a03, state[4] = a04;
  state[5] = a05, state[6] = a06, state[7] = a07, state[8] = a08, state[9] = a09;
  state[10] = a10, state[11] = a11, state[12] = a12, state[13] = a13, state[14] = a14;
  state[15] = a15, state[16] = a16, state[17] = a17, state[18] = a18, state[19] = a19;
  state[20] = a20, state[21] = a21, state[22] = a22, state[23] = a23, state[24] = a24;
}

}  // namespace mlkem768::detail::keccak_impl
