// MixHeader::from_bytes: exactly 1136 bytes parse, and a parsed header writes back the same bytes,
// with a whole ciphertext.
#include "round_trip.hpp"
#include "vostrel/prekey.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  fuzz::round_trip<prekey::MixHeader>(ByteView(data, size), prekey::kMixHeaderBytes,
                                      [](const prekey::MixHeader& header) {
                                        fuzz::require(header.ct.size() == pqkem::kCiphertextBytes,
                                                      "a parsed header has a whole ciphertext");
                                      });
  return 0;
}
