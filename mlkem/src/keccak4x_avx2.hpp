#pragma once

// Four independent Keccak-f[1600] states permuted at once with AVX2, and four-way SHAKE on top.
// Every function here runs AVX2 instructions: call them only when
// select_code_path(cpu_features()) == CodePath::kAvx2.

#include <cstddef>
#include <cstdint>

// The one spelling of the AVX2 target, for every function that may use AVX2 instructions. Code
// outside such functions stays portable, so no file needs -mavx2.
#ifndef MLKEM768_AVX2_TARGET
#define MLKEM768_AVX2_TARGET __attribute__((target("avx2,bmi,bmi2,fma,movbe")))
#endif

namespace mlkem768::detail::avx2 {

// lanes[i][k] is lane i (i = x + 5*y, bytes little-endian) of state k, so lanes[i] is the 256-bit
// vector that carries lane i of all four states, state k in 64-bit element k.
struct alignas(32) Keccak4x {
  std::uint64_t lanes[25][4];
};

inline constexpr std::size_t kShake128BlockBytes = 168;
inline constexpr std::size_t kShake256BlockBytes = 136;

// Keccak-f[1600], 24 rounds, on each of the four states.
MLKEM768_AVX2_TARGET void keccak4x_f1600(Keccak4x& state) noexcept;

// Starts four SHAKE-128 instances: each absorbs its whole input of len bytes and its padding. The
// four inputs have the same length (rho||j||i and sigma||N in ML-KEM).
MLKEM768_AVX2_TARGET void shake128x4_absorb_once(Keccak4x& state, const std::uint8_t* in0,
                                                 const std::uint8_t* in1, const std::uint8_t* in2,
                                                 const std::uint8_t* in3, std::size_t len) noexcept;

// Writes the next nblocks * kShake128BlockBytes output bytes of each instance to out0..out3.
// Repeated calls continue the four output streams.
MLKEM768_AVX2_TARGET void shake128x4_squeeze_blocks(Keccak4x& state, std::uint8_t* out0,
                                                    std::uint8_t* out1, std::uint8_t* out2,
                                                    std::uint8_t* out3,
                                                    std::size_t nblocks) noexcept;

// As above with SHAKE-256 (blocks of kShake256BlockBytes).
MLKEM768_AVX2_TARGET void shake256x4_absorb_once(Keccak4x& state, const std::uint8_t* in0,
                                                 const std::uint8_t* in1, const std::uint8_t* in2,
                                                 const std::uint8_t* in3, std::size_t len) noexcept;

MLKEM768_AVX2_TARGET void shake256x4_squeeze_blocks(Keccak4x& state, std::uint8_t* out0,
                                                    std::uint8_t* out1, std::uint8_t* out2,
                                                    std::uint8_t* out3,
                                                    std::size_t nblocks) noexcept;

}  // namespace mlkem768::detail::avx2
