#include "vostrel/store.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <sstream>

#include "test_support.hpp"
#include "vostrel/crypto.hpp"

using namespace vostrel;
using namespace vostrel::store;
using vostrel::test::filled;
using vostrel::test::hex;

namespace {

const Key32 kStorageKey = filled<32>(0x33);
const Key32 kOtherKey = filled<32>(0x44);

// A blob of the stored format around any plaintext, for the parser's refusals.
Bytes seal_plaintext(ByteView plaintext) {
  return crypto::seal(kStorageKey, crypto::kAtRestNonce, as_bytes(kLogAtRestLabel), plaintext);
}

Bytes entry_bytes(std::uint8_t direction, std::uint64_t timestamp, ByteView text) {
  Bytes out{direction};
  put_be(out, timestamp);
  put_be(out, static_cast<std::uint32_t>(text.size()));
  put_bytes(out, text);
  return out;
}

}  // namespace

TEST(store, empty_log_roundtrips) {
  const MessageLog log;
  const Bytes blob = log.to_encrypted(kStorageKey);
  const auto opened = MessageLog::from_encrypted(kStorageKey, blob);
  ASSERT_TRUE(opened.has_value());
  EXPECT_TRUE(opened->entries().empty());
}

TEST(store, append_and_roundtrip_preserves_order_and_content) {
  MessageLog log;
  ASSERT_TRUE(log.append(Direction::Sent, 1000, "hi"));
  ASSERT_TRUE(log.append(Direction::Received, 1001, "hello \U0001F44B"));
  ASSERT_TRUE(log.append(Direction::Sent, 1002, "how are you?"));
  const Bytes blob = log.to_encrypted(kStorageKey);
  const auto opened = MessageLog::from_encrypted(kStorageKey, blob);
  ASSERT_TRUE(opened.has_value()) << "decrypts";
  const auto& entries = opened->entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].direction, Direction::Received);
  EXPECT_EQ(entries[1].timestamp, 1001u);
  EXPECT_EQ(entries[1].text, "hello \U0001F44B");
  EXPECT_EQ(entries[1].text.size(), 10u);
  EXPECT_EQ(entries[2].text, "how are you?");
  EXPECT_EQ(entries, log.entries());
}

TEST(store, wrong_key_or_tamper_is_rejected) {
  MessageLog log;
  ASSERT_TRUE(log.append(Direction::Sent, 5, "secret"));
  Bytes blob = log.to_encrypted(kStorageKey);
  ASSERT_FALSE(MessageLog::from_encrypted(kOtherKey, blob).has_value())
      << "MessageLog::from_encrypted(other_key, blob) must fail";
  blob[0] ^= 0x01;
  ASSERT_FALSE(MessageLog::from_encrypted(kStorageKey, blob).has_value())
      << "MessageLog::from_encrypted(key, tampered_blob) must fail";
}

TEST(store, blob_sizes_and_determinism) {
  EXPECT_EQ(MessageLog().to_encrypted(kStorageKey).size(), 16u);
  MessageLog log;
  ASSERT_TRUE(log.append(Direction::Received, 7, ""));
  const Bytes blob = log.to_encrypted(kStorageKey);
  EXPECT_EQ(blob.size(), 13u + 16u);
  EXPECT_EQ(blob, log.to_encrypted(kStorageKey));
  const Bytes expected_plaintext =
      hex("01"
          "0000000000000007"
          "00000000");
  EXPECT_EQ(blob, seal_plaintext(expected_plaintext));
  const auto opened = MessageLog::from_encrypted(kStorageKey, blob);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->entries(), log.entries());
}

TEST(store, every_changed_or_missing_byte_is_refused) {
  MessageLog log;
  ASSERT_TRUE(log.append(Direction::Sent, 1, "abc"));
  const Bytes blob = log.to_encrypted(kStorageKey);
  for (std::size_t i = 0; i < blob.size(); ++i) {
    Bytes changed = blob;
    changed[i] ^= 0x80;
    EXPECT_FALSE(MessageLog::from_encrypted(kStorageKey, changed)) << "byte " << i;
  }
  EXPECT_FALSE(MessageLog::from_encrypted(kStorageKey, ByteView(blob).first(blob.size() - 1)));
  EXPECT_FALSE(MessageLog::from_encrypted(kStorageKey, ByteView(blob).first(15)));
}

TEST(store, parser_refuses_malformed_plaintext) {
  const Bytes good = entry_bytes(0, 9, as_bytes("ok"));
  struct Case {
    const char* what;
    Bytes plaintext;
  };
  std::vector<Case> cases = {
      {"direction 0x02", entry_bytes(2, 9, as_bytes("ok"))},
      {"direction 0xFF", entry_bytes(0xFF, 9, as_bytes("ok"))},
      {"overlong encoding", entry_bytes(1, 9, hex("c0af"))},
      {"surrogate", entry_bytes(1, 9, hex("eda080"))},
      {"past U+10FFFF", entry_bytes(1, 9, hex("f4908080"))},
      {"lone continuation", entry_bytes(1, 9, hex("80"))},
      {"cut sequence", entry_bytes(1, 9, hex("e282"))},
  };
  Bytes past_end = good;
  past_end[12] = 3;  // claims three text bytes, two are present
  cases.push_back({"length past the end", past_end});
  Bytes huge_length = good;
  huge_length[9] = 0xFF;
  cases.push_back({"length near 2^32", huge_length});
  for (std::size_t extra = 1; extra <= 12; ++extra) {
    Bytes trailing = good;
    trailing.insert(trailing.end(), extra, 0);
    cases.push_back({"trailing bytes", trailing});
  }
  for (const Case& c : cases) {
    EXPECT_FALSE(MessageLog::from_encrypted(kStorageKey, seal_plaintext(c.plaintext)))
        << c.what << " (" << c.plaintext.size() << " bytes)";
  }

  Bytes two = good;
  put_bytes(two, entry_bytes(1, 10, hex("f48fbfbf")));  // U+10FFFF is the last valid one
  const auto opened = MessageLog::from_encrypted(kStorageKey, seal_plaintext(two));
  ASSERT_TRUE(opened.has_value());
  ASSERT_EQ(opened->entries().size(), 2u);
  EXPECT_EQ(opened->entries()[1].text, "\U0010FFFF");
}

TEST(store, append_refuses_text_that_would_not_load_back) {
  MessageLog log;
  ASSERT_TRUE(log.append(Direction::Sent, 1, "kept"));
  const std::vector<LogEntry> before = log.entries();
  EXPECT_FALSE(log.append(Direction::Sent, 2, "\xC3"));
  EXPECT_FALSE(log.append(Direction::Sent, 2, "\xED\xA0\x80"));
  EXPECT_FALSE(log.append(static_cast<Direction>(2), 2, "text"));

  // 2^32 bytes of untouched pages: the length alone must refuse it, without reading.
  const std::size_t length = std::size_t{1} << 32;
  void* pages =
      mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (pages != MAP_FAILED) {
    EXPECT_FALSE(
        log.append(Direction::Sent, 2, std::string_view(static_cast<char*>(pages), length)));
    munmap(pages, length);
  }
  EXPECT_EQ(log.entries(), before);
}

TEST(store, direction_text_form) {
  EXPECT_EQ(to_string(Direction::Sent), "Sent");
  EXPECT_EQ(to_string(Direction::Received), "Received");
  std::ostringstream out;
  out << Direction::Received;
  EXPECT_EQ(out.str(), "Received");
}
