// What the digest and MAC calls leave in OpenSSL's heap: in the blocks it still holds once a call
// is done, and in the blocks it released unwiped on the way, also when the call stopped half-way.
// OpenSSL's allocator is replaced before its first allocation, so every block it holds can be
// searched, which is why these checks are a program of their own.

// The checks compute the SHA-256 states they search for on OpenSSL's low-level interface.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "vostrel/crypto.hpp"
#include "vostrel/internal/crypto_heap.hpp"

using namespace vostrel;

namespace {

// OpenSSL's live blocks and their sizes; the checks run on one thread.
std::unordered_map<void*, std::size_t>& live_blocks() {
  static auto* blocks = new std::unordered_map<void*, std::size_t>();
  return *blocks;
}

// A secret is searched for as each run of 16 of its bytes: a block holding part of it, such as a
// hash's buffered tail of its input, counts too. The secrets' bytes make a chance match unlikely.
constexpr std::size_t kRun = 16;
using Run = std::array<std::uint8_t, kRun>;

class Search {
 public:
  Search() = default;
  explicit Search(const std::vector<Bytes>& secrets) {
    for (const Bytes& secret : secrets) {
      for (std::size_t at = 0; at + kRun <= secret.size(); ++at) {
        Run run{};
        std::copy_n(secret.begin() + static_cast<std::ptrdiff_t>(at), kRun, run.begin());
        runs_.push_back(run);
      }
    }
    std::ranges::sort(runs_);
  }

  bool finds_in(const void* block, std::size_t size) const {
    const auto* bytes = static_cast<const std::uint8_t*>(block);
    for (std::size_t at = 0; at + kRun <= size; ++at) {
      Run run{};
      std::memcpy(run.data(), bytes + at, kRun);
      if (std::ranges::binary_search(runs_, run)) return true;
    }
    return false;
  }

  int live_blocks_holding() const {
    int found = 0;
    for (const auto& [block, size] : live_blocks()) found += finds_in(block, size) ? 1 : 0;
    return found;
  }

 private:
  std::vector<Run> runs_;
};

// What each released block is searched for, and how many held it.
Search& watched() {
  static auto* search = new Search();
  return *search;
}
int released_holding = 0;

void watch(const std::vector<Bytes>& secrets) {
  watched() = Search(secrets);
  released_holding = 0;
}

// Blocks live or released unwiped that hold a watched secret.
int residue() {
  return watched().live_blocks_holding() + released_holding;
}

void* tracked_malloc(std::size_t size, const char*, int) {
  void* block = std::malloc(size);
  if (block != nullptr) live_blocks()[block] = size;
  return block;
}
void tracked_free(void* block, const char*, int) {
  if (const auto found = live_blocks().find(block); found != live_blocks().end()) {
    if (watched().finds_in(block, found->second)) ++released_holding;
    live_blocks().erase(found);
  }
  std::free(block);
}
// Always moved, the old block released like any other: a realloc that moves leaves the old bytes
// in freed memory, and one to size 0 frees.
void* tracked_realloc(void* old, std::size_t size, const char* file, int line) {
  if (old == nullptr) return tracked_malloc(size, file, line);
  void* block = nullptr;
  if (size != 0) {
    block = tracked_malloc(size, file, line);
    if (block == nullptr) return nullptr;
    std::memcpy(block, old, std::min(size, live_blocks().at(old)));
  }
  tracked_free(old, file, line);
  return block;
}

// Digest finals to pass before one fails; negative: none fails.
int finals_before_stop = -1;

}  // namespace

// Stands in for OpenSSL's own, which the library's calls reach through this one: told to, it fails
// and leaves the context as it was, which stops the call half-way through.
extern "C" int EVP_DigestFinal_ex(EVP_MD_CTX* ctx, unsigned char* out, unsigned int* size) {
  static const auto library =
      reinterpret_cast<decltype(&EVP_DigestFinal_ex)>(dlsym(RTLD_NEXT, "EVP_DigestFinal_ex"));
  if (finals_before_stop >= 0 && finals_before_stop-- == 0) return 0;
  return library(ctx, out, size);
}

namespace {

// The secrets: no byte repeats within one, so no run of 16 turns up by chance. The long key is
// hashed down to a block key, and leaves 36 of its bytes buffered in the hash until its final.
Bytes secret_bytes(std::size_t size, std::uint8_t step) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(0x3B + i * step);
  return bytes;
}
const Bytes kSecret = secret_bytes(32, 167);
const Bytes kLongKey = secret_bytes(100, 89);
const ByteView kMessage = as_bytes("message");

// A 32-byte value as it may sit in a block: as bytes and as SHA-256's state words in this machine's
// order (or the other way round, for a state).
std::vector<Bytes> forms(const Key32& value) {
  Bytes words(value.begin(), value.end());
  for (auto word = words.begin(); word != words.end(); word += 4) std::reverse(word, word + 4);
  return {Bytes(value.begin(), value.end()), words};
}

// SHA-256 as the checks compute it themselves.
Key32 state_after(ByteView blocks) {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  SHA256_Update(&ctx, blocks.data(), blocks.size());
  Key32 state{};
  std::memcpy(state.data(), ctx.h, state.size());
  return state;
}
Key32 digest_of(ByteView first, ByteView second = {}) {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  SHA256_Update(&ctx, first.data(), first.size());
  SHA256_Update(&ctx, second.data(), second.size());
  Key32 digest{};
  SHA256_Final(digest.data(), &ctx);
  return digest;
}

void append(std::vector<Bytes>& to, std::vector<Bytes> more) {
  to.insert(to.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

// What hashing `input` holds on the way: the input and the state after each of its whole blocks.
std::vector<Bytes> input_secrets(ByteView input) {
  std::vector<Bytes> secrets{Bytes(input.begin(), input.end())};
  for (std::size_t end = 64; end <= input.size(); end += 64) {
    append(secrets, forms(state_after(input.first(end))));
  }
  return secrets;
}

// The key block XOR `pad`, with a long key hashed down first.
ByteArray<64> padded(ByteView key, std::uint8_t pad) {
  ByteArray<64> block{};
  if (key.size() > block.size()) {
    const Key32 digest = digest_of(key);
    std::copy(digest.begin(), digest.end(), block.begin());
  } else {
    std::copy(key.begin(), key.end(), block.begin());
  }
  for (std::uint8_t& byte : block) byte ^= pad;
  return block;
}
std::vector<Bytes> pad_states(ByteView key) {
  std::vector<Bytes> states = forms(state_after(padded(key, 0x36)));
  append(states, forms(state_after(padded(key, 0x5c))));
  return states;
}

// What an HMAC of kMessage under `key` holds on the way: the key (a long one hashed), both pad
// states and the inner digest.
std::vector<Bytes> hmac_secrets(ByteView key) {
  std::vector<Bytes> secrets = input_secrets(key);
  if (key.size() > 64) append(secrets, forms(digest_of(key)));
  append(secrets, pad_states(key));
  append(secrets, forms(digest_of(padded(key, 0x36), kMessage)));
  return secrets;
}

// A key assigned over another, or re-keyed: nothing of the old key stays once that is done.
template <typename Replace>
Key32 with_old_key_replaced(Replace replace) {
  crypto::HmacKey source(kSecret);
  crypto::HmacKey target(kLongKey);
  (void)target.mac({kMessage});
  replace(target, source);
  EXPECT_EQ(Search(hmac_secrets(kLongKey)).live_blocks_holding(), 0) << "the replaced key";
  return target.mac({kMessage});
}

struct Case {
  std::string what;
  // What the call is given or works out on the way, besides its result.
  std::vector<Bytes> secrets;
  // Runs the call and returns the digest or MAC it computed.
  std::function<Key32()> run;
};

std::vector<Case> cases() {
  std::vector<Bytes> both_keys = hmac_secrets(kSecret);
  append(both_keys, hmac_secrets(kLongKey));
  return {
      {"sha256", input_secrets(kSecret), [] { return crypto::sha256({kSecret}); }},
      {"sha256 of two parts", input_secrets(kSecret),
       [] {
         return crypto::sha256({ByteView(kSecret).first(7), kSecret});
       }},
      {"sha256 of more than a block", input_secrets(kLongKey),
       [] { return crypto::sha256({kLongKey}); }},
      {"released Sha256", input_secrets(kSecret),
       [] {
         crypto::Sha256 hash;
         hash.update(kSecret);
         return hash.finish();
       }},
      {"hmac_sha256", hmac_secrets(kSecret),
       [] { return crypto::hmac_sha256(kSecret, {kMessage}); }},
      {"hmac_sha256 with a long key", hmac_secrets(kLongKey),
       [] { return crypto::hmac_sha256(kLongKey, {kMessage}); }},
      {"released HmacKey", hmac_secrets(kSecret),
       [] {
         crypto::HmacKey key(kSecret);
         (void)key.mac({kMessage});
         return key.mac({kMessage});
       }},
      {"released HmacKey after its last MAC", hmac_secrets(kLongKey),
       [] {
         crypto::HmacKey key(kLongKey);
         Key32 mac{};
         key.last_mac_into(mac, {kMessage});
         return mac;
       }},
      {"HmacKey copy-assigned over another", both_keys,
       [] {
         return with_old_key_replaced(
             [](crypto::HmacKey& target, const crypto::HmacKey& source) { target = source; });
       }},
      {"HmacKey move-assigned over another", both_keys,
       [] {
         return with_old_key_replaced(
             [](crypto::HmacKey& target, crypto::HmacKey& source) { target = std::move(source); });
       }},
      {"HmacKey re-keyed", both_keys,
       [] {
         return with_old_key_replaced(
             [](crypto::HmacKey& target, const crypto::HmacKey&) { target.rekey(kSecret); });
       }},
  };
}

}  // namespace

// Each call is stopped at each of its digest finals in turn, the context then still holding the
// input, and run whole at last, which also shows that no stop spoilt a later call.
TEST(residue, digests_and_macs_leave_nothing_behind_once_done) {
  for (const Case& c : cases()) {
    const Key32 result = c.run();
    std::vector<Bytes> secrets = c.secrets;
    append(secrets, forms(result));
    for (int stop = 0;; ++stop) {
      watch(secrets);
      finals_before_stop = stop;
      std::optional<Key32> out;
      try {
        out = c.run();
      } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): the stop itself
      }
      const bool stopped = finals_before_stop < 0;
      finals_before_stop = -1;
      EXPECT_EQ(residue(), 0) << c.what
                              << (stopped ? ", stopped at final " + std::to_string(stop) : "");
      if (stopped) continue;
      EXPECT_EQ(out, result) << c.what << ", whole after its stops";
      EXPECT_GT(stop, 0) << c.what << " was never stopped";
      break;
    }
  }
  watch({});
}

// The search finds what is still held, so that the check above is not blind.
TEST(residue, the_search_finds_what_is_held) {
  crypto::Sha256 hash;
  hash.update(kSecret);
  EXPECT_EQ(Search({kSecret}).live_blocks_holding(), 1) << "an unfinished Sha256 holds its input";
  const Key32 digest = hash.finish();
  EXPECT_EQ(Search(forms(digest)).live_blocks_holding(), 1) << "a finished one holds its digest";
  hash.reset();
  EXPECT_EQ(Search(forms(digest)).live_blocks_holding(), 0) << "reset wipes it";

  const crypto::HmacKey key(kLongKey);
  EXPECT_EQ(Search(pad_states(kLongKey)).live_blocks_holding(), 2) << "a key holds both pad states";

  watch({kSecret});
  const auto holding_secret = [] {
    void* block = OPENSSL_malloc(kSecret.size());
    std::memcpy(block, kSecret.data(), kSecret.size());
    return block;
  };
  OPENSSL_free(holding_secret());
  EXPECT_EQ(OPENSSL_realloc(holding_secret(), 0), nullptr);
  OPENSSL_clear_free(holding_secret(), kSecret.size());
  EXPECT_EQ(released_holding, 2) << "a block freed, or reallocated to nothing, unwiped";
  watch({});
}

int main(int argc, char** argv) {
  if (!crypto::replace_library_allocator(tracked_malloc, tracked_realloc, tracked_free)) {
    std::fputs("OpenSSL allocated before its allocator could be replaced\n", stderr);
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
