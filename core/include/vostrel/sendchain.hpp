#pragma once

// The one-way symmetric chain of offline delivery: a sending half that seals frames under
// per-position message keys and a receiving half that opens them, out of order within a bound,
// changing nothing unless a frame authenticates.

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "vostrel/common.hpp"
#include "vostrel/crypto.hpp"

namespace vostrel::internal {
struct StateCopy;
}

namespace vostrel::sendchain {

inline constexpr std::uint8_t kFrameVersion = 0x01;
// Version byte and counter; also the frame's associated data.
inline constexpr std::size_t kFrameHeaderBytes = 9;
inline constexpr std::size_t kFrameOverheadBytes = kFrameHeaderBytes + crypto::kTagBytes;
// Most frames one open may pass over.
inline constexpr std::uint64_t CHAIN_MAX_SKIP = 2000;
// No frame carries this counter: the chain has no position after it.
inline constexpr std::uint64_t kLastCounter = ~std::uint64_t{0};

using BundleId = ByteArray<16>;

enum class ChainError : std::uint8_t {
  Malformed = 0,
  Replay = 1,
  TooManySkipped = 2,
  Decrypt = 3,
};

std::string_view to_string(ChainError error) noexcept;
std::ostream& operator<<(std::ostream& out, ChainError error);

struct MessageKeys {
  Secret32 key;
  crypto::Nonce12 nonce{};
};

// The AEAD key and nonce of one message key.
[[nodiscard]] MessageKeys message_keys(KeyView message_key);

// Folds a prekey's hybrid secret and bundle id into a chain key, in place.
void mix_in(Secret32& chain_key, const HybridSecret& secret, FixedView<16> bundle_id);

// A move zeroes the source's chain key; seal and mix_in on the source stop with "SendChain used
// after it was moved from".
class SendChain {
 public:
  // The chain of the direction whose sender has `sender_identity`, at counter 0.
  SendChain(KeyView root, KeyView sender_identity);
  // A chain resumed at a stored position.
  [[nodiscard]] static SendChain from_stored(KeyView chain_key, std::uint64_t next);

  SendChain(SendChain&&) noexcept = default;
  SendChain& operator=(SendChain&&) noexcept = default;

  // The frame of `message` at counter `next()`; the chain moves one position on. Stops with
  // "send chain exhausted" at kLastCounter.
  [[nodiscard]] Bytes seal(ByteView message);
  void mix_in(const HybridSecret& secret, FixedView<16> bundle_id);

  const Secret32& chain_key() const noexcept { return chain_key_; }
  std::uint64_t next() const noexcept { return next_; }

 private:
  SendChain(Secret32 chain_key, std::uint64_t next) noexcept
      : chain_key_(std::move(chain_key)), next_(next) {}

  Secret32 chain_key_;
  std::uint64_t next_ = 0;
  MoveMark moved_;
};

// A move zeroes the source's chain key and empties its kept keys; open and mix_in on the source
// stop with "RecvChain used after it was moved from".
class RecvChain {
 public:
  // Pairs with the peer's SendChain of the same root and sender identity.
  RecvChain(KeyView root, KeyView sender_identity);
  // A chain resumed at a stored position, with no skipped keys.
  [[nodiscard]] static RecvChain from_stored(KeyView chain_key, std::uint64_t next);

  RecvChain(RecvChain&&) noexcept = default;
  RecvChain& operator=(RecvChain&&) noexcept = default;

  // The message of a frame; on any error the chain is left exactly as it was. A frame at
  // kLastCounter is TooManySkipped.
  [[nodiscard]] std::expected<Bytes, ChainError> open(ByteView frame);
  void mix_in(const HybridSecret& secret, FixedView<16> bundle_id);

  const Secret32& chain_key() const noexcept { return chain_key_; }
  std::uint64_t next() const noexcept { return next_; }
  // Message keys of frames passed over and not yet opened, in counter order.
  using SkippedKeys = std::vector<std::pair<std::uint64_t, Secret32>>;
  const SkippedKeys& skipped() const noexcept { return skipped_; }

 private:
  RecvChain(Secret32 chain_key, std::uint64_t next) noexcept
      : chain_key_(std::move(chain_key)), next_(next) {}

  friend struct internal::StateCopy;

  // An independent copy with its own copies of every key; reached only through the internal
  // state-copy header.
  [[nodiscard]] RecvChain clone() const;
  [[nodiscard]] std::expected<Bytes, ChainError> open_skipped(std::uint64_t counter,
                                                              ByteView frame);
  [[nodiscard]] std::expected<Bytes, ChainError> open_ahead(std::uint64_t counter, ByteView frame);

  Secret32 chain_key_;
  std::uint64_t next_ = 0;
  // Sorted by counter; one allocation for a whole gap rather than a node per key.
  SkippedKeys skipped_;
  MoveMark moved_;
};

}  // namespace vostrel::sendchain
