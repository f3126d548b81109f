// DirRecord::from_bytes: the body form is canonical, so a parsed record writes back the very body.
#include "fuzz_support.hpp"
#include "vostrel/directory.hpp"

using namespace vostrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const auto record = directory::DirRecord::from_bytes(input);
  if (!record) return 0;
  fuzz::require(record->addrs.size() <= directory::DIR_MAX_ADDRS, "at most eight addresses");
  const auto body = record->to_bytes();
  fuzz::require(body && *body == Bytes(input.begin(), input.end()),
                "a parsed record writes back its body");
  return 0;
}
