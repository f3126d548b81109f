#pragma once

// The hybrid X25519 + ML-KEM-768 handshake, plain and with signed long-term identities.
//
// What the signatures leave to the caller: each side signs only the four ephemeral values of
// `handshake_transcript`, and the session key depends on them alone, on neither identity. Anyone
// can therefore sign a genuine transcript again under an identity of its own and put that in place
// of the AuthReply's signature and identity (or the Confirm's): the side that checks it believes
// it talks to that third party while it shares its key with the real peer, an unknown-key share.
// The third party learns no key, but messages are attributed to it. Callers bind the identities
// themselves: take a peer only when its key is the one pinned for the contact meant (which does
// not help against a third party that is itself a contact); put both identity keys, initiator's
// first, into the associated data of every ratchet message, so a misattributed conversation does
// not open; compare full identity-key fingerprints out of band; and prefer the invitation
// exchange (invite.hpp), whose transcript and signatures bind both identity keys.

#include <optional>
#include <string_view>
#include <utility>

#include "vostrel/common.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/pqkem.hpp"

namespace vostrel::handshake {

inline constexpr std::size_t kHelloBytes = 32 + pqkem::kEncapsulationKeyBytes;  // 1216
inline constexpr std::size_t kReplyBytes = pqkem::kCiphertextBytes + 32;        // 1120
inline constexpr std::size_t kAuthReplyBytes = 64 + kReplyBytes + 32;           // 1216
inline constexpr std::size_t kConfirmBytes = 64 + 32;                           // 96
inline constexpr std::size_t kTranscriptBytes =
    32 + 32 + pqkem::kEncapsulationKeyBytes + pqkem::kCiphertextBytes;  // 2336
inline constexpr std::string_view kAuthLabel = labels::kHandshakeAuth;
inline constexpr std::uint8_t kInitiatorRole = 0x00;
inline constexpr std::uint8_t kResponderRole = 0x01;

// Responder to initiator. Byte form: x25519_public, then ek.
struct Hello {
  Key32 x25519_public{};
  pqkem::EncapsulationKey ek{};

  [[nodiscard]] ByteArray<kHelloBytes> to_bytes() const;
  // Exactly kHelloBytes, else absent.
  [[nodiscard]] static std::optional<Hello> from_bytes(ByteView bytes);
  bool operator==(const Hello&) const = default;
};

// Initiator to responder. Byte form: ct, then x25519_public (the opposite end from Hello).
struct Reply {
  pqkem::Ciphertext ct{};
  Key32 x25519_public{};

  [[nodiscard]] ByteArray<kReplyBytes> to_bytes() const;
  // Exactly kReplyBytes, else absent.
  [[nodiscard]] static std::optional<Reply> from_bytes(ByteView bytes);
  bool operator==(const Reply&) const = default;
};

// The ML-KEM decapsulation key a responder keeps: an ordinary key array, wiped when released and
// when moved from, so that neither a consumed state nor a released copy leaves the key behind.
class KeptDecapsulationKey : public pqkem::DecapsulationKey {
 public:
  KeptDecapsulationKey() noexcept : pqkem::DecapsulationKey{} {}
  // Implicit, so that a state is built from the key of a generated pair.
  KeptDecapsulationKey(
      const pqkem::DecapsulationKey& key) noexcept  // NOLINT(google-explicit-constructor)
      : pqkem::DecapsulationKey(key) {}
  KeptDecapsulationKey(const KeptDecapsulationKey&) noexcept = default;
  KeptDecapsulationKey(KeptDecapsulationKey&& other) noexcept : pqkem::DecapsulationKey(other) {
    other.wipe();
  }
  KeptDecapsulationKey& operator=(const KeptDecapsulationKey&) noexcept = default;
  KeptDecapsulationKey& operator=(KeptDecapsulationKey&& other) noexcept {
    if (this != &other) {
      pqkem::DecapsulationKey::operator=(other);
      other.wipe();
    }
    return *this;
  }
  ~KeptDecapsulationKey() { wipe(); }

 private:
  void wipe() noexcept { secure_zero(data(), size()); }
};

// What the responder keeps between its Hello and the Reply. Releasing it wipes x25519_secret and
// dk; the secret is stored exactly as drawn and clamped at each use. A move zeroes the source's
// secret, which no drawn secret is, and its dk: responder_finish and responder_finish_auth on such
// a state stop with "ResponderState used after it was moved from".
struct ResponderState {
  Secret32 x25519_secret;
  pqkem::EncapsulationKey ek{};
  KeptDecapsulationKey dk{};
};

// Stops with "OS CSPRNG" when the random source fails.
[[nodiscard]] std::pair<ResponderState, Hello> responder_start();

// The Reply to send and the initiator's session key. Stops with "OS CSPRNG" when the random
// source fails. Peer values are used as received: a bad Hello only gives a key that differs.
[[nodiscard]] std::pair<Reply, Secret32> initiator_reply(const Hello& hello);

// The responder's session key. Never fails: a changed Reply gives a key that differs. The state is
// consumed; a stop (for want of memory) leaves it as it was, to be finished again.
[[nodiscard]] Secret32 responder_finish(ResponderState&& state, const Reply& reply);

// Initiator to responder. Byte form: signature, reply (in its byte form), identity.
struct AuthReply {
  identity::Signature signature{};
  Reply reply;
  identity::PublicKey identity{};

  [[nodiscard]] ByteArray<kAuthReplyBytes> to_bytes() const;
  // Exactly kAuthReplyBytes, else absent.
  [[nodiscard]] static std::optional<AuthReply> from_bytes(ByteView bytes);
  bool operator==(const AuthReply&) const = default;
};

// Responder to initiator. Byte form: signature, identity.
struct Confirm {
  identity::Signature signature{};
  identity::PublicKey identity{};

  [[nodiscard]] ByteArray<kConfirmBytes> to_bytes() const;
  // Exactly kConfirmBytes, else absent.
  [[nodiscard]] static std::optional<Confirm> from_bytes(ByteView bytes);
  bool operator==(const Confirm&) const = default;
};

struct InitiatorAuth {
  AuthReply areply;
  Secret32 session_key;
  // Kept to check the Confirm; public values only.
  Bytes transcript;
};

struct ResponderAuth {
  Secret32 session_key;
  identity::PublicKey peer_id{};
  Confirm confirm;
  // The responder's handshake X25519 secret, to seed its ratchet.
  Secret32 ephemeral_secret;
};

// The four public handshake values: responder's X25519 key, initiator's X25519 key, ek, ct.
[[nodiscard]] Bytes handshake_transcript(KeyView responder_x25519_public,
                                         KeyView initiator_x25519_public,
                                         FixedView<pqkem::kEncapsulationKeyBytes> ek,
                                         FixedView<pqkem::kCiphertextBytes> ct);

// Stops with "OS CSPRNG" or "signature operation failed".
[[nodiscard]] InitiatorAuth initiator_reply_auth(const Hello& hello,
                                                 const identity::Identity& identity);

// Absent when the initiator's signature does not verify under AuthReply::identity; the state is
// consumed either way. Stops with "signature operation failed"; a stop leaves the state as it was.
[[nodiscard]] std::optional<ResponderAuth> responder_finish_auth(
    ResponderState&& state, const AuthReply& areply, const identity::Identity& identity);

// The responder's identity key when the Confirm's signature over the transcript verifies.
[[nodiscard]] std::optional<identity::PublicKey> initiator_verify_confirm(ByteView transcript,
                                                                          const Confirm& confirm);

}  // namespace vostrel::handshake
