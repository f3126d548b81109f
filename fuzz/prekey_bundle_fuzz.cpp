// PrekeyBundle::from_bytes: exactly 1304 bytes parse, and a parsed bundle writes back the same
// bytes, with a whole ek.
#include "round_trip.hpp"
#include "vostrel/prekey.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  fuzz::round_trip<prekey::PrekeyBundle>(
      ByteView(data, size), prekey::kBundleBytes, [](const prekey::PrekeyBundle& bundle) {
        fuzz::require(bundle.ek.size() == pqkem::kEncapsulationKeyBytes,
                      "a parsed bundle has a whole ek");
      });
  return 0;
}
