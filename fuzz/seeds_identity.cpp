#include "corpus.hpp"
#include "fuzz_support.hpp"
#include "vostrel/identity.hpp"

namespace vostrel::fuzz {
namespace {

Seeds identity_seeds() {
  const identity::Identity id = identity::Identity::generate();
  Key32 seed{};
  os_random(seed);
  return {id.to_encrypted(fixed_key()), Bytes(seed.begin(), seed.end()), Bytes(31, 1),
          Bytes(33, 2)};
}

// identity_verify: mode 0, key . signature . message; mode 1, a bit index . message signed by the
// target's own identity.
Bytes raw_case(ByteView key, ByteView signature, ByteView message) {
  Bytes out{0};
  put_bytes(out, key);
  put_bytes(out, signature);
  put_bytes(out, message);
  return out;
}

Seeds verify_seeds() {
  const identity::Identity id = identity::Identity::generate();
  const ByteView message = as_bytes("attach this to the handshake transcript");
  const identity::Signature signature = id.sign(message);
  // A small-order key with R of small order and S = 0: the ordinary mode takes it for any message.
  Bytes small_order(32, 0);
  small_order[0] = 1;
  Bytes weak_signature(64, 0);
  weak_signature[0] = 1;
  // S equal to the group order L: refused.
  identity::Signature high_s = signature;
  const ByteArray<32> order = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                               0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                               0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
  std::copy(order.begin(), order.end(), high_s.begin() + 32);
  Bytes flip{1, 0x00, 0x07};
  put_bytes(flip, message);
  Bytes keep{1, 0x03, 0xff};
  put_bytes(keep, message);
  return {raw_case(id.public_key(), signature, message),
          raw_case(small_order, weak_signature, message),
          raw_case(id.public_key(), high_s, message), flip, keep};
}

const SeedRegistration identity_registration{"identity", identity_seeds};
const SeedRegistration verify_registration{"identity_verify", verify_seeds};

}  // namespace
}  // namespace vostrel::fuzz
