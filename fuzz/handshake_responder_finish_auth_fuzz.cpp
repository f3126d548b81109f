// responder_finish_auth on fuzzed AuthReply messages against one real exchange: the input is
// XORed over the initiator's own AuthReply (the empty input is that reply), so the fuzzer works
// from a message that verifies. The responder accepts exactly when the initiator's signature over
// this exchange's transcript verifies, and then agrees with the initiator.
#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/handshake.hpp"

using namespace vostrel;
using namespace vostrel::handshake;

namespace {

struct Exchange {
  identity::Identity initiator = identity::Identity::generate();
  identity::Identity responder = identity::Identity::generate();
  std::pair<ResponderState, Hello> started = responder_start();
  InitiatorAuth auth = initiator_reply_auth(started.second, initiator);
  ByteArray<kAuthReplyBytes> reply_bytes = auth.areply.to_bytes();
};

const Exchange& exchange() {
  static const Exchange fixture;
  return fixture;
}

ResponderState copy_of(const ResponderState& state) {
  return ResponderState{state.x25519_secret.clone(), state.ek, state.dk};
}

Bytes initiator_message(ByteView transcript) {
  Bytes message(kAuthLabel.begin(), kAuthLabel.end());
  message.push_back(kInitiatorRole);
  message.insert(message.end(), transcript.begin(), transcript.end());
  return message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Exchange& ex = exchange();
  const Hello& hello = ex.started.second;
  const Bytes message = fuzz::overlay(ex.reply_bytes, data, size);

  const auto areply = AuthReply::from_bytes(message);
  fuzz::require(areply.has_value() == (message.size() == kAuthReplyBytes),
                "exactly 1216 bytes parse");
  if (!areply) return 0;

  const Bytes transcript = handshake_transcript(hello.x25519_public, areply->reply.x25519_public,
                                                hello.ek, areply->reply.ct);
  const bool signed_here =
      identity::verify(areply->identity, initiator_message(transcript), areply->signature);
  auto finished = responder_finish_auth(copy_of(ex.started.first), *areply, ex.responder);
  fuzz::require(finished.has_value() == signed_here,
                "accepted exactly when the initiator's signature over the transcript verifies");
  fuzz::require(finished.has_value() || *areply != ex.auth.areply,
                "the initiator's own reply is accepted");
  if (!finished) return 0;

  fuzz::require(finished->peer_id == areply->identity, "the peer is the reply's identity");
  fuzz::require(finished->confirm.identity == ex.responder.public_key(),
                "the Confirm names the responder");
  fuzz::require(
      initiator_verify_confirm(transcript, finished->confirm) == ex.responder.public_key(),
      "the Confirm verifies over the same transcript");
  fuzz::require(finished->ephemeral_secret.bytes() == ex.started.first.x25519_secret.bytes(),
                "the ephemeral secret is the state's");
  const Secret32 expected_key = areply->reply == ex.auth.areply.reply
                                    ? ex.auth.session_key.clone()
                                    : responder_finish(copy_of(ex.started.first), areply->reply);
  fuzz::require(crypto::ct_equal(finished->session_key.view(), expected_key.view()),
                "the key is the one the reply gives");
  return 0;
}
