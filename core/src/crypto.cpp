#include "vostrel/crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <cstring>
#include <vector>

#include "crypto_backend.hpp"
#include "vostrel/internal/crypto_steps.hpp"

namespace vostrel::crypto {
namespace {

using backend::check;
using backend::owned;

// What each operation stops with when a library call inside it fails.
constexpr const char* kSealFailure = "ChaCha20-Poly1305 encryption does not fail for valid inputs";
constexpr const char* kOpenFailure = "ChaCha20-Poly1305 decryption failed";
constexpr const char* kSha256Failure = "SHA-256 failed";

constexpr std::size_t kSha256Block = 64;
// EVP lengths are ints: long inputs go through in pieces.
constexpr std::size_t kEvpChunk = std::size_t{1} << 30;

// Algorithm objects are fetched once and only read afterwards; an algorithm the library lacks
// stops the operation that needs it.
template <typename Algorithm>
Algorithm* fetched(Algorithm* algorithm, const char* operation) {
  check(algorithm != nullptr, operation);
  return algorithm;
}
const EVP_CIPHER* stream_cipher(const char* operation) {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "ChaCha20", nullptr);
  return fetched(cipher, operation);
}
EVP_MAC* poly1305_mac(const char* operation) {
  static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "POLY1305", nullptr);
  return fetched(mac, operation);
}
const EVP_MD* sha256_md() {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return fetched(md, kSha256Failure);
}

// SHA-256 on an EVP digest context.
void digest_copy(EVP_MD_CTX* to, const EVP_MD_CTX* from) {
  check(EVP_MD_CTX_copy_ex(to, from) == 1, kSha256Failure);
}
// A started SHA-256 of the empty input, made once and afterwards only copied from: a copy costs
// less than an init, which looks for an engine on every call.
const EVP_MD_CTX* empty_sha256() {
  static EVP_MD_CTX* const empty = [] {
    const EVP_MD* md = sha256_md();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx != nullptr && EVP_DigestInit_ex2(ctx, md, nullptr) != 1) {
      EVP_MD_CTX_free(ctx);
      ctx = nullptr;
    }
    return ctx;
  }();
  check(empty != nullptr, kSha256Failure);
  return empty;
}
void digest_init(EVP_MD_CTX* ctx) {
  digest_copy(ctx, empty_sha256());
}
void digest_update(EVP_MD_CTX* ctx, ByteView data) {
  check(EVP_DigestUpdate(ctx, data.data(), data.size()) == 1, kSha256Failure);
}
void digest_final(EVP_MD_CTX* ctx, std::span<std::uint8_t, 32> out) {
  unsigned int length = 0;
  check(EVP_DigestFinal_ex(ctx, out.data(), &length) == 1 && length == out.size(), kSha256Failure);
}
void cipher_update(EVP_CIPHER_CTX* ctx, std::uint8_t* out, const std::uint8_t* in,
                   std::size_t length, const char* operation) {
  while (length > 0) {
    const std::size_t piece = std::min(length, kEvpChunk);
    int written = 0;
    check(EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(piece)) == 1, operation);
    out += piece;
    in += piece;
    length -= piece;
  }
}

// A byte string of `length` bytes that the caller overwrites in full before anyone reads them, so
// that they are not zero-filled first. libstdc++'s vector keeps its end in a public member of a
// protected base, which a C-style cast may reach; with other libraries, or with libstdc++'s own
// container checks on, it is an ordinary zero-filled vector.
Bytes unfilled(std::size_t length) {
  Bytes bytes;
#if defined(__GLIBCXX__) && !defined(_GLIBCXX_SANITIZE_VECTOR)
  bytes.reserve(length);
  auto& base = (std::_Vector_base<std::uint8_t, std::allocator<std::uint8_t>>&)bytes;
  base._M_impl._M_finish = base._M_impl._M_start + length;
#else
  bytes.resize(length);
#endif
  return bytes;
}

EVP_CIPHER_CTX* cipher_ctx(void* ctx) noexcept {
  return static_cast<EVP_CIPHER_CTX*>(ctx);
}
EVP_MAC_CTX* mac_ctx(void* ctx) noexcept {
  return static_cast<EVP_MAC_CTX*>(ctx);
}

std::size_t total_size(std::span<const ByteView> parts) noexcept {
  std::size_t total = 0;
  for (const ByteView part : parts) total += part.size();
  return total;
}

// Passes pieces on to `update` with the short ones gathered first: each library call has a fixed
// cost that a few bytes do not repay. What it held is wiped when it goes, as pieces may be secret.
template <typename Update>
class Gathered {
 public:
  explicit Gathered(Update update) : update_(update) {}
  Gathered(const Gathered&) = delete;
  Gathered& operator=(const Gathered&) = delete;
  ~Gathered() { secure_zero(buffer_.data(), reached_); }

  void add(ByteView piece) {
    if (piece.empty()) return;
    if (held_ + piece.size() > buffer_.size()) flush();
    if (piece.size() >= buffer_.size()) {
      update_(piece);
      return;
    }
    std::memcpy(buffer_.data() + held_, piece.data(), piece.size());
    held_ += piece.size();
    reached_ = std::max(reached_, held_);
  }
  void flush() {
    if (held_ != 0) update_(ByteView(buffer_).first(held_));
    held_ = 0;
  }

 private:
  Update update_;
  ByteArray<256> buffer_;
  std::size_t held_ = 0;
  std::size_t reached_ = 0;
};

}  // namespace

void backend::sodium_ready() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw Panic("libsodium initialisation failed");
}

AeadContext::AeadContext() noexcept = default;

AeadContext::AeadContext(AeadContext&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)), mac_(std::exchange(other.mac_, nullptr)) {}

AeadContext& AeadContext::operator=(AeadContext&& other) noexcept {
  if (this != &other) {
    release();
    stream_ = std::exchange(other.stream_, nullptr);
    mac_ = std::exchange(other.mac_, nullptr);
  }
  return *this;
}

AeadContext::~AeadContext() {
  release();
}

void AeadContext::release() noexcept {
  // Freeing the stream wipes its key; each MAC's final has already wiped the MAC's.
  EVP_CIPHER_CTX_free(cipher_ctx(std::exchange(stream_, nullptr)));
  EVP_MAC_CTX_free(mac_ctx(std::exchange(mac_, nullptr)));
}

Secret32 AeadContext::start(KeyView key, NonceView nonce, ByteView plaintext, std::uint8_t* out,
                            const char* operation) {
  ByteArray<16> iv{};
  std::copy(nonce.begin(), nonce.end(), iv.begin() + 4);
  const EVP_CIPHER* cipher = nullptr;
  if (stream_ == nullptr) {
    // A new context takes the cipher with its first key; later keys reuse the cipher's state.
    cipher = stream_cipher(operation);
    stream_ = owned(EVP_CIPHER_CTX_new()).release();
  }
  EVP_CIPHER_CTX* stream = cipher_ctx(stream_);
  check(EVP_CipherInit_ex2(stream, cipher, key.data(), iv.data(), 1, nullptr) == 1, operation);
  // Block 0 and the short plaintext in one call: a stream call has a fixed cost that short data
  // does not repay twice.
  ByteArray<64 + kShortPlaintext> buffer;
  std::fill_n(buffer.begin(), 64, std::uint8_t{0});
  std::copy(plaintext.begin(), plaintext.end(), buffer.begin() + 64);
  const std::size_t length = 64 + plaintext.size();
  cipher_update(stream, buffer.data(), buffer.data(), length, operation);
  Secret32 one_time_key(FixedView<32>(buffer.data(), 32));
  std::copy_n(buffer.begin() + 64, plaintext.size(), out);
  secure_zero(buffer.data(), length);
  return one_time_key;
}

ByteArray<16> AeadContext::tag(const Secret32& one_time_key,
                               std::span<const ByteView> associated_data, ByteView ciphertext,
                               const char* operation) {
  if (mac_ == nullptr) mac_ = owned(EVP_MAC_CTX_new(poly1305_mac(operation))).release();
  EVP_MAC_CTX* mac = mac_ctx(mac_);
  check(EVP_MAC_init(mac, one_time_key.data(), 32, nullptr) == 1, operation);
  Gathered gathered([&](ByteView piece) {
    check(EVP_MAC_update(mac, piece.data(), piece.size()) == 1, operation);
  });
  const auto update = [&](const std::uint8_t* data, std::size_t length) {
    gathered.add(ByteView(data, length));
  };
  static constexpr ByteArray<16> zeros{};
  const auto pad = [&](std::size_t length) {
    if (length % 16 != 0) update(zeros.data(), 16 - length % 16);
  };
  const std::size_t associated_length = total_size(associated_data);
  for (const ByteView part : associated_data) update(part.data(), part.size());
  pad(associated_length);
  update(ciphertext.data(), ciphertext.size());
  pad(ciphertext.size());
  ByteArray<16> lengths{};
  for (std::size_t i = 0; i < 8; ++i) {
    lengths[i] = static_cast<std::uint8_t>(associated_length >> (8 * i));
    lengths[8 + i] = static_cast<std::uint8_t>(ciphertext.size() >> (8 * i));
  }
  update(lengths.data(), lengths.size());
  gathered.flush();
  ByteArray<16> tag{};
  std::size_t tag_length = 0;
  check(EVP_MAC_final(mac, tag.data(), &tag_length, tag.size()) == 1 && tag_length == 16,
        operation);
  return tag;
}

Bytes AeadContext::seal(KeyView key, NonceView nonce, std::span<const ByteView> associated_data,
                        ByteView plaintext) {
  if (plaintext.size() > kMaxPlaintextBytes) throw Panic(kSealFailure);
  const Secret32 key_copy(key);
  Bytes out = unfilled(plaintext.size() + kTagBytes);
  const bool short_plaintext = plaintext.size() <= kShortPlaintext;
  const Secret32 one_time_key = start(
      key_copy.view(), nonce, short_plaintext ? plaintext : ByteView{}, out.data(), kSealFailure);
  if (!short_plaintext) {
    cipher_update(cipher_ctx(stream_), out.data(), plaintext.data(), plaintext.size(),
                  kSealFailure);
  }
  const ByteArray<16> sealed_tag =
      tag(one_time_key, associated_data, ByteView(out).first(plaintext.size()), kSealFailure);
  std::copy(sealed_tag.begin(), sealed_tag.end(), out.end() - kTagBytes);
  return out;
}

bool AeadContext::open_into(KeyView key, NonceView nonce, std::span<const ByteView> associated_data,
                            ByteView sealed, std::span<std::uint8_t> out) {
  if (sealed.size() < kTagBytes || sealed.size() > kMaxSealedBytes) return false;
  const ByteView ciphertext = sealed.first(sealed.size() - kTagBytes);
  if (out.size() > ciphertext.size()) return false;
  const Secret32 key_copy(key);
  const Secret32 one_time_key = start(key_copy.view(), nonce, {}, out.data(), kOpenFailure);
  const ByteArray<16> expected = tag(one_time_key, associated_data, ciphertext, kOpenFailure);
  // ctgrind: decision open
  if (!ct_equal(expected, sealed.last(kTagBytes))) return false;
  cipher_update(cipher_ctx(stream_), out.data(), ciphertext.data(), out.size(), kOpenFailure);
  return true;
}

std::optional<Bytes> AeadContext::open(KeyView key, NonceView nonce,
                                       std::span<const ByteView> associated_data, ByteView sealed) {
  if (sealed.size() < kTagBytes || sealed.size() > kMaxSealedBytes) return std::nullopt;
  Bytes plaintext = unfilled(sealed.size() - kTagBytes);
  if (!open_into(key, nonce, associated_data, sealed, plaintext)) return std::nullopt;
  return plaintext;
}

Bytes seal(KeyView key, NonceView nonce, ByteView associated_data, ByteView plaintext) {
  return AeadContext().seal(key, nonce, {&associated_data, 1}, plaintext);
}

bool open_into(KeyView key, NonceView nonce, ByteView associated_data, ByteView sealed,
               std::span<std::uint8_t> out) {
  return AeadContext().open_into(key, nonce, {&associated_data, 1}, sealed, out);
}

std::optional<Bytes> open(KeyView key, NonceView nonce, ByteView associated_data, ByteView sealed) {
  return AeadContext().open(key, nonce, {&associated_data, 1}, sealed);
}

namespace {

EVP_MD_CTX* md_ctx(void* ctx) noexcept {
  return static_cast<EVP_MD_CTX*>(ctx);
}

// Digest contexts kept by each thread for its next hashers and keys. A context given back is reset
// first, which wipes its state; a thread keeps a few and frees the rest.
class ContextPool {
 public:
  static EVP_MD_CTX* take() {
    if (!gone_) {
      auto& kept = pool().kept_;
      if (!kept.empty()) {
        EVP_MD_CTX* ctx = kept.back();
        kept.pop_back();
        return ctx;
      }
    }
    return owned(EVP_MD_CTX_new()).release();
  }
  static void give(EVP_MD_CTX* ctx) noexcept {
    if (ctx == nullptr) return;
    EVP_MD_CTX_reset(ctx);
    // Hashers released after the thread's pool (static ones, at exit) free their contexts.
    if (!gone_ && pool().kept_.size() < kKept) {
      pool().kept_.push_back(ctx);
    } else {
      EVP_MD_CTX_free(ctx);
    }
  }

 private:
  static constexpr std::size_t kKept = 16;
  ContextPool() { kept_.reserve(kKept); }
  ~ContextPool() {
    gone_ = true;
    for (EVP_MD_CTX* ctx : kept_) EVP_MD_CTX_free(ctx);
  }
  static ContextPool& pool() {
    thread_local ContextPool instance;
    return instance;
  }
  // Trivially destructible, so still readable while other thread-local objects are destroyed.
  static thread_local bool gone_;
  std::vector<EVP_MD_CTX*> kept_;
};
thread_local bool ContextPool::gone_ = false;

// A context from the pool for the length of one computation.
class PooledContext {
 public:
  PooledContext() : ctx_(ContextPool::take()) {}
  PooledContext(const PooledContext&) = delete;
  PooledContext& operator=(const PooledContext&) = delete;
  ~PooledContext() { ContextPool::give(ctx_); }
  EVP_MD_CTX* get() const noexcept { return ctx_; }

 private:
  EVP_MD_CTX* ctx_;
};

// Feeds head || parts || tail to `ctx`. A short message, the usual case for a derivation, goes
// through as one piece: each digest call has a fixed cost that the few bytes do not repay.
void hash_message(EVP_MD_CTX* ctx, ByteView head, std::span<const ByteView> parts, ByteView tail) {
  std::size_t pieces = (head.empty() ? 0U : 1U) + (tail.empty() ? 0U : 1U);
  for (const ByteView part : parts) {
    if (!part.empty()) ++pieces;
  }
  if (pieces < 2) {
    // Nothing to gather.
    if (!head.empty()) digest_update(ctx, head);
    for (const ByteView part : parts) {
      if (!part.empty()) digest_update(ctx, part);
    }
    if (!tail.empty()) digest_update(ctx, tail);
    return;
  }
  Gathered gathered([ctx](ByteView piece) { digest_update(ctx, piece); });
  gathered.add(head);
  for (const ByteView part : parts) gathered.add(part);
  gathered.add(tail);
  gathered.flush();
}

// The MAC of head || parts || tail in `work`, from copies of a key's prepared pad states.
void copied_mac(EVP_MD_CTX* work, const EVP_MD_CTX* inner, const EVP_MD_CTX* outer,
                std::span<std::uint8_t, 32> out, ByteView head, std::span<const ByteView> parts,
                ByteView tail) {
  digest_copy(work, inner);
  hash_message(work, head, parts, tail);
  Key32 inner_digest{};
  digest_final(work, inner_digest);
  digest_copy(work, outer);
  digest_update(work, inner_digest);
  secure_zero(inner_digest.data(), inner_digest.size());
  digest_final(work, out);
}

// The RFC 2104 key block: the key itself, or its digest when longer than a block, zero-padded.
class BlockKey {
 public:
  explicit BlockKey(ByteView key) {
    if (key.size() > kSha256Block) {
      // Hashed straight into the block: no copy of the digest to wipe.
      const PooledContext work;
      digest_init(work.get());
      digest_update(work.get(), key);
      digest_final(work.get(), std::span<std::uint8_t, 32>(bytes_.data(), 32));
    } else {
      std::copy(key.begin(), key.end(), bytes_.begin());
    }
  }
  BlockKey(const BlockKey&) = delete;
  BlockKey& operator=(const BlockKey&) = delete;
  ~BlockKey() { secure_zero(bytes_.data(), bytes_.size()); }

  // Starts `ctx` on the key block XOR `pad_byte`.
  void start(EVP_MD_CTX* ctx, std::uint8_t pad_byte) const {
    ByteArray<kSha256Block> pad{};
    for (std::size_t i = 0; i < kSha256Block; ++i) pad[i] = bytes_[i] ^ pad_byte;
    digest_init(ctx);
    digest_update(ctx, pad);
    secure_zero(pad.data(), pad.size());
  }

 private:
  ByteArray<kSha256Block> bytes_{};
};

constexpr std::uint8_t kInnerPad = 0x36;
constexpr std::uint8_t kOuterPad = 0x5c;

}  // namespace

Key32 hmac_sha256(ByteView key, std::span<const ByteView> parts) {
  // Used once, the key is not worth preparing: both pads are hashed straight in one context.
  const BlockKey block(key);
  const PooledContext work;
  block.start(work.get(), kInnerPad);
  hash_message(work.get(), {}, parts, {});
  Key32 inner{};
  digest_final(work.get(), inner);
  block.start(work.get(), kOuterPad);
  digest_update(work.get(), inner);
  secure_zero(inner.data(), inner.size());
  Key32 out{};
  digest_final(work.get(), out);
  return out;
}

HmacKey::HmacKey()
    : inner_(Sha256::Unstarted{}), outer_(Sha256::Unstarted{}), work_(Sha256::Unstarted{}) {}

HmacKey::HmacKey(ByteView key) : HmacKey() {
  rekey(key);
}

// The working context is only ever a copy target, so a copy starts it empty.
HmacKey::HmacKey(const HmacKey& other)
    : inner_((check_not_moved(other), other.inner_)),
      outer_(other.outer_),
      work_(Sha256::Unstarted{}),
      spent_(other.spent_) {}

HmacKey& HmacKey::operator=(const HmacKey& other) {
  check_not_moved(other);
  if (this == &other) return *this;
  if (work_.ctx_ == nullptr) work_.ctx_ = ContextPool::take();
  inner_ = other.inner_;
  outer_ = other.outer_;
  spent_ = other.spent_;
  return *this;
}

HmacKey& HmacKey::operator=(HmacKey&& other) noexcept {
  if (this == &other) return *this;
  for (auto [mine, theirs] : {std::pair{&inner_, &other.inner_}, std::pair{&outer_, &other.outer_},
                              std::pair{&work_, &other.work_}}) {
    ContextPool::give(md_ctx(std::exchange(mine->ctx_, std::exchange(theirs->ctx_, nullptr))));
  }
  spent_ = other.spent_;
  return *this;
}

void HmacKey::rekey(ByteView key) {
  check_not_moved(*this);
  const BlockKey block(key);
  block.start(md_ctx(inner_.ctx_), kInnerPad);
  block.start(md_ctx(outer_.ctx_), kOuterPad);
  spent_ = false;
}

namespace {
constexpr const char* kSpentKey = "HMAC key used after its last MAC";
}  // namespace

void HmacKey::check_not_moved(const HmacKey& key) {
  // A move takes all three contexts along.
  if (key.inner_.ctx_ == nullptr) throw Panic("HmacKey used after it was moved from");
}

void HmacKey::mac_framed(const HmacKey& key, std::span<std::uint8_t, 32> out, ByteView head,
                         std::span<const ByteView> parts, ByteView tail) {
  check_not_moved(*this);
  check_not_moved(key);
  check(!key.spent_, kSpentKey);
  copied_mac(md_ctx(work_.ctx_), md_ctx(key.inner_.ctx_), md_ctx(key.outer_.ctx_), out, head, parts,
             tail);
}

void HmacKey::last_mac_framed(std::span<std::uint8_t, 32> out, ByteView head,
                              std::span<const ByteView> parts, ByteView tail) {
  check_not_moved(*this);
  check(!spent_, kSpentKey);
  spent_ = true;
  hash_message(md_ctx(inner_.ctx_), head, parts, tail);
  Key32 inner_digest{};
  digest_final(md_ctx(inner_.ctx_), inner_digest);
  digest_update(md_ctx(outer_.ctx_), inner_digest);
  secure_zero(inner_digest.data(), inner_digest.size());
  digest_final(md_ctx(outer_.ctx_), out);
}

Key32 HmacKey::mac(std::initializer_list<ByteView> parts) {
  Key32 out{};
  mac_framed(*this, out, {}, std::span<const ByteView>(parts.begin(), parts.size()), {});
  return out;
}

void HmacKey::mac_into(std::span<std::uint8_t, 32> out, std::initializer_list<ByteView> parts) {
  mac_framed(*this, out, {}, std::span<const ByteView>(parts.begin(), parts.size()), {});
}

void HmacKey::last_mac_into(std::span<std::uint8_t, 32> out,
                            std::initializer_list<ByteView> parts) {
  last_mac_framed(out, {}, std::span<const ByteView>(parts.begin(), parts.size()), {});
}

void hkdf_extract(HmacKey& prk, ByteView salt, ByteView input_keying_material) {
  Key32 prk_bytes{};
  if (salt.empty()) {
    // An absent salt is the empty key, which HMAC pads to the same block as 32 zero bytes. Its
    // states are prepared once and only ever copied, into the working context of `prk`.
    static const HmacKey no_salt{ByteView{}};
    const ByteView parts[] = {input_keying_material};
    prk.mac_framed(no_salt, prk_bytes, {}, parts, {});
  } else {
    prk_bytes = hmac_sha256(salt, {input_keying_material});
  }
  prk.rekey(prk_bytes);
  secure_zero(prk_bytes.data(), prk_bytes.size());
}

HmacKey hkdf_extract(ByteView salt, ByteView input_keying_material) {
  HmacKey prk;
  hkdf_extract(prk, salt, input_keying_material);
  return prk;
}

void hkdf_expand(HmacKey& prk, std::span<const ByteView> info, std::span<std::uint8_t> out) {
  if (out.size() > kHkdfMaxOutputBytes) throw Panic("HKDF-SHA-256 output beyond 8160 bytes");
  // T(i) = HMAC(PRK, T(i-1) || info || i), with T(0) empty.
  Key32 block{};
  std::size_t previous = 0;
  std::uint8_t counter = 1;
  for (std::size_t done = 0; done < out.size(); done += block.size(), ++counter) {
    const ByteView head = ByteView(block).first(previous);
    const ByteView tail(&counter, 1);
    if (out.size() - done <= block.size()) {
      prk.last_mac_framed(block, head, info, tail);
    } else {
      prk.mac_framed(prk, block, head, info, tail);
    }
    previous = block.size();
    std::copy_n(block.begin(), std::min(block.size(), out.size() - done), out.data() + done);
  }
  secure_zero(block.data(), block.size());
}

void hkdf_sha256(ByteView salt, ByteView input_keying_material, std::span<const ByteView> info,
                 std::span<std::uint8_t> out) {
  HmacKey prk = hkdf_extract(salt, input_keying_material);
  hkdf_expand(prk, info, out);
}

Nonce12 derive_nonce(ByteView key, std::initializer_list<ByteView> parts) {
  const Key32 full = hmac_sha256(key, parts);
  Nonce12 nonce{};
  std::copy_n(full.begin(), nonce.size(), nonce.begin());
  return nonce;
}

Key32 sha256(std::initializer_list<ByteView> parts) {
  // A pooled context costs no new one per digest, and going back to the pool resets it, so the
  // digest does not outlive the call.
  const PooledContext work;
  digest_init(work.get());
  hash_message(work.get(), {}, std::span<const ByteView>(parts.begin(), parts.size()), {});
  Key32 out{};
  digest_final(work.get(), out);
  return out;
}

namespace {
// The context of a hash that has not been moved from.
EVP_MD_CTX* live(void* ctx) {
  if (ctx == nullptr) throw Panic("Sha256 used after it was moved from");
  return md_ctx(ctx);
}
}  // namespace

Sha256::Sha256() : ctx_(ContextPool::take()) {
  try {
    digest_init(md_ctx(ctx_));
  } catch (...) {
    ContextPool::give(md_ctx(ctx_));
    throw;
  }
}
Sha256::Sha256(Unstarted) : ctx_(ContextPool::take()) {}
Sha256::Sha256(const Sha256& other) : ctx_(ContextPool::take()) {
  try {
    digest_copy(md_ctx(ctx_), live(other.ctx_));
  } catch (...) {
    ContextPool::give(md_ctx(ctx_));
    throw;
  }
}
Sha256& Sha256::operator=(const Sha256& other) {
  if (this == &other) return *this;
  // Copied into the context already held: no new context per copy.
  const EVP_MD_CTX* from = live(other.ctx_);
  if (ctx_ == nullptr) ctx_ = ContextPool::take();
  digest_copy(md_ctx(ctx_), from);
  return *this;
}
void Sha256::reset() {
  digest_init(live(ctx_));
}
Sha256::Sha256(Sha256&& other) noexcept : ctx_(std::exchange(other.ctx_, nullptr)) {}
Sha256::~Sha256() {
  ContextPool::give(md_ctx(ctx_));
}
void Sha256::update(ByteView data) {
  digest_update(live(ctx_), data);
}
Key32 Sha256::finish() {
  Key32 out{};
  digest_final(live(ctx_), out);
  return out;
}

Secret32 derive_session_key(ByteView input_keying_material, ByteView context) {
  Secret32 key;
  hkdf_sha256({}, input_keying_material, {as_bytes(kHybridInfoPrefix), context},
              key.mutable_bytes());
  return key;
}

std::string sas(KeyView key) {
  static constexpr std::string_view kTable[16] = {
      "\U0001F98A", "\U0001F422", "\U0001F30A", "\U0001F525", "\U0001F332", "\u2693",
      "\U0001F340", "\U0001F319", "\u2B50",     "\U0001F3B2", "\U0001F511", "\U0001F3B8",
      "\U0001F34E", "\U0001F9ED", "\U0001F989", "\U0001F433"};
  const Secret32 k = derive_session_key(key, as_bytes("sas"));
  std::uint8_t indexes[8];
  for (std::size_t i = 0; i < 4; ++i) {
    indexes[2 * i] = k.bytes()[i] >> 4;
    indexes[2 * i + 1] = k.bytes()[i] & 0x0F;
  }
  std::size_t length = 7;
  for (const std::uint8_t index : indexes) length += kTable[index].size();
  std::string text;
  text.reserve(length);
  for (std::size_t i = 0; i < 8; ++i) {
    if (i != 0) text.push_back(' ');
    text.append(kTable[indexes[i]]);
  }
  return text;
}

bool ct_equal(ByteView a, ByteView b) noexcept {
  if (a.size() != b.size()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

PlainSecret32 clamp_scalar(KeyView secret) noexcept {
  PlainSecret32 clamped{};
  std::copy(secret.begin(), secret.end(), clamped.begin());
  clamped[0] &= 0xF8;
  clamped[31] &= 0x3F;
  clamped[31] |= 0x40;
  return clamped;
}

Key32 x25519_public(KeyView secret) {
  backend::sodium_ready();
  Secret32 clamped(clamp_scalar(secret));
  Key32 public_key{};
  check(crypto_scalarmult_base(public_key.data(), clamped.data()) == 0, "X25519 failed");
  return public_key;
}

Secret32 x25519(KeyView secret, KeyView peer_public) {
  backend::sodium_ready();
  Secret32 clamped(clamp_scalar(secret));
  Key32 result{};
  // libsodium refuses small-order peers without writing the result; X25519 itself gives zeros
  // there.
  if (crypto_scalarmult(result.data(), clamped.data(), peer_public.data()) != 0) result.fill(0);
  Secret32 shared(result);
  secure_zero(result.data(), result.size());
  return shared;
}

Secret32 hybrid_key(const Secret32& x25519_secret, FixedView<32> kem_secret, ByteView context) {
  const HybridSecret joined(x25519_secret.view(), kem_secret);
  return derive_session_key(joined.view(), context);
}

}  // namespace vostrel::crypto
