// request_friend on fuzzed invitations. The input is a mode byte and bytes laid over a fixed,
// well-formed invitation (a short input changes only its first fields). Mode bit 0 signs the
// result again as the fixed inviter, so that fuzzed keys reach the agreement; without it the
// signature must be what decides. When the public keys are the fixture's own, the inviter must
// accept the request and agree on the keys.
#include <algorithm>

#include "fuzz_support.hpp"
#include "invite_fixture.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/invite.hpp"
#include "vostrel/pqkem.hpp"

using namespace vostrel;

namespace {

using fuzz::invite_message;
using fuzz::transcript_message;
using Fixture = fuzz::InviteFixture;

const Fixture& fixture() {
  return fuzz::invite_fixture();
}

void check_output(const Fixture& f, const invite::Invite& invitation,
                  const invite::RequestOutput& out) {
  fuzz::require(out.peer_id == invitation.identity, "the requester learns the invitation's key");
  fuzz::require(out.request.identity == f.requester.public_key(), "the request names its sender");
  fuzz::require(out.transcript.size() == invite::kTranscriptBytes &&
                    out.request.to_bytes().size() == invite::kFriendRequestBytes,
                "the transcript and the request have their fixed sizes");
  const ByteView transcript(out.transcript);
  fuzz::require(std::ranges::equal(transcript.subspan(0, 32), invitation.identity) &&
                    std::ranges::equal(transcript.subspan(64, 32), invitation.x25519_pub) &&
                    std::ranges::equal(transcript.subspan(128, 1184), invitation.ek) &&
                    std::ranges::equal(transcript.subspan(1312), out.request.ct),
                "the transcript holds the invitation's values and the ciphertext");
  fuzz::require(out.root == invite::pairwise_root(out.session_key), "the root follows the key");
  fuzz::require(identity::verify(f.requester.public_key(), transcript_message(0x01, out.transcript),
                                 out.request.signature),
                "the request is signed over the transcript");

  if (invitation.identity != f.invitation.identity ||
      invitation.x25519_pub != f.invitation.x25519_pub || invitation.ek != f.invitation.ek) {
    return;
  }
  const auto accepted = invite::accept_friend(f.secret, f.inviter, out.request);
  fuzz::require(accepted.has_value(), "the inviter accepts a request to its own invitation");
  fuzz::require(accepted->root == out.root && accepted->session_key == out.session_key,
                "both sides agree on the root and the session key");
  fuzz::require(invite::verify_accept(out.transcript, out.peer_id, accepted->accept),
                "the acceptance verifies");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Fixture& f = fixture();
  Bytes bytes = f.invitation.to_bytes();
  std::copy_n(data + 1, std::min(size - 1, bytes.size()), bytes.begin());
  auto invitation = invite::Invite::from_bytes(bytes);
  fuzz::require(invitation.has_value(), "any 1344 bytes parse as an invitation");
  const bool resign = (data[0] & 1) != 0;
  if (resign) {
    invitation->identity = f.inviter.public_key();
    invitation->signature = f.inviter.sign(invite_message(*invitation));
  }
  const bool genuine =
      identity::verify(invitation->identity, invite_message(*invitation), invitation->signature);
  fuzz::require(!resign || genuine, "a re-signed invitation verifies");

  const auto out = invite::request_friend(*invitation, f.requester);
  fuzz::require(out.has_value() == genuine, "an invitation is taken exactly when it is signed");
  if (out) check_output(f, *invitation, *out);
  return 0;
}
