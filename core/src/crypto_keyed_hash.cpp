#include "vostrel/crypto_keyed_hash.hpp"

#include <sodium.h>

namespace vostrel::crypto {

KeyedHash::KeyedHash() {
  static_assert(crypto_shorthash_KEYBYTES == 16 && crypto_shorthash_BYTES == 8);
  os_random(key_);
}

std::size_t KeyedHash::operator()(KeyView bytes) const noexcept {
  ByteArray<crypto_shorthash_BYTES> hash{};
  crypto_shorthash(hash.data(), bytes.data(), bytes.size(), key_.data());
  return static_cast<std::size_t>(load_be<std::uint64_t>(hash.data()));
}

}  // namespace vostrel::crypto
