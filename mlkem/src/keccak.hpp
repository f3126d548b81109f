// Internal Keccak interface. The public SHA-3 classes and the portable backend stand on it.
// ML-KEM draws all its Keccak output through the backend (poly.hpp): G and H through
// keccak_digest on the backend's scalar permutation, the matrix, the noise, and H or J beside
// the matrix through sample_jobs, where the AVX2 backend runs them on a 4-way Keccak.
//
// State layout: lane (x, y) of FIPS 202 is state[x + 5 * y]; byte i of the sponge state is
// byte i % 8 of lane i / 8 in little-endian order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mlkem768::detail {

inline constexpr std::size_t kKeccakLanes = 25;
inline constexpr std::size_t kShake128Rate = 168;
inline constexpr std::size_t kShake256Rate = 136;
inline constexpr std::uint8_t kShakeSuffix = 0x1F;
inline constexpr std::uint8_t kSha3Suffix = 0x06;

// Keccak-f[1600], all 24 rounds.
void keccak_f1600(std::uint64_t state[kKeccakLanes]) noexcept;

// XORs len bytes into the state from byte position offset (offset + len <= 200).
void keccak_xor_bytes(std::uint64_t state[kKeccakLanes], std::size_t offset, const std::uint8_t* in,
                      std::size_t len) noexcept;
// Copies len bytes of the state from byte position offset (offset + len <= 200).
void keccak_extract_bytes(const std::uint64_t state[kKeccakLanes], std::size_t offset,
                          std::uint8_t* out, std::size_t len) noexcept;

// Starts a sponge from the zero state, absorbs the whole message and pads it; the state is
// then ready for keccak_squeeze_blocks.
void keccak_absorb_once(std::uint64_t state[kKeccakLanes], std::size_t rate, const std::uint8_t* in,
                        std::size_t len, std::uint8_t suffix) noexcept;
// Squeezes nblocks full blocks of rate bytes each.
void keccak_squeeze_blocks(std::uint64_t state[kKeccakLanes], std::size_t rate, std::uint8_t* out,
                           std::size_t nblocks) noexcept;

// The digest of a message in parts, at most one block of output (G, H and J of ML-KEM), on a
// permutation of the caller's choice. The state is wiped.
template <void (*Permute)(std::uint64_t*) noexcept>
void keccak_digest(std::size_t rate, std::uint8_t suffix, const std::uint8_t* const* parts,
                   const std::size_t* lens, std::size_t nparts, std::uint8_t* out,
                   std::size_t outlen) noexcept {
  std::uint64_t state[kKeccakLanes] = {};
  std::size_t offset = 0;
  for (std::size_t part = 0; part < nparts; ++part) {
    const std::uint8_t* in = parts[part];
    std::size_t len = lens[part];
    while (len > 0) {
      const std::size_t take = len < rate - offset ? len : rate - offset;
      keccak_xor_bytes(state, offset, in, take);
      in += take;
      len -= take;
      offset += take;
      if (offset == rate) {
        Permute(state);
        offset = 0;
      }
    }
  }
  state[offset / 8] ^= std::uint64_t{suffix} << (8 * (offset % 8));
  state[(rate - 1) / 8] ^= std::uint64_t{0x80} << 56;
  Permute(state);
  keccak_extract_bytes(state, 0, out, outlen);
  for (auto& lane : state) lane = 0;
  __asm__ __volatile__("" : : "r"(state) : "memory");
}

}  // namespace mlkem768::detail
