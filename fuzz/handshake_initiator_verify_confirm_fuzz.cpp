// initiator_verify_confirm on fuzzed Confirm messages against one real exchange: the input is
// XORed over the responder's own Confirm (the empty input is that Confirm). A Confirm is accepted
// exactly when its signature over the transcript verifies, and then gives its identity.
#include "fuzz_support.hpp"
#include "vostrel/handshake.hpp"

using namespace vostrel;
using namespace vostrel::handshake;

namespace {

struct Exchange {
  identity::Identity initiator = identity::Identity::generate();
  identity::Identity responder = identity::Identity::generate();
  std::pair<ResponderState, Hello> started = responder_start();
  InitiatorAuth auth = initiator_reply_auth(started.second, initiator);
  Confirm confirm =
      responder_finish_auth(std::move(started.first), auth.areply, responder).value().confirm;
  ByteArray<kConfirmBytes> confirm_bytes = confirm.to_bytes();
};

const Exchange& exchange() {
  static const Exchange fixture;
  return fixture;
}

Bytes responder_message(ByteView transcript) {
  Bytes message(kAuthLabel.begin(), kAuthLabel.end());
  message.push_back(kResponderRole);
  message.insert(message.end(), transcript.begin(), transcript.end());
  return message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Exchange& ex = exchange();
  const Bytes message = fuzz::overlay(ex.confirm_bytes, data, size);

  const auto confirm = Confirm::from_bytes(message);
  fuzz::require(confirm.has_value() == (message.size() == kConfirmBytes), "exactly 96 bytes parse");
  if (!confirm) return 0;

  const auto verified = initiator_verify_confirm(ex.auth.transcript, *confirm);
  const bool signed_here = identity::verify(
      confirm->identity, responder_message(ex.auth.transcript), confirm->signature);
  fuzz::require(verified.has_value() == signed_here,
                "accepted exactly when the signature over the transcript verifies");
  fuzz::require(verified.has_value() || *confirm != ex.confirm,
                "the responder's own Confirm is accepted");
  if (verified) fuzz::require(*verified == confirm->identity, "gives the Confirm's identity");
  return 0;
}
