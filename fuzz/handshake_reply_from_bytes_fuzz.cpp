// Reply::from_bytes: exactly 1120 bytes parse, and a parsed value writes back the same bytes.
#include "round_trip.hpp"
#include "vostrel/handshake.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  fuzz::round_trip<handshake::Reply>(ByteView(data, size), handshake::kReplyBytes);
  return 0;
}
