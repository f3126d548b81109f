// AuthReply::from_bytes: exactly 1216 bytes parse, a parsed value writes back the same bytes, and
// its inner reply is the Reply at offset 64.
#include "round_trip.hpp"
#include "vostrel/handshake.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  const ByteView input(data, size);
  fuzz::round_trip<handshake::AuthReply>(
      input, handshake::kAuthReplyBytes, [&](const handshake::AuthReply& parsed) {
        fuzz::require(
            handshake::Reply::from_bytes(input.subspan(64, handshake::kReplyBytes)) == parsed.reply,
            "the inner reply is the Reply at offset 64");
      });
  return 0;
}
