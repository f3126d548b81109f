#pragma once

// The one authenticated cipher, key derivation, the short authentication string and X25519.
//
// With valid inputs the libraries below never fail, so a library call that reports failure stops
// the program with a Panic naming the operation ("ChaCha20-Poly1305 encryption does not fail for
// valid inputs" in seal, "SHA-256 failed", ...); running out of memory is std::bad_alloc.

#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "vostrel/common.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::crypto {

using Nonce12 = ByteArray<12>;
using NonceView = FixedView<12>;

inline constexpr std::size_t kTagBytes = 16;
// 64 * (2^32 - 1) - 1: the 32-bit block counter must not wrap.
inline constexpr std::uint64_t kMaxPlaintextBytes = 274'877'906'879ULL;
inline constexpr std::uint64_t kMaxSealedBytes = kMaxPlaintextBytes + kTagBytes;
inline constexpr Nonce12 kAtRestNonce{};
inline constexpr std::string_view kHybridInfoPrefix = labels::kHybridKem;

// ChaCha20-Poly1305 (RFC 8439): the ciphertext followed by the 16-byte tag, without the nonce.
// Stops with "ChaCha20-Poly1305 encryption does not fail for valid inputs" beyond the plaintext
// limit.
[[nodiscard]] Bytes seal(KeyView key, NonceView nonce, ByteView associated_data,
                         ByteView plaintext);

// The plaintext when the tag verifies; nothing is decrypted before that.
[[nodiscard]] std::optional<Bytes> open(KeyView key, NonceView nonce, ByteView associated_data,
                                        ByteView sealed);

// Verifies the tag over the whole ciphertext, then decrypts only its first out.size() bytes into
// `out`. False, with nothing written, when the tag does not verify or `out` is longer than the
// ciphertext.
[[nodiscard]] bool open_into(KeyView key, NonceView nonce, ByteView associated_data,
                             ByteView sealed, std::span<std::uint8_t> out);

// The same three on cipher contexts kept from one call to the next: they are made on first use and
// re-keyed on every later call, which spares their set-up to a holder that seals or opens many
// messages. The associated data is the concatenation of its parts. The last call's keys stay in
// the contexts until the next call or the release, which wipes them. One thread at a time; a
// moved-from context, or one whose call stopped, holds nothing and is made afresh on its next use.
class AeadContext {
 public:
  AeadContext() noexcept;
  AeadContext(AeadContext&& other) noexcept;
  AeadContext& operator=(AeadContext&& other) noexcept;
  AeadContext(const AeadContext&) = delete;
  AeadContext& operator=(const AeadContext&) = delete;
  ~AeadContext();

  [[nodiscard]] Bytes seal(KeyView key, NonceView nonce, std::span<const ByteView> associated_data,
                           ByteView plaintext);
  [[nodiscard]] std::optional<Bytes> open(KeyView key, NonceView nonce,
                                          std::span<const ByteView> associated_data,
                                          ByteView sealed);
  [[nodiscard]] bool open_into(KeyView key, NonceView nonce,
                               std::span<const ByteView> associated_data, ByteView sealed,
                               std::span<std::uint8_t> out);

 private:
  // Plaintexts up to this size are encrypted together with block 0, in one stream call.
  static constexpr std::size_t kShortPlaintext = 448;

  // ChaCha20 at block 0 of (key, nonce), taken together with `plaintext` (at most
  // kShortPlaintext bytes), whose ciphertext goes to `out`: returns the one-time Poly1305 key
  // from block 0 and leaves the stream after the plaintext.
  Secret32 start(KeyView key, NonceView nonce, ByteView plaintext, std::uint8_t* out,
                 const char* operation);
  // The RFC 8439 tag over the associated data and the ciphertext.
  ByteArray<16> tag(const Secret32& one_time_key, std::span<const ByteView> associated_data,
                    ByteView ciphertext, const char* operation);
  void release() noexcept;
  // A library call that fails may leave a context half set up: on a stop, both are made afresh on
  // the next call.
  template <class Step>
  auto released_on_stop(Step&& step) {
    try {
      return step();
    } catch (...) {
      release();
      throw;
    }
  }

  void* stream_ = nullptr;
  void* mac_ = nullptr;
};

// HKDF-SHA-256 without salt, info "vostrel/v1/hybrid-kem" || context, 32 bytes out.
[[nodiscard]] Secret32 derive_session_key(ByteView input_keying_material, ByteView context);

// SHA-256 over the concatenation of `parts`. Nothing of the input or the digest stays behind in the
// library's contexts once it returns, so a secret may be hashed with it.
[[nodiscard]] Key32 sha256(std::initializer_list<ByteView> parts);

// Incremental SHA-256 for long inputs. A copy carries the state hashed so far (a midstate), so a
// common prefix is hashed once. The state, after finish the digest itself, stays in the hash's
// context until reset or release, which wipes it. update, finish and reset on a moved-from hash
// stop with "Sha256 used after it was moved from"; assigning a hash to it makes it whole again.
// A reset or a copy assignment that stops (for want of memory) leaves the hash holding no state:
// update and finish then stop with "SHA-256 failed" until it is reset or assigned again.
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256& other);
  Sha256& operator=(const Sha256& other);
  Sha256(Sha256&& other) noexcept;
  Sha256& operator=(Sha256&&) = delete;
  ~Sha256();
  void update(ByteView data);
  [[nodiscard]] Key32 finish();
  // Back to the empty input, in the same context: one hasher serves many digests.
  void reset();

 private:
  friend class HmacKey;
  // A context that a key's preparation starts itself.
  struct Unstarted {};
  explicit Sha256(Unstarted);

  void* ctx_;
};

// HMAC-SHA-256 over the concatenation of `parts`: the keyed derivation of the whole system.
[[nodiscard]] Key32 hmac_sha256(ByteView key, std::span<const ByteView> parts);
[[nodiscard]] inline Key32 hmac_sha256(ByteView key, std::initializer_list<ByteView> parts) {
  return hmac_sha256(key, std::span<const ByteView>(parts.begin(), parts.size()));
}

// An HMAC-SHA-256 key prepared once: both padded key blocks are hashed when it is made, and every
// MAC starts from copies of those two states in a working context of the key's own. For a key that
// serves more than one MAC; one thread at a time. All three states are wiped when released. A move
// takes them along and leaves the source holding none: using or copying it stops with "HmacKey used
// after it was moved from", and assigning a key to it makes it whole again.
class HmacKey {
 public:
  explicit HmacKey(ByteView key);
  HmacKey(const HmacKey& other);
  HmacKey& operator=(const HmacKey& other);
  HmacKey(HmacKey&& other) noexcept = default;
  HmacKey& operator=(HmacKey&& other) noexcept;
  ~HmacKey() = default;
  // Prepares another key in the same contexts. A re-key that stops (for want of memory) leaves the
  // key holding none: its MACs stop with "HMAC key used after a re-key that stopped" until it is
  // re-keyed. Keeping the old key instead would take a fourth context, about 3% more per re-key
  // and MAC; every holder in the library re-keys its key before each use.
  void rekey(ByteView key);

  // hmac_sha256(key, parts), into a Key32 or straight into a wiping type's bytes.
  [[nodiscard]] Key32 mac(std::initializer_list<ByteView> parts);
  void mac_into(std::span<std::uint8_t, 32> out, std::initializer_list<ByteView> parts);
  // The same for the key's last MAC, computed in the prepared states themselves rather than in
  // copies: the key then serves again only once re-keyed, and stops with "HMAC key used after its
  // last MAC" otherwise.
  void last_mac_into(std::span<std::uint8_t, 32> out, std::initializer_list<ByteView> parts);

 private:
  friend HmacKey hkdf_extract(ByteView salt, ByteView input_keying_material);
  friend void hkdf_extract(HmacKey& prk, ByteView salt, ByteView input_keying_material);
  friend void hkdf_expand(HmacKey& prk, std::span<const ByteView> info,
                          std::span<std::uint8_t> out);
  HmacKey();
  static void check_not_moved(const HmacKey& key);
  static void check_usable(const HmacKey& key);
  // The MAC of head || parts || tail under `key`, in this key's working context; for the last,
  // in the prepared states.
  void mac_framed(const HmacKey& key, std::span<std::uint8_t, 32> out, ByteView head,
                  std::span<const ByteView> parts, ByteView tail);
  void last_mac_framed(std::span<std::uint8_t, 32> out, ByteView head,
                       std::span<const ByteView> parts, ByteView tail);

  Sha256 inner_;
  Sha256 outer_;
  Sha256 work_;
  // Whether the key serves: not after its last MAC, nor after a re-key that stopped half-way.
  enum class Use : std::uint8_t { Ready, Spent, Unkeyed };
  Use use_ = Use::Ready;
};

// HKDF-SHA-256 (RFC 5869). An empty salt is the absent salt; the info is the concatenation of its
// parts; at most kHkdfMaxOutputBytes come out, and asking for more stops with "HKDF-SHA-256 output
// beyond 8160 bytes".
inline constexpr std::size_t kHkdfMaxOutputBytes = 255 * 32;
// Extract: the pseudorandom key, prepared for expansion; or `prk` re-keyed with it, in the
// contexts it already has (a stop leaves it as a stopped re-key does).
[[nodiscard]] HmacKey hkdf_extract(ByteView salt, ByteView input_keying_material);
void hkdf_extract(HmacKey& prk, ByteView salt, ByteView input_keying_material);
// Expand: fills `out`. The last block is the key's last MAC.
void hkdf_expand(HmacKey& prk, std::span<const ByteView> info, std::span<std::uint8_t> out);
inline void hkdf_expand(HmacKey& prk, std::initializer_list<ByteView> info,
                        std::span<std::uint8_t> out) {
  hkdf_expand(prk, std::span<const ByteView>(info.begin(), info.size()), out);
}
// Extract, then expand.
void hkdf_sha256(ByteView salt, ByteView input_keying_material, std::span<const ByteView> info,
                 std::span<std::uint8_t> out);
inline void hkdf_sha256(ByteView salt, ByteView input_keying_material,
                        std::initializer_list<ByteView> info, std::span<std::uint8_t> out) {
  hkdf_sha256(salt, input_keying_material, std::span<const ByteView>(info.begin(), info.size()),
              out);
}

// The first 12 bytes of a keyed derivation.
[[nodiscard]] Nonce12 derive_nonce(ByteView key, std::initializer_list<ByteView> parts);

// Eight emoji joined by single spaces, rendered from a key derived with the context "sas": 32 bits,
// four per emoji. Too few against an attacker who can try session keys offline until two strings
// match, as in the invitation flow (see invite.hpp): compare full identity-key fingerprints there.
[[nodiscard]] std::string sas(KeyView key);

// Constant-time equality of two byte strings of the same length (false for different lengths).
[[nodiscard]] bool ct_equal(ByteView a, ByteView b) noexcept;

// X25519 public key of a secret (clamped on use; the stored secret never changes).
[[nodiscard]] Key32 x25519_public(KeyView secret);

// X25519 shared secret. Never fails: a small-order peer key gives 32 zero bytes.
[[nodiscard]] Secret32 x25519(KeyView secret, KeyView peer_public);

// Joins the X25519 and ML-KEM-768 secrets (classical first) and derives a session key from them.
[[nodiscard]] Secret32 hybrid_key(const Secret32& x25519_secret, FixedView<32> kem_secret,
                                  ByteView context);

}  // namespace vostrel::crypto
