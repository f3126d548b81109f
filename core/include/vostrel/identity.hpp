#pragma once

// A long-term Ed25519 signing identity, stored only encrypted at rest.

#include <optional>

#include "vostrel/common.hpp"

namespace vostrel::identity {

using PublicKey = ByteArray<32>;
using Signature = ByteArray<64>;

inline constexpr std::size_t kEncryptedIdentityBytes = 48;

// A move zeroes the source's seed; public_key, sign and to_encrypted on the source stop with
// "Identity used after it was moved from".
class Identity {
 public:
  // A new identity from 32 random bytes; stops with "OS CSPRNG" when the random source fails.
  static Identity generate();
  // The 48-byte blob of `to_encrypted`, opened under the storage key.
  static std::optional<Identity> from_encrypted(KeyView storage_key, ByteView blob);

  const PublicKey& public_key() const {
    moved_.check("Identity");
    return public_key_;
  }
  // Pure Ed25519; deterministic. Stops with "signature operation failed" if signing reports
  // failure.
  Signature sign(ByteView message) const;
  // The seed sealed under the storage key with the all-zero nonce and
  // "vostrel/identity-at-rest/v1".
  Bytes to_encrypted(KeyView storage_key) const;

 private:
  explicit Identity(Secret32 seed);

  Secret32 seed_;
  PublicKey public_key_{};
  MoveMark moved_;
};

// Ordinary (non-strict, cofactorless) Ed25519 verification: small-order keys and R are not refused,
// S at or above the group order is.
bool verify(FixedView<32> public_key, ByteView message, FixedView<64> signature);

}  // namespace vostrel::identity
