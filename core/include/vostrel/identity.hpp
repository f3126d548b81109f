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
  [[nodiscard]] static Identity generate();
  // The 48-byte blob of `to_encrypted`, opened under the storage key.
  [[nodiscard]] static std::optional<Identity> from_encrypted(KeyView storage_key, ByteView blob);

  const PublicKey& public_key() const {
    moved_.check("Identity");
    return public_key_;
  }
  // Pure Ed25519; deterministic. Stops with "signature operation failed" if signing reports
  // failure.
  [[nodiscard]] Signature sign(ByteView message) const;
  // The seed sealed under the storage key with the all-zero nonce and
  // "vostrel/identity-at-rest/v1".
  //
  // A storage key seals exactly one blob. The identity, the contact book and the message log all
  // seal with the all-zero nonce, and their labels are only associated data, so two blobs under one
  // key (two saves, or two formats) share their keystream and Poly1305 key: whoever holds both
  // learns the XOR of the two plaintexts and can forge blobs that open. This blob beside a contact
  // book under the same key gives away the seed, since a book begins with bytes an outsider can
  // guess (a version byte, the first contact's name and public key). Derive a fresh key for each
  // format and each save, for example HMAC-SHA-256 of a master key over the format's label and a
  // save counter kept beside the blob, never reused.
  [[nodiscard]] Bytes to_encrypted(KeyView storage_key) const;

 private:
  explicit Identity(Secret32 seed);

  Secret32 seed_;
  PublicKey public_key_{};
  MoveMark moved_;
};

// Ordinary (non-strict, cofactorless) Ed25519 verification: small-order keys and R are not refused,
// S at or above the group order is. Allocates nothing: no want of memory stops it or sways it.
[[nodiscard]] bool verify(FixedView<32> public_key, ByteView message, FixedView<64> signature);

}  // namespace vostrel::identity
