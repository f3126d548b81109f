#pragma once

// The hash of tables whose keys others choose: SipHash-2-4 under a key drawn per table.

#include <cstddef>

#include "vostrel/bytes.hpp"

namespace vostrel::crypto {

// Places 32-byte keys in a hash table. Mailbox identifiers, tokens and replay digests come from
// clients, so an unkeyed hash would let them pile entries into one bucket; each instance draws
// its own key, and copies share it. Stops with "OS CSPRNG" when the random source fails and with
// "libsodium initialisation failed" when libsodium cannot start.
class KeyedHash {
 public:
  KeyedHash();
  std::size_t operator()(KeyView bytes) const noexcept;

 private:
  ByteArray<16> key_{};
};

}  // namespace vostrel::crypto
