// RecvChain::open on fuzzed frames against a chain with kept keys (mode 0), and on frames sealed
// by a SendChain at a fuzzed counter for a chain at a fuzzed position (mode 1), so the walk, the
// commit and the counter arithmetic are reached past the tag.
#include "offline_fixture.hpp"
#include "vostrel/internal/state_copy.hpp"

using namespace vostrel;
using namespace vostrel::fuzz::offline_fixture;
using vostrel::fuzz::require;
using vostrel::sendchain::CHAIN_MAX_SKIP;
using vostrel::sendchain::ChainError;

namespace {

// An opened frame moved the chain forward or spent one kept key, and cannot open again.
void check_opened(RecvChain& chain, const Bytes& before_state, std::uint64_t before_next,
                  std::size_t before_kept, ByteView frame) {
  require(chain_state(chain) != before_state, "an opened frame changes the chain");
  require(chain.next() > before_next ||
              (chain.next() == before_next && chain.skipped().size() + 1 == before_kept),
          "an opened frame moves the chain on or spends one kept key");
  require(kept_keys_below_next(chain), "every kept key lies below the chain's position");
  const Bytes opened_state = chain_state(chain);
  const auto again = chain.open(frame);
  require(!again && again.error() == ChainError::Replay, "an opened frame is a replay after");
  require(chain_state(chain) == opened_state, "a replay leaves the chain unchanged");
}

void fixture_frame(ByteView frame) {
  static const RecvChain pristine = recv_chain();
  RecvChain chain = internal::clone(pristine);
  const Bytes before = chain_state(chain);
  const auto opened = chain.open(frame);
  if (!opened) {
    require(chain_state(chain) == before, "a refused frame leaves the chain unchanged");
    return;
  }
  check_opened(chain, before, pristine.next(), pristine.skipped().size(), frame);
}

void sealed_frame(ByteView input) {
  ByteReader reader(input);
  const auto receiver_next = reader.u64();
  const auto counter = reader.u64();
  if (!receiver_next || !counter) return;
  const ByteView message = input.subspan(16);
  if (*counter == sendchain::kLastCounter) {
    // No sender seals there; whatever the frame holds, no chain may step past it.
    Bytes frame{sendchain::kFrameVersion};
    put_be(frame, *counter);
    put_bytes(frame, message);
    RecvChain chain = RecvChain::from_stored(root(), *receiver_next);
    const Bytes before = chain_state(chain);
    const auto opened = chain.open(frame);
    require(!opened && opened.error() == ChainError::TooManySkipped,
            "a frame at the last counter is out of reach");
    require(chain_state(chain) == before, "a refused frame leaves the chain unchanged");
    return;
  }

  // Within reach (and one past the limit) the sender walks from the receiver's key, so the frame
  // is genuine; elsewhere any key will do, since the frame is refused before its tag.
  const bool reachable =
      *counter >= *receiver_next && *counter - *receiver_next <= CHAIN_MAX_SKIP + 1;
  SendChain sender = SendChain::from_stored(root(), reachable ? *receiver_next : *counter);
  while (sender.next() != *counter) (void)sender.seal({});
  const Bytes frame = sender.seal(message);
  RecvChain chain = RecvChain::from_stored(root(), *receiver_next);
  const Bytes before = chain_state(chain);
  const auto opened = chain.open(frame);
  if (!opened) {
    require(chain_state(chain) == before, "a refused frame leaves the chain unchanged");
    if (*counter < *receiver_next)
      require(opened.error() == ChainError::Replay, "a counter below the chain is a replay");
    else if (*counter - *receiver_next > CHAIN_MAX_SKIP)
      require(opened.error() == ChainError::TooManySkipped, "a gap past the limit is refused");
    return;
  }
  require(*counter >= *receiver_next && *counter - *receiver_next <= CHAIN_MAX_SKIP,
          "only a frame within the skip limit opens on a new chain");
  require(*opened == Bytes(message.begin(), message.end()), "a frame opens to its message");
  require(chain.skipped().size() == *counter - *receiver_next, "every passed-over key is kept");
  check_opened(chain, before, *receiver_next, 0, frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  if (input.empty()) return 0;
  if (input[0] & 1)
    sealed_frame(input.subspan(1));
  else
    fixture_frame(input.subspan(1));
  return 0;
}
