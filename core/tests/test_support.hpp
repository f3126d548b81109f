#pragma once

// Helpers shared by the self-checks only.

#include <string_view>

#include "vostrel/common.hpp"

namespace vostrel::test {

// Each pair of hexadecimal digits (either case) becomes one byte; a malformed text stops the check.
inline Bytes hex(std::string_view text) {
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw Panic("malformed hexadecimal test vector");
  };
  if (text.size() % 2 != 0) throw Panic("malformed hexadecimal test vector");
  Bytes out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(digit(text[i]) * 16 + digit(text[i + 1])));
  }
  return out;
}

template <std::size_t N>
ByteArray<N> hex_array(std::string_view text) {
  const Bytes bytes = hex(text);
  if (bytes.size() != N) throw Panic("test vector of the wrong length");
  ByteArray<N> out{};
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

inline Bytes bytes_of(std::string_view text) {
  const ByteView view = as_bytes(text);
  return Bytes(view.begin(), view.end());
}

template <std::size_t N>
ByteArray<N> filled(std::uint8_t value) {
  ByteArray<N> out{};
  out.fill(value);
  return out;
}

// Deterministic pseudo-random bytes for the parser checks.
class XorShift {
 public:
  explicit XorShift(std::uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ULL) {}
  std::uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  Bytes bytes(std::size_t n) {
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(next());
    return out;
  }

 private:
  std::uint64_t state_;
};

// Runs a SecretBytes's first release step, which is protected, to watch it without reading freed
// memory.
struct SecretBytesProbe {
  static void zero_all(SecretBytes& s) { (s.*Steps::kZeroAll)(); }
  static const std::uint8_t* storage(const SecretBytes& s) { return s.data(); }

 private:
  // Named through a derived class, the protected step may be applied to any SecretBytes.
  struct Steps : SecretBytes {
    static constexpr auto kZeroAll = &Steps::zero_all;
  };
};

}  // namespace vostrel::test
