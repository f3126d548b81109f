// Invite::from_bytes: exactly 1344 bytes parse, and a parsed value writes back the same bytes.
#include "round_trip.hpp"
#include "vostrel/invite.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  fuzz::round_trip<invite::Invite>(ByteView(data, size), invite::kInviteBytes);
  return 0;
}
