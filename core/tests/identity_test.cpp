#include "vostrel/identity.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"

using namespace vostrel;
using namespace vostrel::identity;
using vostrel::test::filled;

namespace {
const Key32 kStorageKey = filled<32>(0x5E);
}

TEST(identity, sign_and_verify_roundtrip) {
  const Identity signer = Identity::generate();
  const Identity other = Identity::generate();
  const ByteView text = as_bytes("attach this to the handshake transcript");
  const Signature signature = signer.sign(text);
  ASSERT_TRUE(verify(signer.public_key(), text, signature));
  ASSERT_FALSE(verify(signer.public_key(), as_bytes("tampered transcript"), signature));
  ASSERT_FALSE(verify(other.public_key(), text, signature));
  EXPECT_EQ(signer.sign(text), signature);
}

TEST(identity, wrong_storage_key_or_tamper_is_rejected) {
  const Identity id = Identity::generate();
  Bytes blob = id.to_encrypted(kStorageKey);
  ASSERT_FALSE(Identity::from_encrypted(filled<32>(0x5F), blob).has_value());
  blob[0] ^= 0x01;
  ASSERT_FALSE(Identity::from_encrypted(kStorageKey, blob).has_value());
}

TEST(identity, at_rest_encryption_roundtrip_and_persistence) {
  const Identity id = Identity::generate();
  const Bytes blob = id.to_encrypted(kStorageKey);
  auto opened = Identity::from_encrypted(kStorageKey, blob);
  if (!opened) throw Panic("decrypts with right key");
  ASSERT_TRUE(opened->public_key() == id.public_key()) << "identity persists across save/load";
  ASSERT_TRUE(verify(opened->public_key(), as_bytes("hi"), opened->sign(as_bytes("hi"))));
}

TEST(identity, blob_has_exact_size_and_opens_only_whole) {
  const Identity id = Identity::generate();
  const Bytes blob = id.to_encrypted(kStorageKey);
  ASSERT_EQ(blob.size(), kEncryptedIdentityBytes);
  EXPECT_EQ(id.to_encrypted(kStorageKey), blob);
  EXPECT_FALSE(Identity::from_encrypted(kStorageKey, ByteView(blob).first(47)));
  Bytes longer = blob;
  longer.push_back(0);
  EXPECT_FALSE(Identity::from_encrypted(kStorageKey, longer));
  // A correctly sealed plaintext of another length is refused too.
  const Bytes wrong_length = crypto::seal(kStorageKey, crypto::kAtRestNonce,
                                          as_bytes(labels::kIdentityAtRest), Bytes(31, 1));
  EXPECT_FALSE(Identity::from_encrypted(kStorageKey, wrong_length));
  auto opened = Identity::from_encrypted(kStorageKey, blob);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->sign(as_bytes("same")), id.sign(as_bytes("same")));
}

TEST(identity, verify_is_ordinary_non_strict_ed25519) {
  const Identity id = Identity::generate();
  const ByteView message = as_bytes("message");
  Signature signature = id.sign(message);

  // y = 2 gives x^2 = 3/(d*4+1), not a square: the 32 bytes name no curve point.
  Key32 not_a_point{};
  not_a_point[0] = 2;
  EXPECT_FALSE(verify(not_a_point, message, signature));

  // S + L, and S = L itself, are not below the group order.
  static constexpr ByteArray<32> kGroupOrder = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                                0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
  Signature plus_order = signature;
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    const unsigned sum = plus_order[32 + i] + kGroupOrder[i] + carry;
    plus_order[32 + i] = static_cast<std::uint8_t>(sum);
    carry = sum >> 8;
  }
  EXPECT_FALSE(verify(id.public_key(), message, plus_order));
  Signature s_is_order = signature;
  std::copy(kGroupOrder.begin(), kGroupOrder.end(), s_is_order.begin() + 32);
  EXPECT_FALSE(verify(id.public_key(), message, s_is_order));

  // The identity point as key and R, with S = 0, verifies over any message in the non-strict mode.
  Key32 identity_point{};
  identity_point[0] = 1;
  Signature small_order{};
  small_order[0] = 1;
  EXPECT_TRUE(verify(identity_point, as_bytes("any message"), small_order));
  EXPECT_TRUE(verify(identity_point, {}, small_order));
}
