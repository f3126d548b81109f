#include "vostrel/crypto.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "test_support.hpp"
#include "vostrel/internal/crypto_steps.hpp"
#include "vostrel/labels.hpp"

using namespace vostrel;
using namespace vostrel::crypto;
using vostrel::test::filled;
using vostrel::test::hex;
using vostrel::test::hex_array;

namespace {

const Key32 kTestKey = filled<32>(0x42);
const Nonce12 kTestNonce = filled<12>(0x07);

std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  std::size_t start = 0;
  for (std::size_t space = text.find(' '); space != std::string::npos;
       space = text.find(' ', start)) {
    words.push_back(text.substr(start, space - start));
    start = space + 1;
  }
  words.push_back(text.substr(start));
  return words;
}

}  // namespace

// --- secret types ---

TEST(crypto, secret_types_zero_on_move_and_release) {
  alignas(Secret32) unsigned char storage32[sizeof(Secret32)];
  auto* secret = new (storage32) Secret32(filled<32>(0xAB));
  secret->~Secret32();
  for (unsigned char b : storage32) ASSERT_EQ(b, 0);

  alignas(HybridSecret) unsigned char storage64[sizeof(HybridSecret)];
  auto* hybrid = new (storage64) HybridSecret(filled<32>(1), filled<32>(2));
  EXPECT_EQ(hybrid->bytes()[0], 1);
  EXPECT_EQ(hybrid->bytes()[63], 2);
  hybrid->~HybridSecret();
  for (unsigned char b : storage64) ASSERT_EQ(b, 0);

  Secret32 from(filled<32>(0x11));
  Secret32 to(std::move(from));
  EXPECT_EQ(to.bytes(), filled<32>(0x11));
  EXPECT_EQ(from.bytes(),
            Key32{});  // NOLINT(bugprone-use-after-move): the moved-from value is zeroed
}

TEST(crypto, secret_bytes_zeroes_whole_capacity) {
  SecretBytes truncated;
  truncated.reserve(48);
  for (int i = 0; i < 48; ++i) truncated.push_back(0xCC);
  truncated.resize(32);
  ASSERT_EQ(truncated.capacity(), 48u);
  vostrel::test::SecretBytesProbe::zero_all(truncated);
  EXPECT_EQ(truncated.size(), 0u);
  const std::uint8_t* storage = vostrel::test::SecretBytesProbe::storage(truncated);
  for (std::size_t i = 0; i < 48; ++i) ASSERT_EQ(storage[i], 0) << "byte " << i;

  SecretBytes empty_with_room;
  empty_with_room.reserve(100);
  std::uint8_t* raw = empty_with_room.mutable_view().data();
  (void)raw;
  vostrel::test::SecretBytesProbe::zero_all(empty_with_room);
  ASSERT_EQ(empty_with_room.capacity(), 100u);
  for (std::size_t i = 0; i < 100; ++i)
    ASSERT_EQ(vostrel::test::SecretBytesProbe::storage(empty_with_room)[i], 0);

  SecretBytes nothing;
  EXPECT_EQ(nothing.capacity(), 0u);  // released with no write and no free
}

TEST(crypto, secrets_are_wiped_while_a_panic_unwinds) {
  alignas(Secret32) unsigned char storage[sizeof(Secret32)];
  struct Destroy {
    Secret32* secret;
    ~Destroy() { secret->~Secret32(); }
  };
  EXPECT_THROW(
      {
        Destroy guard{new (storage) Secret32(filled<32>(0x5A))};
        throw Panic("stop");
      },
      Panic);
  for (unsigned char b : storage) ASSERT_EQ(b, 0);
  EXPECT_STREQ(Panic("exact text").what(), "exact text");
}

// --- authenticated encryption ---

TEST(crypto, aead_roundtrip_and_tamper_detection) {
  const Bytes text = vostrel::test::bytes_of("hello over Tor");
  const ByteView ad = as_bytes("vostrel/v1");
  const Bytes sealed = seal(kTestKey, kTestNonce, ad, text);
  ASSERT_EQ(open(kTestKey, kTestNonce, ad, sealed), std::optional<Bytes>(text));

  Bytes flipped = sealed;
  flipped[0] ^= 0x01;
  ASSERT_FALSE(open(kTestKey, kTestNonce, ad, flipped).has_value());
  ASSERT_FALSE(open(Key32{}, kTestNonce, ad, sealed).has_value());
  ASSERT_FALSE(open(kTestKey, kTestNonce, as_bytes("other"), sealed).has_value());
}

TEST(crypto, chacha20poly1305_rfc8439_kat) {
  const Key32 key =
      hex_array<32>("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
  const Nonce12 nonce = hex_array<12>("070000004041424344454647");
  const Bytes ad = hex("50515253c0c1c2c3c4c5c6c7");
  const Bytes plaintext =
      hex("4c616469657320616e642047656e746c656d656e206f662074686520636c617373206f66202739393a204966"
          "204920"
          "636f756c64206f6666657220796f75206f6e6c79206f6e652074697020666f7220746865206675747572652c"
          "207375"
          "6e73637265656e20776f756c642062652069742e");
  const Bytes expected =
      hex("d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69"
          "da9272"
          "8b1a71de0a9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad67594558580"
          "8b4831"
          "d7bc3ff4def08e4b7a9de576d26586cec64b6116"
          "1ae10b594f09e26a7e902ecbd0600691");
  const Bytes sealed = seal(key, nonce, ad, plaintext);
  ASSERT_TRUE(sealed == expected) << "matches RFC 8439 KAT";
  ASSERT_EQ(open(key, nonce, ad, sealed), std::optional<Bytes>(plaintext));
}

TEST(crypto, open_refuses_short_altered_and_misplaced_input) {
  const ByteView ad = as_bytes("vostrel/v1");
  const Bytes sealed = seal(kTestKey, kTestNonce, ad, vostrel::test::bytes_of("payload"));
  for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
    Bytes changed = sealed;
    changed[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    ASSERT_FALSE(open(kTestKey, kTestNonce, ad, changed)) << "bit " << bit;
  }
  for (std::size_t size : {0u, 15u, 16u}) {
    ASSERT_FALSE(open(kTestKey, kTestNonce, ad, Bytes(size, 0))) << size << " zero bytes";
  }
  Bytes extended = sealed;
  extended.push_back(0);
  EXPECT_FALSE(open(kTestKey, kTestNonce, ad, extended));
  EXPECT_FALSE(open(kTestKey, kTestNonce, ad, ByteView(sealed).first(sealed.size() - 1)));
  EXPECT_FALSE(open(kTestKey, filled<12>(0x08), ad, sealed));

  const Bytes at_rest =
      seal(kTestKey, kAtRestNonce, as_bytes(labels::kIdentityAtRest), Bytes(32, 9));
  EXPECT_FALSE(open(kTestKey, kAtRestNonce, as_bytes(labels::kContactsAtRest), at_rest));
}

TEST(crypto, open_into_verifies_the_whole_tag_then_decrypts_a_prefix) {
  const ByteView ad = as_bytes("vostrel/v1");
  Bytes text(100);
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const Bytes sealed = seal(kTestKey, kTestNonce, ad, text);
  // Prefixes end inside the first block, at its end, one past it and at the whole ciphertext.
  for (const std::size_t length : {0u, 1u, 63u, 64u, 65u, 100u}) {
    Bytes out(length, 0xEE);
    ASSERT_TRUE(open_into(kTestKey, kTestNonce, ad, sealed, out)) << length;
    EXPECT_TRUE(std::equal(out.begin(), out.end(), text.begin())) << length;
  }
  // The tag covers bytes that are never decrypted; a refusal writes nothing.
  Bytes late_change = sealed;
  late_change[99] ^= 0x01;
  Bytes wrong_tag = sealed;
  wrong_tag.back() ^= 0x80;
  for (const Bytes& refused : {late_change, wrong_tag}) {
    Bytes out(10, 0xEE);
    EXPECT_FALSE(open_into(kTestKey, kTestNonce, ad, refused, out));
    EXPECT_EQ(out, Bytes(10, 0xEE));
  }
  Bytes too_long(101, 0xEE);
  EXPECT_FALSE(open_into(kTestKey, kTestNonce, ad, sealed, too_long));
  EXPECT_EQ(too_long, Bytes(101, 0xEE));
  Bytes none;
  EXPECT_FALSE(open_into(kTestKey, kTestNonce, ad, ByteView(sealed).first(15), none));
}

// One kept context across keys, nonces, sizes and a refusal gives the one-shot bytes each time;
// split associated data authenticates as its concatenation.
TEST(crypto, a_kept_aead_context_matches_the_one_shot_calls) {
  AeadContext kept;
  const ByteView ad = as_bytes("vostrel/v1 header");
  const ByteView whole[] = {ad};
  const ByteView split[] = {ad.first(3), {}, ad.subspan(3)};
  // Short plaintexts take another path than long ones; 448 bytes is the last short one.
  for (const std::size_t length : {0u, 1u, 64u, 100u, 448u, 449u, 1000u}) {
    const Key32 key = filled<32>(static_cast<std::uint8_t>(length));
    const Bytes text(length, 0x42);
    const Bytes sealed = seal(key, kTestNonce, ad, text);
    ASSERT_EQ(kept.seal(key, kTestNonce, whole, text), sealed) << length;
    ASSERT_EQ(kept.seal(key, kTestNonce, split, text), sealed) << length;
    Bytes forged = sealed;
    forged.back() ^= 0x01;
    EXPECT_FALSE(kept.open(key, kTestNonce, split, forged)) << length;
    EXPECT_EQ(kept.open(key, kTestNonce, split, sealed), text) << length;
  }
  // A moved-from context holds nothing and works afresh.
  AeadContext moved = std::move(kept);
  const Bytes sealed = seal(kTestKey, kTestNonce, ad, Bytes(5, 1));
  EXPECT_EQ(kept.open(kTestKey, kTestNonce, whole, sealed), Bytes(5, 1));
  EXPECT_EQ(moved.open(kTestKey, kTestNonce, whole, sealed), Bytes(5, 1));
}

TEST(crypto, ct_equal_compares_every_byte_and_the_lengths) {
  const Bytes base(16, 0x5A);
  EXPECT_TRUE(ct_equal(base, Bytes(16, 0x5A)));
  EXPECT_TRUE(ct_equal({}, {}));
  for (std::size_t at : {0u, 7u, 15u}) {
    Bytes changed = base;
    changed[at] ^= 0x80;
    EXPECT_FALSE(ct_equal(base, changed)) << "byte " << at;
  }
  EXPECT_FALSE(ct_equal(base, ByteView(base).first(15)));
  EXPECT_FALSE(ct_equal({}, base));
}

TEST(crypto, seal_is_deterministic_and_handles_empty_plaintext) {
  const Bytes tag_only = seal(kTestKey, kTestNonce, {}, {});
  ASSERT_EQ(tag_only.size(), kTagBytes);
  EXPECT_EQ(open(kTestKey, kTestNonce, {}, tag_only), std::optional<Bytes>(Bytes{}));
  const Bytes long_text(100'000, 0x3C);
  EXPECT_EQ(seal(kTestKey, kTestNonce, as_bytes("ad"), long_text),
            seal(kTestKey, kTestNonce, as_bytes("ad"), long_text));
  EXPECT_EQ(open(kTestKey, kTestNonce, as_bytes("ad"),
                 seal(kTestKey, kTestNonce, as_bytes("ad"), long_text)),
            std::optional<Bytes>(long_text));
}

// --- key derivation and SAS ---

TEST(crypto, sas_is_deterministic_and_distinguishes_keys) {
  const std::string first = sas(filled<32>(0x01));
  const std::string again = sas(filled<32>(0x01));
  const std::string other = sas(filled<32>(0x02));
  ASSERT_EQ(first, again) << "same key → same SAS (both peers agree)";
  ASSERT_NE(first, other) << "different key → different SAS (MITM would differ)";
  ASSERT_EQ(split_words(first).size(), 8u);
}

TEST(crypto, sas_known_answers) {
  // k[0..3] = 5b d2 fd 9c and 85 88 88 58.
  EXPECT_EQ(sas(filled<32>(0xAA)), "⚓ 🎸 🧭 🌊 🐳 🧭 🎲 🍎");
  Key32 key{};
  key[29] = 0x48;
  key[30] = 0xcc;
  key[31] = 0xdb;
  const std::string shortest = sas(key);
  EXPECT_EQ(shortest, "⭐ ⚓ ⭐ ⭐ ⭐ ⭐ ⚓ ⭐");
  EXPECT_EQ(shortest.size(), 31u);
  const Secret32 derived = derive_session_key(filled<32>(0xAA), as_bytes("sas"));
  EXPECT_EQ(derived.bytes()[0], 0x5B);
}

TEST(crypto, session_key_is_deterministic_and_binds_transcript) {
  const Bytes ikm = vostrel::test::bytes_of("0123456789");
  const Secret32 a1 = derive_session_key(ikm, as_bytes("transcript-A"));
  const Secret32 a2 = derive_session_key(ikm, as_bytes("transcript-A"));
  const Secret32 b = derive_session_key(ikm, as_bytes("transcript-B"));
  ASSERT_TRUE(a1.bytes() == a2.bytes()) << "same inputs must give the same key";
  ASSERT_TRUE(a1.bytes() != b.bytes()) << "a different transcript must change the key";
}

TEST(crypto, derivations_match_rfc_constructions) {
  // RFC 4231 test case 2 for HMAC-SHA-256.
  EXPECT_EQ(hmac_sha256(as_bytes("Jefe"), {as_bytes("what do ya want "), as_bytes("for nothing?")}),
            hex_array<32>("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
  // RFC 4231 test case 6: a key longer than the block.
  EXPECT_EQ(hmac_sha256(Bytes(131, 0xaa),
                        {as_bytes("Test Using Larger Than Block-Size Key - Hash Key First")}),
            hex_array<32>("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"));
  // HKDF: the empty context gives the prefix alone as info.
  const Secret32 empty = derive_session_key(as_bytes("ikm"), {});
  const Key32 prk = hmac_sha256(Key32{}, {as_bytes("ikm")});
  const std::uint8_t one = 1;
  EXPECT_EQ(empty.bytes(), hmac_sha256(prk, {as_bytes(kHybridInfoPrefix), ByteView(&one, 1)}));
  const Nonce12 nonce = derive_nonce(kTestKey, {as_bytes("label")});
  const Key32 full = hmac_sha256(kTestKey, {as_bytes("label")});
  EXPECT_TRUE(std::equal(nonce.begin(), nonce.end(), full.begin()));
  EXPECT_EQ(sha256({}),
            hex_array<32>("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
}

TEST(crypto, sha256_copies_carry_the_midstate) {
  Sha256 prefix;
  prefix.update(as_bytes("ab"));
  Sha256 copied(prefix);
  copied.update(as_bytes("c"));
  EXPECT_EQ(copied.finish(),
            hex_array<32>("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  // Assigned into a hasher that has already finished once.
  copied = prefix;
  copied.update(as_bytes("cdef"));
  EXPECT_EQ(copied.finish(), sha256({as_bytes("abcdef")}));
  prefix.update(as_bytes("x"));
  EXPECT_EQ(prefix.finish(), sha256({as_bytes("abx")}));
  // A reset hasher forgets a half-hashed input and serves the next one.
  copied.update(as_bytes("half"));
  copied.reset();
  copied.update(as_bytes("abc"));
  EXPECT_EQ(copied.finish(), sha256({as_bytes("a"), as_bytes(""), as_bytes("bc")}));
}

TEST(crypto, hkdf_sha256_rfc5869_kats) {
  // Test cases 1 to 3: a salt and short info, long inputs over three blocks, no salt and no info.
  struct Case {
    Bytes ikm, salt, info, okm;
  };
  const auto counting = [](std::uint8_t first, std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
    return out;
  };
  const std::vector<Case> cases = {
      {Bytes(22, 0x0b), counting(0x00, 13), counting(0xf0, 10),
       hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865")},
      {counting(0x00, 80), counting(0x60, 80), counting(0xb0, 80),
       hex("b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c"
           "6"
           "5e590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87")},
      {Bytes(22, 0x0b),
       {},
       {},
       hex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d"
           "201395faa4b61a96c8")},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    Bytes okm(c.okm.size());
    hkdf_sha256(c.salt, c.ikm, {c.info}, okm);
    EXPECT_EQ(okm, c.okm) << "case " << i + 1;
    // The info may come in pieces, and a shorter output is a prefix of the longer one.
    Bytes pieces(33);
    hkdf_sha256(
        c.salt, c.ikm,
        {ByteView(c.info).first(c.info.size() / 2), ByteView(c.info).subspan(c.info.size() / 2)},
        pieces);
    EXPECT_TRUE(std::equal(pieces.begin(), pieces.end(), c.okm.begin())) << "case " << i + 1;
  }
  Bytes longest(kHkdfMaxOutputBytes);
  hkdf_sha256({}, Bytes(22, 0x0b), {}, longest);
  EXPECT_TRUE(std::equal(cases[2].okm.begin(), cases[2].okm.end(), longest.begin()));
  Bytes beyond(kHkdfMaxOutputBytes + 1);
  EXPECT_THROW(hkdf_sha256({}, Bytes(22, 0x0b), {}, beyond), Panic);
}

TEST(crypto, prepared_hmac_keys_match_the_one_shot_mac) {
  // Empty, short, a whole block and longer than a block (hashed first).
  for (const std::size_t key_size : {0u, 20u, 64u, 131u}) {
    const Bytes key(key_size, 0xaa);
    HmacKey prepared(key);
    for (const std::string_view message : {"", "a", "what do ya want for nothing?"}) {
      const auto expected = hmac_sha256(key, {as_bytes(message)});
      EXPECT_EQ(prepared.mac({as_bytes(message)}), expected) << key_size << " " << message;
      Key32 into{};
      prepared.mac_into(into, {as_bytes(message).first(message.size() / 2),
                               as_bytes(message).subspan(message.size() / 2)});
      EXPECT_EQ(into, expected) << key_size << " " << message;
    }
    Key32 last{};
    prepared.last_mac_into(last, {as_bytes("final")});
    EXPECT_EQ(last, hmac_sha256(key, {as_bytes("final")}));
    try {
      (void)prepared.mac({as_bytes("again")});
      ADD_FAILURE() << "a spent key must stop";
    } catch (const Panic& stop) {
      EXPECT_STREQ(stop.what(), "HMAC key used after its last MAC");
    }
    // Re-keyed, the same contexts serve another key.
    prepared.rekey(kTestKey);
    EXPECT_EQ(prepared.mac({as_bytes("again")}), hmac_sha256(kTestKey, {as_bytes("again")}));
  }
  // RFC 4231 test case 6 through a prepared key.
  HmacKey long_key(Bytes(131, 0xaa));
  EXPECT_EQ(long_key.mac({as_bytes("Test Using Larger Than Block-Size Key - Hash Key First")}),
            hex_array<32>("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"));
}

TEST(crypto, hkdf_in_steps_matches_hkdf_whole) {
  const Bytes ikm(22, 0x0b);
  const Bytes salt = hex("000102030405060708090a0b0c");
  const Bytes info = hex("f0f1f2f3f4f5f6f7f8f9");
  for (const Bytes& used_salt : {Bytes{}, salt}) {
    Bytes whole(42);
    hkdf_sha256(used_salt, ikm, {info}, whole);
    HmacKey prk = hkdf_extract(used_salt, ikm);
    Bytes stepped(42);
    hkdf_expand(prk, {info}, stepped);
    EXPECT_EQ(stepped, whole);
    // Extracting into a key that has served, and is spent, re-keys it.
    HmacKey reused(kTestKey);
    Key32 spent{};
    reused.last_mac_into(spent, {});
    hkdf_extract(reused, used_salt, ikm);
    Bytes again(42);
    hkdf_expand(reused, {info}, again);
    EXPECT_EQ(again, whole);
  }
}

// --- X25519 ---

TEST(crypto, x25519_dh_agrees) {
  const Key32 a = filled<32>(0x11), b = filled<32>(0x22);
  ASSERT_EQ(x25519(a, x25519_public(b)).bytes(), x25519(b, x25519_public(a)).bytes());
}

TEST(crypto, x25519_rfc7748_kat) {
  const Key32 scalar =
      hex_array<32>("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
  const Key32 u = hex_array<32>("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c");
  const Key32 expected =
      hex_array<32>("c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552");
  ASSERT_TRUE(x25519(scalar, u).bytes() == expected) << "matches RFC 7748 KAT";
}

TEST(crypto, distinct_pairs_yield_distinct_keys) {
  const Key32 a = filled<32>(0x31), b = filled<32>(0x32), c = filled<32>(0x33);
  ASSERT_NE(x25519(a, x25519_public(b)).bytes(), x25519(a, x25519_public(c)).bytes());
}

TEST(crypto, end_to_end_x25519_then_aead) {
  const Key32 a = filled<32>(0x41), b = filled<32>(0x42);
  const Secret32 key_a = derive_session_key(x25519(a, x25519_public(b)).view(), as_bytes("AB"));
  const Secret32 key_b = derive_session_key(x25519(b, x25519_public(a)).view(), as_bytes("AB"));
  ASSERT_EQ(key_a.bytes(), key_b.bytes());
  const Bytes sealed = seal(key_a.view(), Nonce12{}, {}, as_bytes("secret message"));
  ASSERT_EQ(open(key_b.view(), Nonce12{}, {}, sealed),
            std::optional<Bytes>(vostrel::test::bytes_of("secret message")));
}

TEST(crypto, clamping_and_small_order_peers) {
  const Key32 ones = clamp_scalar(filled<32>(0xFF));
  EXPECT_EQ(ones[0], 0xF8);
  EXPECT_EQ(ones[31], 0x7F);
  const Key32 zeros = clamp_scalar(Key32{});
  EXPECT_EQ(zeros[0], 0x00);
  EXPECT_EQ(zeros[31], 0x40);

  Key32 secret = filled<32>(0x5C);
  const Key32 base = x25519_public(secret);
  secret[0] ^= 0x07;
  EXPECT_EQ(x25519_public(secret), base);
  secret[31] ^= 0xC0;
  EXPECT_EQ(x25519_public(secret), base);
  EXPECT_EQ(secret[31], 0x5C ^ 0xC0);  // the stored secret is never changed

  EXPECT_EQ(x25519(filled<32>(0x77), Key32{}).bytes(), Key32{});
}

TEST(crypto, hybrid_key_binds_order_and_context) {
  const Secret32 classical(filled<32>(0x01));
  const Key32 post_quantum = filled<32>(0x02);
  const Secret32 key = hybrid_key(classical, post_quantum, as_bytes("ctx"));
  const HybridSecret joined(classical.view(), post_quantum);
  EXPECT_EQ(key.bytes(), derive_session_key(joined.view(), as_bytes("ctx")).bytes());
  const Secret32 swapped(post_quantum);
  EXPECT_NE(key.bytes(), hybrid_key(swapped, classical.bytes(), as_bytes("ctx")).bytes());
  EXPECT_NE(key.bytes(), hybrid_key(classical, post_quantum, as_bytes("other")).bytes());
}
