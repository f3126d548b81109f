// verify_migration on fuzzed records. The input is a mode byte and bytes laid over a real record
// between two fixed identities (a short input changes only the signatures). Mode bit 0 pins the
// record's own old key instead of the fixture's. A record is taken exactly when it names the
// pinned key and both signatures hold over both keys.
#include <algorithm>

#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/rotation.hpp"

using namespace vostrel;

namespace {

using fuzz::fixed_identity;

const rotation::MigrationRecord& fixture() {
  static const rotation::MigrationRecord record =
      rotation::sign_migration(fixed_identity(0x0D), fixed_identity(0x0E));
  return record;
}

bool holds(const rotation::MigrationRecord& record, KeyView pinned) {
  if (!std::ranges::equal(record.old_key, pinned)) return false;
  Bytes message;
  put_bytes(message, as_bytes(labels::kIdentityMigration));
  put_bytes(message, record.old_key);
  put_bytes(message, record.new_key);
  return identity::verify(record.old_key, message, record.old_sig) &&
         identity::verify(record.new_key, message, record.new_sig);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  auto bytes = fixture().to_bytes();
  std::copy_n(data + 1, std::min(size - 1, bytes.size()), bytes.begin());
  const auto record = rotation::MigrationRecord::from_bytes(bytes);
  fuzz::require(record.has_value(), "any 192 bytes parse as a record");
  const identity::PublicKey pinned = (data[0] & 1) ? record->old_key : fixture().old_key;

  const auto moved = rotation::verify_migration(*record, pinned);
  fuzz::require(moved.has_value() == holds(*record, pinned),
                "a record is taken exactly when it names the pinned key and both signatures hold");
  if (moved) fuzz::require(*moved == record->new_key, "the new key is the record's");
  if (*record == fixture() && pinned == fixture().old_key) {
    fuzz::require(moved.has_value(), "the real record is taken");
  }
  return 0;
}
