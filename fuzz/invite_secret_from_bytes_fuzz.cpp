// InviteSecret::from_bytes: exactly 3648 bytes parse, and a parsed value writes back the same
// bytes.
#include "round_trip.hpp"
#include "vostrel/invite.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  fuzz::round_trip<invite::InviteSecret>(ByteView(data, size), invite::kInviteSecretBytes);
  return 0;
}
