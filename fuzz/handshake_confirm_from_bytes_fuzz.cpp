// Confirm::from_bytes: exactly 96 bytes parse, and a parsed value writes back the same bytes.
#include "round_trip.hpp"
#include "vostrel/handshake.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  fuzz::round_trip<handshake::Confirm>(ByteView(data, size), handshake::kConfirmBytes);
  return 0;
}
