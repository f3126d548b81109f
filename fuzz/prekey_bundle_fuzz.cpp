// PrekeyBundle::from_bytes: a parsed bundle serialises back to the input bytes.
#include "fuzz_support.hpp"
#include "vostrel/prekey.hpp"

using namespace vostrel;
using vostrel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const auto bundle = prekey::PrekeyBundle::from_bytes(input);
  require(bundle.has_value() == (size == prekey::kBundleBytes),
          "a bundle parses exactly when it is 1304 bytes");
  if (!bundle) return 0;
  const Bytes bytes = bundle->to_bytes();
  require(bytes == Bytes(input.begin(), input.end()), "a parsed bundle serialises to its input");
  require(bundle->ek.size() == pqkem::kEncapsulationKeyBytes, "a parsed bundle has a whole ek");
  return 0;
}
