// FriendRequest::from_bytes: exactly 1216 bytes parse, and a parsed value writes back the same
// bytes.
#include "fuzz_support.hpp"
#include "vostrel/invite.hpp"

using namespace vostrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const auto parsed = invite::FriendRequest::from_bytes(input);
  fuzz::require(parsed.has_value() == (size == invite::kFriendRequestBytes),
                "exactly the byte form's length parses");
  if (parsed) {
    fuzz::require(parsed->to_bytes() == Bytes(input.begin(), input.end()),
                  "a parsed value writes back its bytes");
  }
  return 0;
}
