// Reply::from_bytes on fuzzed bytes: exactly 1120 bytes parse, and a parsed value writes back to
// the same bytes.
#include "fuzz_support.hpp"
#include "vostrel/handshake.hpp"

using namespace vostrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const auto parsed = handshake::Reply::from_bytes(input);
  fuzz::require(parsed.has_value() == (size == handshake::kReplyBytes),
                "exactly the message's size parses");
  if (parsed) {
    fuzz::require(std::ranges::equal(parsed->to_bytes(), input),
                  "a parsed message writes back to its bytes");
  }
  return 0;
}
