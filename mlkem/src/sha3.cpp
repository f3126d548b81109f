#include "mlkem/sha3.hpp"

#include <algorithm>
#include <cstdlib>

#include "ct.hpp"
#include "keccak.hpp"

namespace mlkem768::sha3 {

using detail::keccak_f1600;

Sponge::Sponge(std::size_t rate, std::uint8_t suffix) noexcept
    : lanes_{}, rate_(rate), suffix_(suffix) {}

Sponge::~Sponge() {
  detail::wipe_object(lanes_);
}

void Sponge::reset() noexcept {
  detail::wipe_object(lanes_);
  offset_ = 0;
  squeezing_ = false;
}

void Sponge::absorb(std::span<const std::uint8_t> data) noexcept {
  if (squeezing_) std::abort();  // the message was already finished
  const std::uint8_t* in = data.data();
  std::size_t len = data.size();
  while (len > 0) {
    if (offset_ == 0 && len >= rate_) {
      for (std::size_t i = 0; i < rate_ / 8; ++i) lanes_[i] ^= detail::load64_le(in + 8 * i);
      keccak_f1600(lanes_);
      in += rate_;
      len -= rate_;
      continue;
    }
    const std::size_t take = std::min(len, rate_ - offset_);
    detail::keccak_xor_bytes(lanes_, offset_, in, take);
    in += take;
    len -= take;
    offset_ += take;
    if (offset_ == rate_) {
      keccak_f1600(lanes_);
      offset_ = 0;
    }
  }
}

void Sponge::finish_absorbing() noexcept {
  lanes_[offset_ / 8] ^= std::uint64_t{suffix_} << (8 * (offset_ % 8));
  lanes_[(rate_ - 1) / 8] ^= std::uint64_t{0x80} << 56;
  keccak_f1600(lanes_);
  offset_ = 0;
  squeezing_ = true;
}

void Sponge::squeeze(std::span<std::uint8_t> out) noexcept {
  if (!squeezing_) finish_absorbing();
  std::uint8_t* p = out.data();
  std::size_t len = out.size();
  while (len > 0) {
    if (offset_ == rate_) {
      keccak_f1600(lanes_);
      offset_ = 0;
    }
    const std::size_t take = std::min(len, rate_ - offset_);
    detail::keccak_extract_bytes(lanes_, offset_, p, take);
    p += take;
    len -= take;
    offset_ += take;
  }
}

void sha3_256(std::span<const std::uint8_t> data,
              std::span<std::uint8_t, kSha3_256Bytes> digest) noexcept {
  Sha3_256 h;
  h.absorb(data);
  h.finish(digest);
}

void sha3_512(std::span<const std::uint8_t> data,
              std::span<std::uint8_t, kSha3_512Bytes> digest) noexcept {
  Sha3_512 h;
  h.absorb(data);
  h.finish(digest);
}

void shake128(std::span<const std::uint8_t> data, std::span<std::uint8_t> out) noexcept {
  Shake128 x;
  x.absorb(data);
  x.squeeze(out);
}

void shake256(std::span<const std::uint8_t> data, std::span<std::uint8_t> out) noexcept {
  Shake256 x;
  x.absorb(data);
  x.squeeze(out);
}

}  // namespace mlkem768::sha3
