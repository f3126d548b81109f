#pragma once

// The fixed invitation of the invitation targets and their seeds: every value follows from fixed
// bytes, so that requests written by the seed program pass the targets' checks.

#include "fuzz_support.hpp"
#include "vostrel/invite.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/pqkem.hpp"

namespace vostrel::fuzz {

inline Bytes invite_message(const invite::Invite& invitation) {
  Bytes message;
  put_bytes(message, as_bytes(labels::kInvitePrekey));
  put_bytes(message, invitation.identity);
  put_bytes(message, invitation.x25519_pub);
  put_bytes(message, invitation.ek);
  return message;
}

inline Bytes transcript_message(std::uint8_t role, ByteView transcript) {
  Bytes message;
  put_bytes(message, as_bytes(labels::kInviteTranscript));
  message.push_back(role);
  put_bytes(message, transcript);
  return message;
}

// The invitation the seeds are made from: every value follows from fixed bytes.
struct InviteFixture {
  identity::Identity inviter = fixed_identity(0x11);
  identity::Identity requester = fixed_identity(0x22);
  invite::Invite invitation;
  invite::InviteSecret secret;

  InviteFixture() {
    Key32 x25519_secret{};
    x25519_secret.fill(0x33);
    ByteArray<pqkem::kSeedBytes> kem_seed{};
    kem_seed.fill(0x44);
    const pqkem::KemKeyPair kem = pqkem::KemKeyPair::from_seed(kem_seed);
    Key32 rendezvous{};
    rendezvous.fill(0x55);
    invitation = {inviter.public_key(),
                  crypto::x25519_public(x25519_secret),
                  Bytes(kem.ek.begin(), kem.ek.end()),
                  {},
                  rendezvous};
    invitation.signature = inviter.sign(invite_message(invitation));
    secret = {x25519_secret, Bytes(kem.dk.begin(), kem.dk.end()), invitation.ek, rendezvous};
  }
};

inline const InviteFixture& invite_fixture() {
  static const InviteFixture f;
  return f;
}

}  // namespace vostrel::fuzz
