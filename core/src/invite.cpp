#include "vostrel/invite.hpp"

#include <string_view>

#include "vostrel/crypto.hpp"
#include "vostrel/internal/error_queue.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/pqkem.hpp"

namespace vostrel::invite {
namespace {

constexpr std::uint8_t kRequesterRole = 0x01;
constexpr std::uint8_t kInviterRole = 0x02;

using pqkem::kCiphertextBytes;
using pqkem::kDecapsulationKeyBytes;
using pqkem::kEncapsulationKeyBytes;

Bytes invite_message(KeyView identity, KeyView x25519_pub, ByteView ek) {
  Bytes message;
  message.reserve(labels::kInvitePrekey.size() + 64 + ek.size());
  put_bytes(message, as_bytes(labels::kInvitePrekey));
  put_bytes(message, identity);
  put_bytes(message, x25519_pub);
  put_bytes(message, ek);
  return message;
}

// Inviter's values before the requester's in each pair, whichever side builds it.
Bytes transcript_of(KeyView inviter_id, KeyView requester_id, KeyView inviter_x25519,
                    KeyView requester_eph, ByteView ek, ByteView ct) {
  Bytes transcript;
  transcript.reserve(128 + ek.size() + ct.size());
  for (const ByteView part : {ByteView(inviter_id), ByteView(requester_id),
                              ByteView(inviter_x25519), ByteView(requester_eph), ek, ct}) {
    put_bytes(transcript, part);
  }
  return transcript;
}

Bytes transcript_message(std::uint8_t role, ByteView transcript) {
  Bytes message;
  message.reserve(labels::kInviteTranscript.size() + 1 + transcript.size());
  put_bytes(message, as_bytes(labels::kInviteTranscript));
  message.push_back(role);
  put_bytes(message, transcript);
  return message;
}

}  // namespace

Bytes Invite::to_bytes() const {
  Bytes out;
  out.reserve(kInviteBytes);
  put_bytes(out, identity);
  put_bytes(out, x25519_pub);
  put_bytes(out, ek);
  put_bytes(out, signature);
  put_bytes(out, rendezvous);
  return out;
}

std::optional<Invite> Invite::from_bytes(ByteView bytes) {
  if (bytes.size() != kInviteBytes) return std::nullopt;
  ByteReader reader(bytes);
  Invite invitation;
  invitation.identity = *reader.array<32>();
  invitation.x25519_pub = *reader.array<32>();
  invitation.ek = *reader.copy(kEncapsulationKeyBytes);
  invitation.signature = *reader.array<64>();
  invitation.rendezvous = *reader.array<32>();
  return invitation;
}

Bytes InviteSecret::to_bytes() const {
  Bytes out;
  out.reserve(kInviteSecretBytes);
  put_bytes(out, x25519_secret);
  put_bytes(out, dk);
  put_bytes(out, ek);
  put_bytes(out, rendezvous);
  return out;
}

std::optional<InviteSecret> InviteSecret::from_bytes(ByteView bytes) {
  if (bytes.size() != kInviteSecretBytes) return std::nullopt;
  ByteReader reader(bytes);
  InviteSecret secret;
  secret.x25519_secret = *reader.array<32>();
  secret.dk = *reader.copy(kDecapsulationKeyBytes);
  secret.ek = *reader.copy(kEncapsulationKeyBytes);
  secret.rendezvous = *reader.array<32>();
  return secret;
}

Bytes FriendRequest::to_bytes() const {
  Bytes out;
  out.reserve(kFriendRequestBytes);
  put_bytes(out, identity);
  put_bytes(out, eph_pub);
  put_bytes(out, ct);
  put_bytes(out, signature);
  return out;
}

std::optional<FriendRequest> FriendRequest::from_bytes(ByteView bytes) {
  if (bytes.size() != kFriendRequestBytes) return std::nullopt;
  ByteReader reader(bytes);
  FriendRequest request;
  request.identity = *reader.array<32>();
  request.eph_pub = *reader.array<32>();
  request.ct = *reader.copy(kCiphertextBytes);
  request.signature = *reader.array<64>();
  return request;
}

std::pair<Invite, InviteSecret> create_invite(const identity::Identity& inviter) {
  const Secret32 x25519_secret = random_secret32();
  const Key32 x25519_pub = crypto::x25519_public(x25519_secret.view());
  pqkem::KemKeyPair kem = pqkem::KemKeyPair::generate();
  const WipeOnExit wipe_dk(kem.dk);
  Key32 rendezvous{};
  os_random(rendezvous);
  const identity::Signature signature =
      inviter.sign(invite_message(inviter.public_key(), x25519_pub, kem.ek));
  return {Invite{inviter.public_key(), x25519_pub, Bytes(kem.ek.begin(), kem.ek.end()), signature,
                 rendezvous},
          InviteSecret{x25519_secret.bytes(), Bytes(kem.dk.begin(), kem.dk.end()),
                       Bytes(kem.ek.begin(), kem.ek.end()), rendezvous}};
}

std::optional<RequestOutput> request_friend(const Invite& invitation,
                                            const identity::Identity& requester) {
  const Bytes signed_invite =
      invite_message(invitation.identity, invitation.x25519_pub, invitation.ek);
  if (!identity::verify(invitation.identity, signed_invite, invitation.signature)) {
    return std::nullopt;
  }
  if (invitation.ek.size() != kEncapsulationKeyBytes) return std::nullopt;

  const Secret32 eph_secret = random_secret32();
  const crypto::HeldErrorQueue held;
  const Key32 eph_pub = crypto::x25519_public(eph_secret.view());
  const Secret32 x25519_shared = crypto::x25519(eph_secret.view(), invitation.x25519_pub);
  const pqkem::Encapsulation encapsulated = pqkem::encapsulate(
      FixedView<kEncapsulationKeyBytes>(invitation.ek.data(), kEncapsulationKeyBytes));

  Bytes transcript = transcript_of(invitation.identity, requester.public_key(),
                                   invitation.x25519_pub, eph_pub, invitation.ek, encapsulated.ct);
  const Secret32 session_key =
      crypto::hybrid_key(x25519_shared, encapsulated.ss.view(), transcript);
  const PlainSecret32 root = pairwise_root(session_key.view());
  const identity::Signature signature =
      requester.sign(transcript_message(kRequesterRole, transcript));

  return RequestOutput{
      FriendRequest{requester.public_key(), eph_pub,
                    Bytes(encapsulated.ct.begin(), encapsulated.ct.end()), signature},
      std::move(transcript), root, session_key.bytes(), invitation.identity};
}

std::optional<AcceptOutput> accept_friend(const InviteSecret& secret,
                                          const identity::Identity& inviter,
                                          const FriendRequest& request) {
  const Secret32 own_secret(secret.x25519_secret);
  const Key32 own_pub = crypto::x25519_public(own_secret.view());
  const Secret32 x25519_shared = crypto::x25519(own_secret.view(), request.eph_pub);
  if (secret.dk.size() != kDecapsulationKeyBytes || request.ct.size() != kCiphertextBytes) {
    return std::nullopt;
  }
  const Secret32 kem_secret = pqkem::decapsulate(
      FixedView<kDecapsulationKeyBytes>(secret.dk.data(), kDecapsulationKeyBytes),
      FixedView<kCiphertextBytes>(request.ct.data(), kCiphertextBytes));

  const Bytes transcript = transcript_of(inviter.public_key(), request.identity, own_pub,
                                         request.eph_pub, secret.ek, request.ct);
  if (!identity::verify(request.identity, transcript_message(kRequesterRole, transcript),
                        request.signature)) {
    return std::nullopt;
  }
  const crypto::HeldErrorQueue held;
  const Secret32 session_key = crypto::hybrid_key(x25519_shared, kem_secret.view(), transcript);
  const PlainSecret32 root = pairwise_root(session_key.view());
  const identity::Signature accept = inviter.sign(transcript_message(kInviterRole, transcript));
  return AcceptOutput{accept, root, session_key.bytes(), request.identity};
}

bool verify_accept(ByteView transcript, KeyView inviter_key, FixedView<kAcceptBytes> accept) {
  return identity::verify(inviter_key, transcript_message(kInviterRole, transcript), accept);
}

PlainSecret32 pairwise_root(KeyView session_key) {
  return crypto::hmac_sha256(session_key, {as_bytes(labels::kPairwiseRoot)});
}

Key32 invite_req_loc(KeyView rendezvous) {
  return crypto::hmac_sha256(rendezvous, {as_bytes(labels::kInviteRequestLocation)});
}

Key32 invite_acc_loc(KeyView rendezvous) {
  return crypto::hmac_sha256(rendezvous, {as_bytes(labels::kInviteAcceptLocation)});
}

PlainSecret32 invite_seal_key(KeyView rendezvous) {
  return crypto::hmac_sha256(rendezvous, {as_bytes(labels::kInviteSeal)});
}

}  // namespace vostrel::invite
