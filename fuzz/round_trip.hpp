#pragma once

// The round trip of a byte form of fixed size, shared by the from_bytes targets: T::from_bytes
// accepts exactly `bytes` bytes, and a parsed value writes back the very input. `also` checks
// more of a parsed value where a target has more to check.

#include <algorithm>

#include "fuzz_support.hpp"

namespace vostrel::fuzz {

template <class T>
void round_trip(ByteView input, std::size_t bytes, auto also) {
  const auto parsed = T::from_bytes(input);
  require(parsed.has_value() == (input.size() == bytes), "exactly the byte form's length parses");
  if (!parsed) return;
  require(std::ranges::equal(parsed->to_bytes(), input), "a parsed value writes back its bytes");
  also(*parsed);
}

template <class T>
void round_trip(ByteView input, std::size_t bytes) {
  round_trip<T>(input, bytes, [](const T&) {});
}

}  // namespace vostrel::fuzz
