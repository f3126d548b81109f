// open_bundle on fuzzed blobs, and on blobs sealed under the right key and nonce from fuzzed
// plaintexts, so the parser and the nonce check behind the tag are reached.
#include "offline_fixture.hpp"

using namespace vostrel;
using namespace vostrel::fuzz::offline_fixture;
using vostrel::fuzz::require;

namespace {

Bytes blob_of(const crypto::Nonce12& nonce, ByteView plaintext) {
  Bytes blob(nonce.begin(), nonce.end());
  put_bytes(blob, crypto::seal(seal_key(), nonce, {}, plaintext));
  return blob;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  if (const auto bundle = offline::open_bundle(seal_key(), input))
    require(offline::seal_bundle(seal_key(), *bundle) == Bytes(input.begin(), input.end()),
            "an opened bundle seals to the same blob");

  ByteArray<16> id{};
  std::copy_n(input.begin(), std::min(input.size(), id.size()), id.begin());
  const crypto::Nonce12 nonce = bundle_nonce(id);
  const Bytes blob = blob_of(nonce, input);
  const auto opened = offline::open_bundle(seal_key(), blob);
  require(opened.has_value() == (size == prekey::kBundleBytes),
          "a sealed plaintext opens exactly when it is a whole bundle");
  if (!opened) return 0;
  require(opened->to_bytes() == Bytes(input.begin(), input.end()),
          "an opened bundle is the sealed plaintext");
  require(offline::seal_bundle(seal_key(), *opened) == blob,
          "an opened bundle seals to the same blob");
  crypto::Nonce12 other = nonce;
  other[input[0] % other.size()] ^= static_cast<std::uint8_t>(1u << (input[1] % 8));
  require(!offline::open_bundle(seal_key(), blob_of(other, input)),
          "a bundle sealed under another nonce is refused");
  return 0;
}
