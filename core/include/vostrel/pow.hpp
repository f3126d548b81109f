#pragma once

// Hashcash-style proof of work: a stamp is SHA-256("vostrel/v1/pow" || challenge || nonce), and a
// nonce meets a difficulty when its stamp starts with at least that many zero bits.

#include <cstdint>
#include <optional>

#include "vostrel/common.hpp"

namespace vostrel::pow {

using Stamp = Key32;

// SHA-256 over the label, the challenge (no length prefix) and the big-endian nonce.
[[nodiscard]] Stamp stamp_hash(ByteView challenge, std::uint64_t nonce);

// Zero bits from the most significant bit of byte 0 onwards; 256 for an all-zero digest.
[[nodiscard]] std::uint32_t leading_zero_bits(FixedView<32> digest) noexcept;

// True when the stamp of (challenge, nonce) has at least `difficulty` leading zero bits.
[[nodiscard]] bool verify(ByteView challenge, std::uint8_t difficulty, std::uint64_t nonce);

// The smallest nonce that `verify` accepts; absent only when no 64-bit nonce does.
[[nodiscard]] std::optional<std::uint64_t> solve(ByteView challenge, std::uint8_t difficulty);

}  // namespace vostrel::pow
