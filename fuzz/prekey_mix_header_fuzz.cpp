// MixHeader::from_bytes: a parsed header serialises back to the input bytes.
#include "fuzz_support.hpp"
#include "vostrel/prekey.hpp"

using namespace vostrel;
using vostrel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const auto header = prekey::MixHeader::from_bytes(input);
  require(header.has_value() == (size == prekey::kMixHeaderBytes),
          "a mix header parses exactly when it is 1136 bytes");
  if (!header) return 0;
  require(header->to_bytes() == Bytes(input.begin(), input.end()),
          "a parsed mix header serialises to its input");
  require(header->ct.size() == pqkem::kCiphertextBytes, "a parsed header has a whole ciphertext");
  return 0;
}
