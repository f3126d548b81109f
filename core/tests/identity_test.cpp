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

TEST(identity, verify_accepts_what_only_the_strict_mode_refuses) {
  // Each good in the ordinary mode (OpenSSL's check accepts it); libsodium's stricter check refuses
  // all but the first.
  struct Case {
    const char* what;
    const char* key;
    const char* signature;
  };
  const Case cases[] = {
      {"a mixed-order key and R",
       "477e0d43280c456377a47a0959cf320aba01911cdf63ecee6abab890ea6ad1a6",
       "43cd431c276c3c3acb84364a3ec95d151bee6301d7b5f10fb2a28f8756a3520f"
       "a4e1d57a26e409f73945de7badcb8e1d64d636620d30ec238ab8c12b70967a06"},
      {"a key of order 8", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
       "e77328f42761605fd67377b10097047ac99afe913b590d0ee9299139510b1a96"
       "56dd4e3d53eb52a93c8e27e8214db7942ddf5083382ff00321896b199f2def06"},
      {"its negation", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
       "58dcb3cc34c972859afbe75da11507c5d1ea9f63951ef8138acf0753a5e6dd19"
       "9d26885d886462d832c7c9b08007bf1756e781c75a24350358ef584180292d02"},
      {"a mixed-order key, R of order 8",
       "665df93c551e71bc97585b6e24f823521c52030658cf1afffb4774ece23ad987",
       "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a"
       "4366ca487ed0d21c2423cf456b28c8fbd10bd7974aff67bbe6e0e7440f66e60c"},
      {"the neutral point as R", "23c7a882d4ff307448c724e15809e00a6b762127eb5b6badea24c4a12c880ae4",
       "0100000000000000000000000000000000000000000000000000000000000000"
       "e9d2684862cf564d700898f4bf3de9c8a1b43ad23aa674a8116f78c6cb917007"},
      {"the neutral point as key, y = p + 1",
       "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
       "6c0d702d804aa228e83e9cc14ddcc52032c2abf5a2db45ffd04eee9a93f9a2f8"
       "c00d76df503650ba473b15a63e9fe9da5f0125a663ac43245127fbbe8a2d3f09"},
      {"the neutral point as key, x = -0",
       "0100000000000000000000000000000000000000000000000000000000000080",
       "99409d525b8d480321e046fdf2c0c594bd4dd08f124d646e73c66cf496e03a94"
       "57be133b52877e46dca455c274e799424c6e0731b7ad041e886afbb3e6128b01"},
  };
  const ByteView message = as_bytes("vostrel");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto key = test::hex_array<32>(c.key);
    const auto signature = test::hex_array<64>(c.signature);
    EXPECT_TRUE(verify(key, message, signature));
    for (const std::size_t flipped : {std::size_t{0}, std::size_t{40}}) {
      Signature changed = signature;
      changed[flipped] ^= 0x01;
      EXPECT_FALSE(verify(key, message, changed)) << "byte " << flipped << " changed";
    }
  }
}
