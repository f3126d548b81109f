// MigrationRecord::from_bytes: exactly 192 bytes parse, and a parsed record writes back the same
// bytes.
#include "round_trip.hpp"
#include "vostrel/rotation.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  fuzz::round_trip<rotation::MigrationRecord>(ByteView(data, size), rotation::MIGRATION_RECORD_LEN);
  return 0;
}
