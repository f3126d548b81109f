#pragma once

// The one authenticated cipher, key derivation, the short authentication string and X25519.
//
// With valid inputs the libraries below never fail, so a library call that reports failure stops
// the program with a Panic naming the operation ("ChaCha20-Poly1305 encryption does not fail for
// valid inputs" in seal, "SHA-256 failed", ...); running out of memory is std::bad_alloc.

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "vostrel/common.hpp"

namespace vostrel::crypto {

using Nonce12 = ByteArray<12>;
using NonceView = FixedView<12>;

inline constexpr std::size_t kTagBytes = 16;
// 64 * (2^32 - 1) - 1: the 32-bit block counter must not wrap.
inline constexpr std::uint64_t kMaxPlaintextBytes = 274'877'906'879ULL;
inline constexpr std::uint64_t kMaxSealedBytes = kMaxPlaintextBytes + kTagBytes;
inline constexpr Nonce12 kAtRestNonce{};
inline constexpr std::string_view kHybridInfoPrefix = "vostrel/v1/hybrid-kem";

// ChaCha20-Poly1305 (RFC 8439): the ciphertext followed by the 16-byte tag, without the nonce.
// Stops with "ChaCha20-Poly1305 encryption does not fail for valid inputs" beyond the plaintext
// limit.
Bytes seal(KeyView key, NonceView nonce, ByteView associated_data, ByteView plaintext);

// The plaintext when the tag verifies; nothing is decrypted before that.
std::optional<Bytes> open(KeyView key, NonceView nonce, ByteView associated_data, ByteView sealed);

// Verifies the tag over the whole ciphertext, then decrypts only its first out.size() bytes into
// `out`. False, with nothing written, when the tag does not verify or `out` is longer than the
// ciphertext.
[[nodiscard]] bool open_into(KeyView key, NonceView nonce, ByteView associated_data,
                             ByteView sealed, std::span<std::uint8_t> out);

// HKDF-SHA-256 without salt, info "vostrel/v1/hybrid-kem" || context, 32 bytes out.
Secret32 derive_session_key(ByteView input_keying_material, ByteView context);

// HMAC-SHA-256 over the concatenation of `parts`: the keyed derivation of the whole system.
Key32 hmac_sha256(ByteView key, std::span<const ByteView> parts);
inline Key32 hmac_sha256(ByteView key, std::initializer_list<ByteView> parts) {
  return hmac_sha256(key, std::span<const ByteView>(parts.begin(), parts.size()));
}

// HKDF-SHA-256 (RFC 5869), extract then expand: `out` is filled from the pseudorandom key of
// (salt, input keying material) and the concatenation of `info`. An empty salt is the absent salt.
// At most kHkdfMaxOutputBytes; stops with "HKDF-SHA-256 output beyond 8160 bytes" past that.
inline constexpr std::size_t kHkdfMaxOutputBytes = 255 * 32;
void hkdf_sha256(ByteView salt, ByteView input_keying_material, std::span<const ByteView> info,
                 std::span<std::uint8_t> out);
inline void hkdf_sha256(ByteView salt, ByteView input_keying_material,
                        std::initializer_list<ByteView> info, std::span<std::uint8_t> out) {
  hkdf_sha256(salt, input_keying_material, std::span<const ByteView>(info.begin(), info.size()),
              out);
}

// The first 12 bytes of a keyed derivation.
Nonce12 derive_nonce(ByteView key, std::initializer_list<ByteView> parts);

// SHA-256 over the concatenation of `parts`.
Key32 sha256(std::initializer_list<ByteView> parts);

// Incremental SHA-256 for long inputs. A copy carries the state hashed so far (a midstate), so a
// common prefix is hashed once.
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256& other);
  Sha256& operator=(const Sha256& other);
  Sha256(Sha256&& other) noexcept;
  Sha256& operator=(Sha256&&) = delete;
  ~Sha256();
  void update(ByteView data);
  Key32 finish();
  // Back to the empty input, in the same context: one hasher serves many digests.
  void reset();

 private:
  void* ctx_;
};

// Eight emoji joined by single spaces, rendered from a key derived with the context "sas".
std::string sas(KeyView key);

// Constant-time equality of two byte strings of the same length (false for different lengths).
bool ct_equal(ByteView a, ByteView b) noexcept;

// RFC 7748 clamping of a copy of the secret.
Key32 clamp_scalar(KeyView secret) noexcept;

// X25519 public key of a secret (clamped on use; the stored secret never changes).
Key32 x25519_public(KeyView secret);

// X25519 shared secret. Never fails: a small-order peer key gives 32 zero bytes.
Secret32 x25519(KeyView secret, KeyView peer_public);

// Joins the X25519 and ML-KEM-768 secrets (classical first) and derives a session key from them.
Secret32 hybrid_key(const Secret32& x25519_secret, FixedView<32> kem_secret, ByteView context);

}  // namespace vostrel::crypto
