// Hello::from_bytes: exactly 1216 bytes parse, and a parsed value writes back the same bytes.
#include "round_trip.hpp"
#include "vostrel/handshake.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  fuzz::round_trip<handshake::Hello>(ByteView(data, size), handshake::kHelloBytes);
  return 0;
}
