// SHA-256, HMAC-SHA-256 and HKDF-SHA-256 on digest contexts from a per-thread pool.
#include <openssl/evp.h>

#include <utility>
#include <vector>

#include "crypto_backend.hpp"
#include "vostrel/crypto.hpp"

namespace vostrel::crypto {
namespace {

using backend::check;
using backend::Gathered;
using backend::KeptErrorQueue;
using backend::owned;

constexpr const char* kSha256Failure = "SHA-256 failed";

constexpr std::size_t kSha256Block = 64;

const EVP_MD* sha256_md() {
  return backend::algorithms(kSha256Failure).sha256;
}

// SHA-256 on an EVP digest context.
void digest_copy(EVP_MD_CTX* to, const EVP_MD_CTX* from) {
  if (EVP_MD_CTX_copy_ex(to, from) == 1) return;
  // A copy that fails has taken the digest but not its state, and the next update would use the
  // missing state. Emptied, the context refuses updates until it is started again.
  EVP_MD_CTX_reset(to);
  backend::stop_with(kSha256Failure);
}
// A started SHA-256 of the empty input, made once and afterwards only copied from: a copy costs
// less than an init, which looks for an engine on every call. A making that fails leaves nothing,
// and the next call makes it again.
const EVP_MD_CTX* empty_sha256() {
  static EVP_MD_CTX* const empty = [] {
    const EVP_MD* md = sha256_md();
    auto ctx = owned(EVP_MD_CTX_new());
    check(EVP_DigestInit_ex2(ctx.get(), md, nullptr) == 1, kSha256Failure);
    return ctx.release();
  }();
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
    const KeptErrorQueue kept;
    return owned(EVP_MD_CTX_new()).release();
  }
  static void give(EVP_MD_CTX* ctx) noexcept {
    if (ctx == nullptr) return;
    EVP_MD_CTX_reset(ctx);
    // Hashers released after the thread's pool (static ones, at exit) free their contexts, and so
    // does a thread whose pool cannot be made (a context taken on another thread).
    try {
      if (!gone_ && pool().kept_.size() < kKept) {
        pool().kept_.push_back(ctx);
        return;
      }
    } catch (...) {  // NOLINT(bugprone-empty-catch)
    }
    EVP_MD_CTX_free(ctx);
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
  const KeptErrorQueue kept;
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
      use_(other.use_) {}

// Copied whole first, so that a copy that fails half-way leaves this key as it was rather than with
// the pads of two keys.
HmacKey& HmacKey::operator=(const HmacKey& other) {
  HmacKey copy(other);
  return *this = std::move(copy);
}

HmacKey& HmacKey::operator=(HmacKey&& other) noexcept {
  if (this == &other) return *this;
  for (auto [mine, theirs] : {std::pair{&inner_, &other.inner_}, std::pair{&outer_, &other.outer_},
                              std::pair{&work_, &other.work_}}) {
    ContextPool::give(md_ctx(std::exchange(mine->ctx_, std::exchange(theirs->ctx_, nullptr))));
  }
  use_ = other.use_;
  return *this;
}

// In place, as a spare context for the new pads would cost a pool round trip on every re-key. A
// stop half-way has wiped the old pad it was overwriting, so the key is marked unkeyed first.
void HmacKey::rekey(ByteView key) {
  check_not_moved(*this);
  const KeptErrorQueue kept;
  const BlockKey block(key);
  use_ = Use::Unkeyed;
  block.start(md_ctx(inner_.ctx_), kInnerPad);
  block.start(md_ctx(outer_.ctx_), kOuterPad);
  use_ = Use::Ready;
}

void HmacKey::check_usable(const HmacKey& key) {
  if (key.use_ == Use::Ready) return;
  throw Panic(key.use_ == Use::Spent ? "HMAC key used after its last MAC"
                                     : "HMAC key used after a re-key that stopped");
}

void HmacKey::check_not_moved(const HmacKey& key) {
  // A move takes all three contexts along.
  if (key.inner_.ctx_ == nullptr) throw Panic("HmacKey used after it was moved from");
}

void HmacKey::mac_framed(const HmacKey& key, std::span<std::uint8_t, 32> out, ByteView head,
                         std::span<const ByteView> parts, ByteView tail) {
  check_not_moved(*this);
  check_not_moved(key);
  check_usable(key);
  const KeptErrorQueue kept;
  copied_mac(md_ctx(work_.ctx_), md_ctx(key.inner_.ctx_), md_ctx(key.outer_.ctx_), out, head, parts,
             tail);
}

void HmacKey::last_mac_framed(std::span<std::uint8_t, 32> out, ByteView head,
                              std::span<const ByteView> parts, ByteView tail) {
  check_not_moved(*this);
  check_usable(*this);
  const KeptErrorQueue kept;
  use_ = Use::Spent;
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
  HmacKey::check_not_moved(prk);
  const KeptErrorQueue kept;
  Key32 prk_bytes{};
  const WipeOnExit wipe(prk_bytes);
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
}

HmacKey hkdf_extract(ByteView salt, ByteView input_keying_material) {
  const KeptErrorQueue kept;
  HmacKey prk;
  hkdf_extract(prk, salt, input_keying_material);
  return prk;
}

void hkdf_expand(HmacKey& prk, std::span<const ByteView> info, std::span<std::uint8_t> out) {
  if (out.size() > kHkdfMaxOutputBytes) throw Panic("HKDF-SHA-256 output beyond 8160 bytes");
  const KeptErrorQueue kept;
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
  const KeptErrorQueue kept;
  HmacKey prk = hkdf_extract(salt, input_keying_material);
  hkdf_expand(prk, info, out);
}

Nonce12 derive_nonce(ByteView key, std::initializer_list<ByteView> parts) {
  const Key32 full = hmac_sha256(key, parts);
  Nonce12 nonce{};
  std::copy_n(full.begin(), nonce.size(), nonce.begin());
  return nonce;
}

namespace {
// The hasher behind sha256, one per thread, so a digest costs no new context. It is restarted as
// soon as the digest is out, or the input stopped half-way, which wipes its state: nothing outlives
// the call. A restart that stops has wiped the state already but left the context empty, so the
// next call restarts it first.
class ThreadHasher {
 public:
  static Key32 digest(std::initializer_list<ByteView> parts) {
    const KeptErrorQueue kept;
    thread_local ThreadHasher hasher;
    return hasher.compute(parts);
  }

 private:
  Key32 compute(std::initializer_list<ByteView> parts) {
    if (!started_) restart();
    Key32 out{};
    try {
      hash_message(context_.get(), {}, std::span(parts.begin(), parts.size()), {});
      digest_final(context_.get(), out);
    } catch (...) {
      restart_or_owe();
      throw;
    }
    restart_or_owe();
    return out;
  }
  void restart() {
    started_ = false;
    digest_init(context_.get());
    started_ = true;
  }
  // The digest is right whether or not the restart succeeds: a restart that stops is owed to the
  // next call instead, and the stop itself has no more to say.
  void restart_or_owe() noexcept {
    try {
      restart();
    } catch (...) {  // NOLINT(bugprone-empty-catch)
    }
  }

  PooledContext context_;
  bool started_ = false;
};
}  // namespace

Key32 sha256(std::initializer_list<ByteView> parts) {
  return ThreadHasher::digest(parts);
}

namespace {
// The context of a hash that has not been moved from.
EVP_MD_CTX* live(void* ctx) {
  if (ctx == nullptr) throw Panic("Sha256 used after it was moved from");
  return md_ctx(ctx);
}
// The context of a hash that holds a state: one whose reset or copy stopped holds none.
EVP_MD_CTX* started(void* ctx) {
  EVP_MD_CTX* live_ctx = live(ctx);
  if (EVP_MD_CTX_get0_md(live_ctx) == nullptr) throw Panic(kSha256Failure);
  return live_ctx;
}
}  // namespace

Sha256::Sha256() : ctx_(ContextPool::take()) {
  const KeptErrorQueue kept;
  try {
    digest_init(md_ctx(ctx_));
  } catch (...) {
    ContextPool::give(md_ctx(ctx_));
    throw;
  }
}
Sha256::Sha256(Unstarted) : ctx_(ContextPool::take()) {}
Sha256::Sha256(const Sha256& other) : ctx_(ContextPool::take()) {
  const KeptErrorQueue kept;
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
  const KeptErrorQueue kept;
  if (ctx_ == nullptr) ctx_ = ContextPool::take();
  digest_copy(md_ctx(ctx_), from);
  return *this;
}
void Sha256::reset() {
  EVP_MD_CTX* ctx = live(ctx_);
  const KeptErrorQueue kept;
  digest_init(ctx);
}
Sha256::Sha256(Sha256&& other) noexcept : ctx_(std::exchange(other.ctx_, nullptr)) {}
Sha256::~Sha256() {
  ContextPool::give(md_ctx(ctx_));
}
// A started context's update and final allocate nothing and cannot fail, so they take no look at
// the error queue, which the search for a stamp would otherwise pay twice per nonce. An emptied
// context is refused before the library sees it.
void Sha256::update(ByteView data) {
  EVP_MD_CTX* ctx = started(ctx_);
  digest_update(ctx, data);
}
Key32 Sha256::finish() {
  EVP_MD_CTX* ctx = started(ctx_);
  Key32 out{};
  digest_final(ctx, out);
  return out;
}

}  // namespace vostrel::crypto
