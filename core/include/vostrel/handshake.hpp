#pragma once

// The hybrid X25519 + ML-KEM-768 handshake, plain and with signed long-term identities.

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

  ByteArray<kHelloBytes> to_bytes() const;
  // Exactly kHelloBytes, else absent.
  static std::optional<Hello> from_bytes(ByteView bytes);
  bool operator==(const Hello&) const = default;
};

// Initiator to responder. Byte form: ct, then x25519_public (the opposite end from Hello).
struct Reply {
  pqkem::Ciphertext ct{};
  Key32 x25519_public{};

  ByteArray<kReplyBytes> to_bytes() const;
  // Exactly kReplyBytes, else absent.
  static std::optional<Reply> from_bytes(ByteView bytes);
  bool operator==(const Reply&) const = default;
};

// What the responder keeps between its Hello and the Reply. Releasing it wipes x25519_secret;
// the secret is stored exactly as drawn and clamped at each use.
struct ResponderState {
  Secret32 x25519_secret;
  pqkem::EncapsulationKey ek{};
  pqkem::DecapsulationKey dk{};
};

// Stops with "OS CSPRNG" when the random source fails.
std::pair<ResponderState, Hello> responder_start();

// The Reply to send and the initiator's session key. Stops with "OS CSPRNG" when the random
// source fails. Peer values are used as received: a bad Hello only gives a key that differs.
std::pair<Reply, Secret32> initiator_reply(const Hello& hello);

// The responder's session key. Never fails: a changed Reply gives a key that differs.
Secret32 responder_finish(ResponderState state, const Reply& reply);

// Initiator to responder. Byte form: signature, reply (in its byte form), identity.
struct AuthReply {
  identity::Signature signature{};
  Reply reply;
  identity::PublicKey identity{};

  ByteArray<kAuthReplyBytes> to_bytes() const;
  // Exactly kAuthReplyBytes, else absent.
  static std::optional<AuthReply> from_bytes(ByteView bytes);
  bool operator==(const AuthReply&) const = default;
};

// Responder to initiator. Byte form: signature, identity.
struct Confirm {
  identity::Signature signature{};
  identity::PublicKey identity{};

  ByteArray<kConfirmBytes> to_bytes() const;
  // Exactly kConfirmBytes, else absent.
  static std::optional<Confirm> from_bytes(ByteView bytes);
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
Bytes handshake_transcript(KeyView responder_x25519_public, KeyView initiator_x25519_public,
                           FixedView<pqkem::kEncapsulationKeyBytes> ek,
                           FixedView<pqkem::kCiphertextBytes> ct);

// Stops with "OS CSPRNG" or "signature operation failed".
InitiatorAuth initiator_reply_auth(const Hello& hello, const identity::Identity& identity);

// Absent when the initiator's signature does not verify under AuthReply::identity; the state is
// consumed either way. Stops with "signature operation failed".
std::optional<ResponderAuth> responder_finish_auth(ResponderState state, const AuthReply& areply,
                                                   const identity::Identity& identity);

// The responder's identity key when the Confirm's signature over the transcript verifies.
std::optional<identity::PublicKey> initiator_verify_confirm(ByteView transcript,
                                                            const Confirm& confirm);

}  // namespace vostrel::handshake
