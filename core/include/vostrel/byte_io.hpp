#pragma once

// Byte forms written and read in one place: big-endian integers, fields appended to a byte
// string or joined into a fixed-size array, and the reader that takes them apart again.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "vostrel/bytes.hpp"
#include "vostrel/secret.hpp"

namespace vostrel {

// Big-endian integers, written and read in one place.
template <typename Int>
constexpr void store_be(std::uint8_t* out, Int value) noexcept {
  for (std::size_t i = sizeof(Int); i-- > 0;) {
    out[i] = static_cast<std::uint8_t>(value & 0xFF);
    value = static_cast<Int>(value >> 8);
  }
}

template <typename Int>
constexpr Int load_be(const std::uint8_t* in) noexcept {
  Int value = 0;
  for (std::size_t i = 0; i < sizeof(Int); ++i) {
    value = static_cast<Int>((value << 8) | in[i]);
  }
  return value;
}

template <typename Int>
constexpr ByteArray<sizeof(Int)> be_bytes(Int value) noexcept {
  ByteArray<sizeof(Int)> out{};
  store_be(out.data(), value);
  return out;
}

inline void put_bytes(Bytes& out, ByteView bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}
inline void put_bytes(SecretBytes& out, ByteView bytes) {
  out.append(bytes);
}

// Appends a big-endian integer to a byte string (Bytes or SecretBytes).
template <typename Buffer, typename Int>
void put_be(Buffer& out, Int value) {
  const auto bytes = be_bytes(value);
  put_bytes(out, ByteView(bytes));
}

namespace detail {

template <typename Part>
struct FixedSize;
template <std::size_t N>
struct FixedSize<ByteArray<N>> {
  static constexpr std::size_t value = N;
};
template <std::size_t N>
requires(N != std::dynamic_extent) struct FixedSize<FixedView<N>> {
  static constexpr std::size_t value = N;
};

}  // namespace detail

// The fixed-size fields in order, joined into one array: the writer of fixed layouts. Its size is
// the sum of the fields' sizes, so a layout that does not fill its declared array exactly does
// not compile. Integers go in as be_bytes.
template <typename... Parts>
[[nodiscard]] constexpr ByteArray<(std::size_t{0} + ... + detail::FixedSize<Parts>::value)> concat(
    const Parts&... parts) noexcept {
  ByteArray<(std::size_t{0} + ... + detail::FixedSize<Parts>::value)> out{};
  auto at = out.begin();
  ((at = std::copy(parts.begin(), parts.end(), at)), ...);
  return out;
}

// Reads fields in order from a byte string; every read checks the remaining length first.
class ByteReader {
 public:
  explicit ByteReader(ByteView input) noexcept : input_(input) {}

  [[nodiscard]] std::optional<ByteView> bytes(std::size_t n) noexcept {
    if (n > remaining()) return std::nullopt;
    ByteView out = input_.subspan(pos_, n);
    pos_ += n;
    return out;
  }
  // The next N bytes in place, for a field that must not be copied out unwiped.
  template <std::size_t N>
  [[nodiscard]] std::optional<FixedView<N>> fixed() noexcept {
    auto view = bytes(N);
    if (!view) return std::nullopt;
    return FixedView<N>(view->data(), N);
  }
  template <std::size_t N>
  [[nodiscard]] std::optional<ByteArray<N>> array() noexcept {
    auto view = fixed<N>();
    if (!view) return std::nullopt;
    return array_of(*view);
  }
  // An owned copy of the next n bytes.
  [[nodiscard]] std::optional<Bytes> copy(std::size_t n) {
    auto view = bytes(n);
    if (!view) return std::nullopt;
    return Bytes(view->begin(), view->end());
  }
  template <typename Int>
  [[nodiscard]] std::optional<Int> be() noexcept {
    auto view = bytes(sizeof(Int));
    if (!view) return std::nullopt;
    return load_be<Int>(view->data());
  }
  [[nodiscard]] std::optional<std::uint8_t> u8() noexcept { return be<std::uint8_t>(); }
  [[nodiscard]] std::optional<std::uint16_t> u16() noexcept { return be<std::uint16_t>(); }
  [[nodiscard]] std::optional<std::uint32_t> u32() noexcept { return be<std::uint32_t>(); }
  [[nodiscard]] std::optional<std::uint64_t> u64() noexcept { return be<std::uint64_t>(); }

  std::size_t remaining() const noexcept { return input_.size() - pos_; }
  bool at_end() const noexcept { return pos_ == input_.size(); }
  std::size_t position() const noexcept { return pos_; }

 private:
  ByteView input_;
  std::size_t pos_ = 0;
};

}  // namespace vostrel
