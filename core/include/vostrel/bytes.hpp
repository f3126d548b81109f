#pragma once

// The byte vocabulary of every module: owned byte strings, read-only views and fixed-size arrays.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vostrel {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
template <std::size_t N>
using ByteArray = std::array<std::uint8_t, N>;
template <std::size_t N>
using FixedView = std::span<const std::uint8_t, N>;
// 32 bytes anyone may see: a public key, a digest, a token or a location. A secret is a Secret32
// or, where it is deliberately left unwiped, a PlainSecret32 (vostrel/secret.hpp).
using Key32 = ByteArray<32>;
using KeyView = FixedView<32>;

// An owned copy of a fixed-size view.
template <std::size_t N>
[[nodiscard]] constexpr ByteArray<N> array_of(FixedView<N> view) noexcept {
  ByteArray<N> out{};
  std::copy(view.begin(), view.end(), out.begin());
  return out;
}

inline ByteView as_bytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace vostrel
