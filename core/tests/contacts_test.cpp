#include "vostrel/contacts.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"

using namespace vostrel;
using namespace vostrel::contacts;
using vostrel::test::filled;

namespace {

const Key32 kStorageKey = filled<32>(0x5C);
const Key32 kKeyA = filled<32>(0xA1);
const Key32 kKeyB = filled<32>(0xB2);
const Key32 kRootA = filled<32>(0x0A);
const Key32 kRootB = filled<32>(0x0B);

// A stored-form entry written by hand, for plaintexts that `to_encrypted` would never make.
Bytes entry(std::string_view name, const Key32& key, std::uint8_t verified,
            std::optional<Key32> root) {
  Bytes out;
  put_be(out, static_cast<std::uint16_t>(name.size()));
  put_bytes(out, as_bytes(name));
  put_bytes(out, key);
  out.push_back(verified);
  out.push_back(root ? 0x01 : 0x00);
  if (root) put_bytes(out, *root);
  return out;
}

Bytes seal_plaintext(ByteView plaintext) {
  return crypto::seal(kStorageKey, crypto::kAtRestNonce, as_bytes(labels::kContactsAtRest),
                      plaintext);
}

std::optional<Contacts> load_plaintext(ByteView plaintext) {
  return Contacts::from_encrypted(kStorageKey, seal_plaintext(plaintext));
}

Contacts reload(const Contacts& book) {
  auto loaded = Contacts::from_encrypted(kStorageKey, book.to_encrypted(kStorageKey));
  if (!loaded) throw Panic("decrypts");
  return std::move(*loaded);
}

}  // namespace

TEST(contacts, pins_on_first_contact_then_recognises_and_detects_change) {
  Contacts book;
  ASSERT_EQ(book.observe("alice", kKeyA), PinStatus::New());
  ASSERT_FALSE(book.is_verified("alice")) << "new contacts start unverified";
  ASSERT_EQ(book.observe("alice", kKeyA), PinStatus::Known());
  ASSERT_EQ(book.observe("alice", kKeyB), PinStatus::Changed(kKeyA));
  ASSERT_EQ(book.key("alice"), kKeyA) << "Changed does not overwrite";
}

TEST(contacts, mark_verified_works_and_persists) {
  Contacts book;
  ASSERT_EQ(book.observe("bob", kKeyB), PinStatus::New());
  ASSERT_FALSE(book.is_verified("bob")) << "is_verified(bob) before mark_verified";
  ASSERT_TRUE(book.mark_verified("bob")) << "mark_verified(bob)";
  ASSERT_TRUE(book.is_verified("bob")) << "is_verified(bob) after mark_verified";
  ASSERT_FALSE(book.mark_verified("nobody")) << "can't verify an unknown contact";
  auto loaded = Contacts::from_encrypted(kStorageKey, book.to_encrypted(kStorageKey));
  ASSERT_TRUE(loaded) << "decrypts";
  ASSERT_TRUE(loaded->is_verified("bob")) << "verified status persists";
  ASSERT_EQ(loaded->key("bob"), kKeyB);
}

TEST(contacts, rotate_identity_repins_keeping_root_and_verified) {
  Contacts book;
  ASSERT_EQ(book.observe("alice", kKeyA), PinStatus::New());
  ASSERT_TRUE(book.establish_root("alice", kRootA));
  ASSERT_TRUE(book.mark_verified("alice"));
  ASSERT_TRUE(book.rotate_identity("alice", kKeyB)) << "rotate_identity(alice)";
  ASSERT_EQ(book.key("alice"), kKeyB) << "pin moved to the new key";
  ASSERT_EQ(book.root("alice"), kRootA) << "pairwise root preserved";
  ASSERT_TRUE(book.is_verified("alice")) << "verified status preserved (old key vouched)";
  ASSERT_FALSE(book.rotate_identity("nobody", kKeyB)) << "unknown contact not rotated";
}

TEST(contacts, pairwise_root_establishes_once_and_persists) {
  Contacts book;
  ASSERT_EQ(book.observe("alice", kKeyA), PinStatus::New());
  ASSERT_FALSE(book.root("alice")) << "no root until established";
  ASSERT_TRUE(book.establish_root("alice", kRootA)) << "first establish succeeds";
  ASSERT_EQ(book.root("alice"), kRootA);
  ASSERT_FALSE(book.establish_root("alice", kRootB));
  ASSERT_EQ(book.root("alice"), kRootA) << "root is frozen after first establish";
  ASSERT_FALSE(book.establish_root("nobody", kRootB)) << "establish_root(nobody)";
  auto loaded = Contacts::from_encrypted(kStorageKey, book.to_encrypted(kStorageKey));
  ASSERT_TRUE(loaded) << "decrypts";
  ASSERT_EQ(loaded->root("alice"), kRootA) << "root persists across save/load";
}

TEST(contacts, mixed_root_and_no_root_entries_roundtrip) {
  Contacts book;
  ASSERT_EQ(book.observe("has_root", kKeyA), PinStatus::New());
  ASSERT_EQ(book.observe("no_root", kKeyB), PinStatus::New());
  ASSERT_TRUE(book.establish_root("has_root", kRootA));
  auto loaded = Contacts::from_encrypted(kStorageKey, book.to_encrypted(kStorageKey));
  ASSERT_TRUE(loaded);
  ASSERT_EQ(loaded->root("has_root"), kRootA);
  ASSERT_FALSE(loaded->root("no_root"));
  ASSERT_EQ(loaded->key("no_root"), kKeyB);
}

TEST(contacts, wrong_key_or_tamper_is_rejected) {
  Contacts book;
  ASSERT_EQ(book.observe("x", kKeyA), PinStatus::New());
  Bytes blob = book.to_encrypted(kStorageKey);
  ASSERT_FALSE(Contacts::from_encrypted(filled<32>(0x5D), blob)) << "from_encrypted(other key)";
  blob[0] ^= 0x01;
  ASSERT_FALSE(Contacts::from_encrypted(kStorageKey, blob)) << "from_encrypted(flipped blob)";
}

TEST(contacts, unknown_names_change_nothing) {
  Contacts book;
  ASSERT_EQ(book.observe("alice", kKeyA), PinStatus::New());
  const Bytes before = book.to_encrypted(kStorageKey);
  EXPECT_FALSE(book.mark_verified("bob"));
  EXPECT_FALSE(book.establish_root("bob", kRootA));
  EXPECT_FALSE(book.rotate_identity("bob", kKeyB));
  EXPECT_FALSE(book.is_verified("bob"));
  EXPECT_FALSE(book.root("bob"));
  EXPECT_FALSE(book.key("bob"));
  EXPECT_EQ(book.observe("alice", kKeyB), PinStatus::Changed(kKeyA));
  EXPECT_EQ(book.to_encrypted(kStorageKey), before);
}

TEST(contacts, same_root_offered_again_is_refused) {
  Contacts book;
  ASSERT_EQ(book.observe("alice", kKeyA), PinStatus::New());
  ASSERT_TRUE(book.establish_root("alice", kRootA));
  EXPECT_FALSE(book.establish_root("alice", kRootA));
  EXPECT_EQ(book.root("alice"), kRootA);
}

TEST(contacts, old_key_after_rotation_is_changed) {
  Contacts book;
  ASSERT_EQ(book.observe("alice", kKeyA), PinStatus::New());
  ASSERT_TRUE(book.rotate_identity("alice", kKeyB));
  EXPECT_EQ(book.observe("alice", kKeyA), PinStatus::Changed(kKeyB));
  EXPECT_EQ(book.observe("alice", kKeyB), PinStatus::Known());
}

TEST(contacts, empty_book_is_the_version_byte_alone) {
  const Bytes blob = Contacts().to_encrypted(kStorageKey);
  EXPECT_EQ(blob, seal_plaintext(Bytes{0x01}));
  auto loaded = Contacts::from_encrypted(kStorageKey, blob);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->to_encrypted(kStorageKey), blob);
}

TEST(contacts, stored_form_is_exact_and_in_name_order) {
  Contacts book;
  ASSERT_EQ(book.observe("b", kKeyB), PinStatus::New());
  ASSERT_EQ(book.observe("ab", kKeyA), PinStatus::New());
  ASSERT_EQ(book.observe("a", kKeyA), PinStatus::New());
  ASSERT_EQ(book.observe("\xC3\xA9", kKeyA), PinStatus::New());  // above every ASCII name
  ASSERT_TRUE(book.establish_root("ab", kRootA));
  ASSERT_TRUE(book.mark_verified("b"));
  Bytes expected{0x01};
  for (const Bytes& e :
       {entry("a", kKeyA, 0, std::nullopt), entry("ab", kKeyA, 0, kRootA),
        entry("b", kKeyB, 1, std::nullopt), entry("\xC3\xA9", kKeyA, 0, std::nullopt)}) {
    put_bytes(expected, e);
  }
  EXPECT_EQ(book.to_encrypted(kStorageKey), seal_plaintext(expected));
}

TEST(contacts, names_of_zero_and_65535_bytes_roundtrip) {
  const std::string longest(kMaxNameBytes, 'n');
  Contacts book;
  ASSERT_EQ(book.observe("", kKeyA), PinStatus::New());
  ASSERT_EQ(book.observe(longest, kKeyB), PinStatus::New());
  ASSERT_TRUE(book.establish_root(longest, kRootB));
  const Contacts loaded = reload(book);
  EXPECT_EQ(loaded.key(""), kKeyA);
  EXPECT_EQ(loaded.key(longest), kKeyB);
  EXPECT_EQ(loaded.root(longest), kRootB);
}

TEST(contacts, names_the_stored_form_cannot_carry_are_refused) {
  Contacts book;
  ASSERT_EQ(book.observe("kept", kKeyA), PinStatus::New());
  const Bytes before = book.to_encrypted(kStorageKey);
  const std::string too_long(kMaxNameBytes + 1, 'n');
  EXPECT_EQ(book.observe(too_long, kKeyB), std::unexpected(NameError::TooLong));
  for (const std::string_view bad :
       {"\xFF", "\xC0\x80" /* overlong */, "\xED\xA0\x80" /* surrogate */,
        "\xF4\x90\x80\x80" /* above U+10FFFF */, "a\xE2\x82"}) {
    EXPECT_EQ(book.observe(bad, kKeyB), std::unexpected(NameError::NotUtf8));
  }
  EXPECT_FALSE(book.key(too_long));
  EXPECT_EQ(book.to_encrypted(kStorageKey), before);
  EXPECT_EQ(to_string(NameError::TooLong), "TooLong");
  EXPECT_EQ(book.observe("\xF0\x9F\x98\x80\xE2\x82\xAC", kKeyB), PinStatus::New());
}

TEST(contacts, malformed_plaintexts_are_refused) {
  const Bytes good = entry("ab", kKeyA, 1, kRootA);
  auto with_version = [](std::uint8_t version, const Bytes& body) {
    Bytes out{version};
    put_bytes(out, body);
    return out;
  };
  ASSERT_TRUE(load_plaintext(with_version(0x01, good)));
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"empty plaintext", Bytes{}},
      {"version 0x02", with_version(0x02, good)},
      {"version 0x00 of an empty book", Bytes{0x00}},
      {"verified byte 0x02", with_version(0x01, entry("ab", kKeyA, 2, std::nullopt))},
      {"root flag 0x02",
       [&] {
         Bytes p = with_version(0x01, entry("ab", kKeyA, 0, std::nullopt));
         p.back() = 0x02;
         put_bytes(p, kRootA);
         return p;
       }()},
      {"name not UTF-8", with_version(0x01, entry("\xFF", kKeyA, 0, std::nullopt))},
      {"one trailing byte",
       [&] {
         Bytes p = with_version(0x01, good);
         p.push_back(0x00);
         return p;
       }()},
      {"a trailing entry without its root flag",
       [&] {
         Bytes p = with_version(0x01, good);
         put_bytes(p, Bytes(35, 0x00));
         return p;
       }()},
  };
  for (const auto& [what, plaintext] : cases) {
    EXPECT_FALSE(load_plaintext(plaintext)) << what;
  }
  const Bytes whole = with_version(0x01, good);
  for (std::size_t cut = 2; cut < whole.size(); ++cut) {
    EXPECT_FALSE(load_plaintext(ByteView(whole).first(cut))) << "cut to " << cut << " bytes";
  }
}

TEST(contacts, a_name_stored_twice_loads_with_the_later_entry) {
  Bytes plaintext{0x01};
  put_bytes(plaintext, entry("dup", kKeyA, 1, kRootA));
  put_bytes(plaintext, entry("dup", kKeyB, 0, std::nullopt));
  auto loaded = load_plaintext(plaintext);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->key("dup"), kKeyB);
  EXPECT_FALSE(loaded->is_verified("dup"));
  EXPECT_FALSE(loaded->root("dup"));
  // Written again it holds one entry.
  Bytes once{0x01};
  put_bytes(once, entry("dup", kKeyB, 0, std::nullopt));
  EXPECT_EQ(loaded->to_encrypted(kStorageKey), seal_plaintext(once));
}

TEST(contacts, pin_status_text_names_the_variant) {
  EXPECT_EQ(to_string(PinStatus::New()), "New");
  EXPECT_EQ(to_string(PinStatus::Known()), "Known");
  std::string pinned_hex;
  for (int i = 0; i < 32; ++i) pinned_hex += "ab";
  EXPECT_EQ(to_string(PinStatus::Changed(filled<32>(0xAB))),
            "Changed { pinned: " + pinned_hex + " }");
}
