#include "vostrel/handshake.hpp"

#include "vostrel/crypto.hpp"
#include "vostrel/internal/error_queue.hpp"

namespace vostrel::handshake {
namespace {

// Both sides feed the same bytes: X25519 secret first, ML-KEM second; the responder's public key
// first in the context, the initiator's second.
Secret32 derive_key(const Secret32& x25519_shared, const Secret32& kem_shared,
                    KeyView responder_public, KeyView initiator_public) {
  return crypto::hybrid_key(x25519_shared, kem_shared.view(),
                            concat(responder_public, initiator_public));
}

// A move zeroes the state's secret; a drawn one is never all zero.
void require_live(const ResponderState& state) {
  static constexpr Key32 kZero{};
  if (crypto::ct_equal(state.x25519_secret.view(), kZero)) {
    throw Panic("ResponderState used after it was moved from");
  }
}

Secret32 finish(const ResponderState& state, KeyView own_public, const Reply& reply) {
  const crypto::HeldErrorQueue held;
  const Secret32 x25519_shared = crypto::x25519(state.x25519_secret.view(), reply.x25519_public);
  const Secret32 kem_shared = pqkem::decapsulate(state.dk, reply.ct);
  return derive_key(x25519_shared, kem_shared, own_public, reply.x25519_public);
}

// The caller's state is released (and its secret wiped) once its finish can no longer stop: a stop
// before leaves it to be finished again.
void consume(ResponderState&& state) noexcept {
  const ResponderState released = std::move(state);
}

Bytes signed_message(std::uint8_t role, ByteView transcript) {
  Bytes message;
  message.reserve(kAuthLabel.size() + 1 + transcript.size());
  put_bytes(message, as_bytes(kAuthLabel));
  message.push_back(role);
  put_bytes(message, transcript);
  return message;
}

}  // namespace

ByteArray<kHelloBytes> Hello::to_bytes() const {
  return concat(x25519_public, ek);
}

std::optional<Hello> Hello::from_bytes(ByteView bytes) {
  if (bytes.size() != kHelloBytes) return std::nullopt;
  ByteReader reader(bytes);
  Hello hello;
  hello.x25519_public = *reader.array<32>();
  hello.ek = *reader.array<pqkem::kEncapsulationKeyBytes>();
  return hello;
}

ByteArray<kReplyBytes> Reply::to_bytes() const {
  return concat(ct, x25519_public);
}

std::optional<Reply> Reply::from_bytes(ByteView bytes) {
  if (bytes.size() != kReplyBytes) return std::nullopt;
  ByteReader reader(bytes);
  Reply reply;
  reply.ct = *reader.array<pqkem::kCiphertextBytes>();
  reply.x25519_public = *reader.array<32>();
  return reply;
}

ByteArray<kAuthReplyBytes> AuthReply::to_bytes() const {
  return concat(signature, reply.to_bytes(), identity);
}

std::optional<AuthReply> AuthReply::from_bytes(ByteView bytes) {
  if (bytes.size() != kAuthReplyBytes) return std::nullopt;
  ByteReader reader(bytes);
  AuthReply areply;
  areply.signature = *reader.array<64>();
  areply.reply = *Reply::from_bytes(*reader.bytes(kReplyBytes));
  areply.identity = *reader.array<32>();
  return areply;
}

ByteArray<kConfirmBytes> Confirm::to_bytes() const {
  return concat(signature, identity);
}

std::optional<Confirm> Confirm::from_bytes(ByteView bytes) {
  if (bytes.size() != kConfirmBytes) return std::nullopt;
  ByteReader reader(bytes);
  Confirm confirm;
  confirm.signature = *reader.array<64>();
  confirm.identity = *reader.array<32>();
  return confirm;
}

std::pair<ResponderState, Hello> responder_start() {
  ResponderState state{random_secret32(), {}, {}};
  Hello hello;
  hello.x25519_public = crypto::x25519_public(state.x25519_secret.view());
  pqkem::KemKeyPair pair = pqkem::KemKeyPair::generate();
  // The state holds the only copy of the decapsulation key.
  const WipeOnExit wipe_pair(pair.dk);
  state.ek = pair.ek;
  state.dk = pair.dk;
  hello.ek = pair.ek;
  return {std::move(state), hello};
}

std::pair<Reply, Secret32> initiator_reply(const Hello& hello) {
  const crypto::HeldErrorQueue held;
  Reply reply;
  const Secret32 own_secret = random_secret32();
  reply.x25519_public = crypto::x25519_public(own_secret.view());
  const Secret32 x25519_shared = crypto::x25519(own_secret.view(), hello.x25519_public);
  const pqkem::Encapsulation encapsulation = pqkem::encapsulate(hello.ek);
  reply.ct = encapsulation.ct;
  Secret32 key =
      derive_key(x25519_shared, encapsulation.ss, hello.x25519_public, reply.x25519_public);
  return {reply, std::move(key)};
}

Secret32 responder_finish(ResponderState&& state, const Reply& reply) {
  require_live(state);
  const Key32 own_public = crypto::x25519_public(state.x25519_secret.view());
  Secret32 key = finish(state, own_public, reply);
  consume(std::move(state));
  return key;
}

Bytes handshake_transcript(KeyView responder_x25519_public, KeyView initiator_x25519_public,
                           FixedView<pqkem::kEncapsulationKeyBytes> ek,
                           FixedView<pqkem::kCiphertextBytes> ct) {
  Bytes transcript;
  transcript.reserve(kTranscriptBytes);
  put_bytes(transcript, responder_x25519_public);
  put_bytes(transcript, initiator_x25519_public);
  put_bytes(transcript, ek);
  put_bytes(transcript, ct);
  return transcript;
}

InitiatorAuth initiator_reply_auth(const Hello& hello, const identity::Identity& identity) {
  auto [reply, key] = initiator_reply(hello);
  Bytes transcript =
      handshake_transcript(hello.x25519_public, reply.x25519_public, hello.ek, reply.ct);
  const identity::Signature signature = identity.sign(signed_message(kInitiatorRole, transcript));
  return InitiatorAuth{AuthReply{signature, reply, identity.public_key()}, std::move(key),
                       std::move(transcript)};
}

std::optional<ResponderAuth> responder_finish_auth(ResponderState&& state, const AuthReply& areply,
                                                   const identity::Identity& identity) {
  require_live(state);
  const Key32 own_public = crypto::x25519_public(state.x25519_secret.view());
  // The encapsulation key is the one this responder sent, never one taken from the message.
  const Bytes transcript =
      handshake_transcript(own_public, areply.reply.x25519_public, state.ek, areply.reply.ct);
  if (!identity::verify(areply.identity, signed_message(kInitiatorRole, transcript),
                        areply.signature)) {
    consume(std::move(state));
    return std::nullopt;
  }
  Secret32 key = finish(state, own_public, areply.reply);
  const Confirm confirm{identity.sign(signed_message(kResponderRole, transcript)),
                        identity.public_key()};
  std::optional<ResponderAuth> finished{std::in_place, std::move(key), areply.identity, confirm,
                                        state.x25519_secret.clone()};
  consume(std::move(state));
  return finished;
}

std::optional<identity::PublicKey> initiator_verify_confirm(ByteView transcript,
                                                            const Confirm& confirm) {
  if (!identity::verify(confirm.identity, signed_message(kResponderRole, transcript),
                        confirm.signature)) {
    return std::nullopt;
  }
  return confirm.identity;
}

}  // namespace vostrel::handshake
