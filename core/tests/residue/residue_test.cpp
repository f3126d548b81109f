// What the digest and MAC calls leave in OpenSSL's heap once they are done. OpenSSL's allocator is
// replaced before its first allocation, so every block it holds can be searched, which is why these
// checks are a program of their own.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <unordered_map>

#include "vostrel/crypto.hpp"
#include "vostrel/internal/crypto_heap.hpp"

using namespace vostrel;

namespace {

// OpenSSL's live blocks and their sizes; the checks run on one thread.
std::unordered_map<void*, std::size_t>& live_blocks() {
  static auto* blocks = new std::unordered_map<void*, std::size_t>();
  return *blocks;
}

void* tracked_malloc(std::size_t size, const char*, int) {
  void* block = std::malloc(size);
  if (block != nullptr) live_blocks()[block] = size;
  return block;
}
void* tracked_realloc(void* old, std::size_t size, const char*, int) {
  void* block = std::realloc(old, size);
  if (block != nullptr) {
    live_blocks().erase(old);
    live_blocks()[block] = size;
  }
  return block;
}
void tracked_free(void* block, const char*, int) {
  live_blocks().erase(block);
  std::free(block);
}

// The blocks that hold `digest`, as bytes or as SHA-256's state words in this machine's order.
int blocks_holding(const Key32& digest) {
  Key32 words = digest;
  for (std::size_t i = 0; i < words.size(); i += 4) std::reverse(&words[i], &words[i + 4]);
  int found = 0;
  for (const auto& [block, size] : live_blocks()) {
    const auto* begin = static_cast<const std::uint8_t*>(block);
    const auto* end = begin + size;
    for (const Key32& form : {digest, words}) {
      if (std::search(begin, end, form.begin(), form.end()) != end) {
        ++found;
        break;
      }
    }
  }
  return found;
}

const Key32 kSecret = [] {
  Key32 secret{};
  for (std::size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<std::uint8_t>(0xA0 + i);
  return secret;
}();
const Bytes kLongKey(131, 0x5A);

struct Case {
  std::string_view what;
  // Runs the call and returns the digest or MAC it computed.
  std::function<Key32()> run;
};

}  // namespace

TEST(residue, digests_and_macs_leave_nothing_behind_once_done) {
  const Case cases[] = {
      {"sha256", [] { return crypto::sha256({kSecret}); }},
      {"sha256 of two parts",
       [] {
         return crypto::sha256({ByteView(kSecret).first(7), kSecret});
       }},
      {"released Sha256",
       [] {
         crypto::Sha256 hash;
         hash.update(kSecret);
         return hash.finish();
       }},
      {"hmac_sha256", [] { return crypto::hmac_sha256(kSecret, {as_bytes("message")}); }},
      {"hmac_sha256 with a long key",
       [] { return crypto::hmac_sha256(kLongKey, {as_bytes("message")}); }},
      {"released HmacKey",
       [] {
         crypto::HmacKey key(kSecret);
         (void)key.mac({as_bytes("first")});
         return key.mac({as_bytes("message")});
       }},
      {"released HmacKey after its last MAC",
       [] {
         crypto::HmacKey key(kLongKey);
         Key32 mac{};
         key.last_mac_into(mac, {as_bytes("message")});
         return mac;
       }},
  };
  for (const Case& c : cases) {
    const Key32 result = c.run();
    EXPECT_EQ(blocks_holding(result), 0) << c.what;
  }
  // The search itself finds a state that is still held.
  crypto::Sha256 kept;
  kept.update(kSecret);
  const Key32 digest = kept.finish();
  EXPECT_EQ(blocks_holding(digest), 1) << "a finished Sha256 still holds its digest";
  kept.reset();
  EXPECT_EQ(blocks_holding(digest), 0) << "reset wipes it";
}

int main(int argc, char** argv) {
  if (!crypto::replace_library_allocator(tracked_malloc, tracked_realloc, tracked_free)) {
    std::fputs("OpenSSL allocated before its allocator could be replaced\n", stderr);
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
