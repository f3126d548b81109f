#pragma once

// The one authenticated cipher, key derivation, the short authentication string and X25519.

#include <initializer_list>
#include <optional>
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

// HKDF-SHA-256 without salt, info "vostrel/v1/hybrid-kem" || context, 32 bytes out.
[[nodiscard]] Secret32 derive_session_key(ByteView input_keying_material, ByteView context);

// HMAC-SHA-256 over the concatenation of `parts`: the keyed derivation of the whole system.
[[nodiscard]] Key32 hmac_sha256(ByteView key, std::span<const ByteView> parts);
[[nodiscard]] inline Key32 hmac_sha256(ByteView key, std::initializer_list<ByteView> parts) {
  return hmac_sha256(key, std::span<const ByteView>(parts.begin(), parts.size()));
}

// The first 12 bytes of a keyed derivation.
[[nodiscard]] Nonce12 derive_nonce(ByteView key, std::initializer_list<ByteView> parts);

// SHA-256 over the concatenation of `parts`.
[[nodiscard]] Key32 sha256(std::initializer_list<ByteView> parts);

// Incremental SHA-256 for long inputs. update and finish on a moved-from hash stop with "Sha256
// used after it was moved from".
class Sha256 {
 public:
  Sha256();
  Sha256(Sha256&& other) noexcept;
  Sha256& operator=(Sha256&&) = delete;
  Sha256(const Sha256&) = delete;
  ~Sha256();
  void update(ByteView data);
  [[nodiscard]] Key32 finish();

 private:
  void* ctx_;
};

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
