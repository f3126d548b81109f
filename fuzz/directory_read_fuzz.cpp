// directory::read on raw fuzzed blobs for a fixed root and publisher (seeds: real published
// blobs). A record that comes back names the publisher and is the body the blob holds.
#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/directory.hpp"
#include "vostrel/labels.hpp"

using namespace vostrel;

namespace {

using fuzz::fixed_identity;

const identity::PublicKey& publisher() {
  static const identity::PublicKey key = fixed_identity(0x77).public_key();
  return key;
}

const Key32& root() {
  static const Key32 r = [] {
    Key32 k{};
    k.fill(0x66);
    return k;
  }();
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView blob(data, size);
  const auto record = directory::read(root(), publisher(), blob);
  if (!record) return 0;
  fuzz::require(record->identity == publisher(), "a record names its publisher");
  const auto plaintext =
      crypto::open(directory::dir_key(root(), publisher()), crypto::NonceView(blob.first<12>()),
                   as_bytes(labels::kDirectoryRecordData), blob.subspan(12));
  fuzz::require(plaintext && plaintext->size() >= 64, "a record comes from an authentic blob");
  const auto body = record->to_bytes();
  fuzz::require(body && *body == Bytes(plaintext->begin(), plaintext->end() - 64),
                "the record is the body the blob holds");
  return 0;
}
