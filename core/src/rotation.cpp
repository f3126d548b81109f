#include "vostrel/rotation.hpp"

#include <string_view>

#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::rotation {
namespace {

Bytes migration_message(KeyView old_key, KeyView new_key) {
  Bytes message;
  message.reserve(labels::kIdentityMigration.size() + 64);
  put_bytes(message, as_bytes(labels::kIdentityMigration));
  put_bytes(message, old_key);
  put_bytes(message, new_key);
  return message;
}

}  // namespace

ByteArray<MIGRATION_RECORD_LEN> MigrationRecord::to_bytes() const {
  return concat(old_sig, new_sig, old_key, new_key);
}

std::optional<MigrationRecord> MigrationRecord::from_bytes(ByteView bytes) {
  if (bytes.size() != MIGRATION_RECORD_LEN) return std::nullopt;
  ByteReader reader(bytes);
  MigrationRecord record;
  // Every read stays within the length checked above.
  record.old_sig = *reader.array<64>();
  record.new_sig = *reader.array<64>();
  record.old_key = *reader.array<32>();
  record.new_key = *reader.array<32>();
  return record;
}

MigrationRecord sign_migration(const identity::Identity& old_identity,
                               const identity::Identity& new_identity) {
  const Bytes message = migration_message(old_identity.public_key(), new_identity.public_key());
  return MigrationRecord{old_identity.sign(message), new_identity.sign(message),
                         old_identity.public_key(), new_identity.public_key()};
}

std::optional<identity::PublicKey> verify_migration(const MigrationRecord& record, KeyView pinned) {
  // ctgrind: decision verify_migration
  if (!crypto::ct_equal(pinned, record.old_key)) return std::nullopt;
  const Bytes message = migration_message(record.old_key, record.new_key);
  if (!identity::verify(record.old_key, message, record.old_sig)) return std::nullopt;
  if (!identity::verify(record.new_key, message, record.new_sig)) return std::nullopt;
  return record.new_key;
}

Key32 migrate_loc(KeyView shared_secret, KeyView old_key) {
  return crypto::hmac_sha256(shared_secret, {as_bytes(labels::kMigrateLocation), old_key});
}

PlainSecret32 migrate_key(KeyView shared_secret, KeyView old_key) {
  return crypto::hmac_sha256(shared_secret, {as_bytes(labels::kMigrateKey), old_key});
}

}  // namespace vostrel::rotation
