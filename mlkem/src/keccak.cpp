#include "keccak.hpp"

#include "ct.hpp"
#include "keccak_rounds.hpp"

namespace mlkem768::detail {

void keccak_f1600(std::uint64_t state[kKeccakLanes]) noexcept {
  keccak_impl::keccak_f1600_rounds(state);
}

void keccak_xor_bytes(std::uint64_t state[kKeccakLanes], std::size_t offset, const std::uint8_t* in,
                      std::size_t len) noexcept {
  for (; len > 0 && offset % 8 != 0; ++in, ++offset, --len) {
    state[offset / 8] ^= std::uint64_t{*in} << (8 * (offset % 8));
  }
  for (; len >= 8; in += 8, offset += 8, len -= 8) state[offset / 8] ^= load64_le(in);
  for (; len > 0; ++in, ++offset, --len) {
    state[offset / 8] ^= std::uint64_t{*in} << (8 * (offset % 8));
  }
}

void keccak_extract_bytes(const std::uint64_t state[kKeccakLanes], std::size_t offset,
                          std::uint8_t* out, std::size_t len) noexcept {
  for (; len > 0 && offset % 8 != 0; ++out, ++offset, --len) {
    *out = static_cast<std::uint8_t>(state[offset / 8] >> (8 * (offset % 8)));
  }
  for (; len >= 8; out += 8, offset += 8, len -= 8) store64_le(out, state[offset / 8]);
  for (; len > 0; ++out, ++offset, --len) {
    *out = static_cast<std::uint8_t>(state[offset / 8] >> (8 * (offset % 8)));
  }
}

void keccak_absorb_once(std::uint64_t state[kKeccakLanes], std::size_t rate, const std::uint8_t* in,
                        std::size_t len, std::uint8_t suffix) noexcept {
  for (std::size_t i = 0; i < kKeccakLanes; ++i) state[i] = 0;
  for (; len >= rate; in += rate, len -= rate) {
    for (std::size_t i = 0; i < rate / 8; ++i) state[i] ^= load64_le(in + 8 * i);
    keccak_f1600(state);
  }
  keccak_xor_bytes(state, 0, in, len);
  state[len / 8] ^= std::uint64_t{suffix} << (8 * (len % 8));
  state[(rate - 1) / 8] ^= std::uint64_t{0x80} << 56;
}

void keccak_squeeze_blocks(std::uint64_t state[kKeccakLanes], std::size_t rate, std::uint8_t* out,
                           std::size_t nblocks) noexcept {
  for (; nblocks > 0; --nblocks, out += rate) {
    keccak_f1600(state);
    for (std::size_t i = 0; i < rate / 8; ++i) store64_le(out + 8 * i, state[i]);
  }
}

}  // namespace mlkem768::detail
