// MigrationRecord::from_bytes: exactly 192 bytes parse, and a parsed record writes back the bytes.
#include <algorithm>

#include "fuzz_support.hpp"
#include "vostrel/rotation.hpp"

using namespace vostrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const auto record = rotation::MigrationRecord::from_bytes(input);
  fuzz::require(record.has_value() == (size == rotation::MIGRATION_RECORD_LEN),
                "exactly 192 bytes parse");
  if (record) {
    fuzz::require(std::ranges::equal(record->to_bytes(), input), "a record writes back its bytes");
  }
  return 0;
}
