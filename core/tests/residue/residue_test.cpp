// What the digest and MAC calls leave in OpenSSL's heap: in the blocks it still holds once a call
// is done, and in the blocks it released unwiped on the way, also when the call stopped half-way.
// OpenSSL's allocator is replaced before its first allocation, so every block it holds can be
// searched, which is why these checks are a program of their own.

#include <gtest/gtest.h>

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

// SHA-256's state words after whole 64-byte blocks (FIPS 180-4), computed here: no interface of
// the library shows a state half-way. Words in this machine's order, as a context holds them.
Key32 state_after(ByteView blocks) {
  static constexpr std::uint32_t k[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
      0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
      0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
      0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
      0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
      0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
      0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
      0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};
  std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  const auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  for (std::size_t at = 0; at + 64 <= blocks.size(); at += 64) {
    std::uint32_t w[64];
    for (std::size_t i = 0; i < 16; ++i) w[i] = load_be<std::uint32_t>(&blocks[at + 4 * i]);
    for (std::size_t i = 16; i < 64; ++i) {
      const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    auto [a, b, c, d, e, f, g, hh] = h;
    for (std::size_t i = 0; i < 64; ++i) {
      const std::uint32_t t1 =
          hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const std::uint32_t t2 =
          (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    const std::array<std::uint32_t, 8> add = {a, b, c, d, e, f, g, hh};
    for (std::size_t i = 0; i < 8; ++i) h[i] += add[i];
  }
  Key32 state{};
  std::memcpy(state.data(), h.data(), state.size());
  return state;
}
Key32 digest_of(ByteView first, ByteView second = {}) {
  return crypto::sha256({first, second});
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
      crypto::stop_digest_final_after(stop);
      std::optional<Key32> out;
      try {
        out = c.run();
      } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): the stop itself
      }
      const bool stopped = !crypto::digest_final_stop_pending();
      crypto::stop_digest_final_after(-1);
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
  const auto holding_secret = [] { return crypto::library_block_holding(kSecret); };
  crypto::release_library_block(holding_secret());
  EXPECT_EQ(crypto::reallocate_library_block(holding_secret(), 0), nullptr);
  crypto::cleanse_and_release_library_block(holding_secret(), kSecret.size());
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
