// Relay::check_request with fuzzed requests on a relay holding entries and cached digests: each
// verdict follows the admission rules, and each change (or its absence) is the one the rules allow.
#include "relay_fixture.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel::fuzz::relay_fixture;
  run(vostrel::ByteView(data, size), Entry::CheckRequest);
  return 0;
}
