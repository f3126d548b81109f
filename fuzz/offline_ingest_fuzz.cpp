// ingest on a receiver with kept keys and stored prekeys: of fuzzed envelopes (mode 0), and of
// fuzzed padded plaintexts sealed under the direction's envelope key (mode 1: 8 bytes of sequence
// number, then the plaintext), so the inner record, mix header and frame are reached past the tag.
#include "offline_fixture.hpp"

using namespace vostrel;
using namespace vostrel::fuzz::offline_fixture;
using vostrel::fuzz::require;
using vostrel::offline::OfflineError;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  if (input.empty()) return 0;
  // Kept across inputs while every ingest refuses, which is checked to change nothing.
  static std::optional<OfflineReceiver> rx;
  if (!rx) rx.emplace(receiver());

  Bytes sealed;
  ByteView envelope = input.subspan(1);
  if (input[0] & 1) {
    if (envelope.size() < 8) return 0;
    sealed = seal_padded(load_be<std::uint64_t>(envelope.data()), envelope.subspan(8));
    envelope = sealed;
  }

  const Bytes before = receiver_state(*rx);
  const std::size_t prekeys_before = rx->prekeys().size();
  const std::uint64_t next_before = rx->chain().next();
  const auto message = offline::ingest(*rx, envelope);
  if (!message) {
    require(receiver_state(*rx) == before, "a refused envelope leaves the receiver unchanged");
    return 0;
  }
  require(rx->chain().next() >= next_before, "the chain never moves back");
  require(kept_keys_below_next(rx->chain()), "every kept key lies below the chain's position");
  require(rx->prekeys().size() + 1 >= prekeys_before, "an envelope spends at most one prekey");
  const Bytes opened = receiver_state(*rx);
  require(opened != before, "an opened envelope changes the receiver");
  const auto again = offline::ingest(*rx, envelope);
  require(!again && (again.error() == OfflineError::Chain(sendchain::ChainError::Replay) ||
                     again.error() == OfflineError::UnknownPrekey),
          "an opened envelope does not open twice");
  require(receiver_state(*rx) == opened, "a repeated envelope leaves the receiver unchanged");
  rx.emplace(receiver());
  return 0;
}
