#pragma once

// Shared by the fuzz targets: views of the input and a stop on a broken property.

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "vostrel/common.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::fuzz {

// A property the target checks beyond "no crash"; a violation is a finding.
inline void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
  }
}

// Splits the input at its first byte: that many bytes (mod the input) go to the first part.
struct Split {
  ByteView first;
  ByteView second;
};
inline Split split_input(ByteView input) {
  if (input.empty()) return {};
  const std::size_t cut = input[0] % input.size();
  const ByteView rest = input.subspan(1);
  const std::size_t at = std::min(cut, rest.size());
  return {rest.first(at), rest.subspan(at)};
}

// The fuzz input XORed over a genuine message, its excess appended: the empty input is the
// genuine message itself, and every byte string is reachable.
inline Bytes overlay(ByteView genuine, const std::uint8_t* data, std::size_t size) {
  Bytes message(genuine.begin(), genuine.end());
  for (std::size_t i = 0; i < std::min(size, message.size()); ++i) message[i] ^= data[i];
  if (size > message.size()) message.insert(message.end(), data + genuine.size(), data + size);
  return message;
}

inline const Key32& fixed_key() {
  static const Key32 key = [] {
    Key32 k{};
    for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(0xA0 + i);
    return k;
  }();
  return key;
}

// An identity made from 32 bytes of `fill`, the same in every process, so that seeds written by
// one program pass the signature checks of another.
inline identity::Identity fixed_identity(std::uint8_t fill) {
  Key32 seed{};
  seed.fill(fill);
  const Bytes blob =
      crypto::seal(fixed_key(), crypto::kAtRestNonce, as_bytes(labels::kIdentityAtRest), seed);
  auto opened = identity::Identity::from_encrypted(fixed_key(), blob);
  require(opened.has_value(), "a fixed identity opens");
  return std::move(*opened);
}

}  // namespace vostrel::fuzz
