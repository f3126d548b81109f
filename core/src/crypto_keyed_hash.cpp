#include "vostrel/crypto_keyed_hash.hpp"

#include <sodium.h>

#include "crypto_backend.hpp"
#include "vostrel/byte_io.hpp"
#include "vostrel/random.hpp"

namespace vostrel::crypto {

KeyedHash::KeyedHash() {
  static_assert(crypto_shorthash_KEYBYTES == 16 && crypto_shorthash_BYTES == 8);
  // Hashing itself runs per lookup, so libsodium is made ready here, once per map.
  backend::sodium_ready();
  os_random(key_);
}

std::size_t KeyedHash::operator()(KeyView bytes) const noexcept {
  ByteArray<crypto_shorthash_BYTES> hash{};
  crypto_shorthash(hash.data(), bytes.data(), bytes.size(), key_.data());
  return static_cast<std::size_t>(load_be<std::uint64_t>(hash.data()));
}

}  // namespace vostrel::crypto
