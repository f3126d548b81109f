// accept_friend on fuzzed friend requests to a fixed invitation. The input is a mode byte and
// bytes laid over a real request to that invitation (a short input changes only its first
// fields). Mode bit 0 signs the result again as the fixed requester, over the transcript the
// inviter rebuilds, so that fuzzed ephemeral keys and ciphertexts reach the agreement; without it
// the signature must be what decides. The invitation's secret is only read.
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

struct Exchange {
  invite::RequestOutput request;
  Bytes secret_bytes;
};

const Exchange& exchange() {
  static const Exchange e = [] {
    const Fixture& f = fixture();
    auto out = invite::request_friend(f.invitation, f.requester);
    fuzz::require(out.has_value(), "the fixed invitation is taken");
    return Exchange{std::move(*out), f.secret.to_bytes()};
  }();
  return e;
}

Bytes rebuilt_transcript(const Fixture& f, const invite::FriendRequest& request) {
  Bytes transcript;
  put_bytes(transcript, f.inviter.public_key());
  put_bytes(transcript, request.identity);
  put_bytes(transcript, crypto::x25519_public(f.secret.x25519_secret));
  put_bytes(transcript, request.eph_pub);
  put_bytes(transcript, f.secret.ek);
  put_bytes(transcript, request.ct);
  return transcript;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Fixture& f = fixture();
  const Exchange& e = exchange();
  Bytes bytes = e.request.request.to_bytes();
  std::copy_n(data + 1, std::min(size - 1, bytes.size()), bytes.begin());
  auto request = invite::FriendRequest::from_bytes(bytes);
  fuzz::require(request.has_value(), "any 1216 bytes parse as a friend request");
  const bool resign = (data[0] & 1) != 0;
  if (resign) request->identity = f.requester.public_key();
  const Bytes transcript = rebuilt_transcript(f, *request);
  const Bytes signed_message = transcript_message(0x01, transcript);
  if (resign) request->signature = f.requester.sign(signed_message);
  const bool genuine = identity::verify(request->identity, signed_message, request->signature);
  fuzz::require(!resign || genuine, "a re-signed request verifies");

  const auto accepted = invite::accept_friend(f.secret, f.inviter, *request);
  fuzz::require(f.secret.to_bytes() == e.secret_bytes, "accepting only reads the secret");
  fuzz::require(accepted.has_value() == genuine, "a request is taken exactly when it is signed");
  if (!accepted) return 0;
  fuzz::require(accepted->peer_id == request->identity, "the inviter learns the requester's key");
  fuzz::require(accepted->root == invite::pairwise_root(accepted->session_key),
                "the root follows the key");
  fuzz::require(invite::verify_accept(transcript, f.inviter.public_key(), accepted->accept),
                "the acceptance covers the rebuilt transcript");
  if (request->eph_pub == e.request.request.eph_pub && request->ct == e.request.request.ct) {
    fuzz::require(
        accepted->root == e.request.root && accepted->session_key == e.request.session_key,
        "the requester's own values give the requester's keys");
  }
  return 0;
}
