#pragma once

// Identity migration: a hand-over statement signed by both the retiring and the new identity, and
// the derivations that locate and key a migration notice for one contact.

#include <optional>

#include "vostrel/common.hpp"
#include "vostrel/identity.hpp"

namespace vostrel::rotation {

inline constexpr std::size_t MIGRATION_RECORD_LEN = 192;

// Public values only; both signatures cover both keys.
struct MigrationRecord {
  identity::Signature old_sig{};
  identity::Signature new_sig{};
  identity::PublicKey old_key{};
  identity::PublicKey new_key{};

  // old_sig, new_sig, old_key, new_key, without version or separator.
  [[nodiscard]] ByteArray<MIGRATION_RECORD_LEN> to_bytes() const;
  // Any 192 bytes; the signatures are tested only by `verify_migration`.
  [[nodiscard]] static std::optional<MigrationRecord> from_bytes(ByteView bytes);

  bool operator==(const MigrationRecord&) const = default;
};

// Deterministic: the same two identities always give the same record. Stops with "signature
// operation failed" when signing fails.
[[nodiscard]] MigrationRecord sign_migration(const identity::Identity& old_identity,
                                             const identity::Identity& new_identity);

// The new key when the record names `pinned` as its old key and both signatures hold.
[[nodiscard]] std::optional<identity::PublicKey> verify_migration(const MigrationRecord& record,
                                                                  KeyView pinned);

// Where, and under which key, a migration notice for one contact travels; fixed for one shared
// secret and one old key.
[[nodiscard]] Key32 migrate_loc(KeyView shared_secret, KeyView old_key);
[[nodiscard]] PlainSecret32 migrate_key(KeyView shared_secret, KeyView old_key);

}  // namespace vostrel::rotation
