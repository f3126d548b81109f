#include "vostrel/rotation.hpp"

#include <string_view>

#include "vostrel/crypto.hpp"

namespace vostrel::rotation {
namespace {

constexpr std::string_view kMigrationLabel = "vostrel/v1/identity-migration";
constexpr std::string_view kLocLabel = "vostrel/v1/migrate-loc";
constexpr std::string_view kKeyLabel = "vostrel/v1/migrate-key";

Bytes migration_message(KeyView old_key, KeyView new_key) {
  Bytes message;
  message.reserve(kMigrationLabel.size() + 64);
  put_bytes(message, as_bytes(kMigrationLabel));
  put_bytes(message, old_key);
  put_bytes(message, new_key);
  return message;
}

template <std::size_t N>
void copy_field(ByteReader& reader, ByteArray<N>& field) {
  field = *reader.array<N>();
}

}  // namespace

ByteArray<MIGRATION_RECORD_LEN> MigrationRecord::to_bytes() const {
  ByteArray<MIGRATION_RECORD_LEN> out{};
  auto at = std::copy(old_sig.begin(), old_sig.end(), out.begin());
  at = std::copy(new_sig.begin(), new_sig.end(), at);
  at = std::copy(old_key.begin(), old_key.end(), at);
  std::copy(new_key.begin(), new_key.end(), at);
  return out;
}

std::optional<MigrationRecord> MigrationRecord::from_bytes(ByteView bytes) {
  if (bytes.size() != MIGRATION_RECORD_LEN) return std::nullopt;
  ByteReader reader(bytes);
  MigrationRecord record;
  copy_field(reader, record.old_sig);
  copy_field(reader, record.new_sig);
  copy_field(reader, record.old_key);
  copy_field(reader, record.new_key);
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
  return crypto::hmac_sha256(shared_secret, {as_bytes(kLocLabel), old_key});
}

Key32 migrate_key(KeyView shared_secret, KeyView old_key) {
  return crypto::hmac_sha256(shared_secret, {as_bytes(kKeyLabel), old_key});
}

}  // namespace vostrel::rotation
