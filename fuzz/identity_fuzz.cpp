// Identity::from_encrypted on raw blobs and, behind the tag, on sealed fuzzed plaintexts.
#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/labels.hpp"

using namespace vostrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const Key32& key = fuzz::fixed_key();
  const auto raw = identity::Identity::from_encrypted(key, input);
  fuzz::require(!raw || size == identity::kEncryptedIdentityBytes, "only a 48-byte blob can open");

  const Bytes blob =
      crypto::seal(key, crypto::kAtRestNonce, as_bytes(labels::kIdentityAtRest), input);
  const auto opened = identity::Identity::from_encrypted(key, blob);
  fuzz::require(opened.has_value() == (size == 32),
                "a sealed plaintext opens exactly when it is 32 bytes");
  if (!opened) return 0;
  fuzz::require(opened->to_encrypted(key) == blob, "an opened identity seals to the same blob");
  const identity::Signature signature = opened->sign(input);
  fuzz::require(identity::verify(opened->public_key(), input, signature),
                "an opened identity signs under its recomputed public key");
  return 0;
}
