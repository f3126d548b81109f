#include "vostrel/sendchain.hpp"

#include <algorithm>
#include <iterator>
#include <ostream>
#include <utility>
#include <vector>

#include "vostrel/internal/error_queue.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::sendchain {

namespace {

constexpr std::string_view kChainInitLabel = labels::kChainInit;
constexpr std::string_view kMessageLabel = labels::kChainMessage;
constexpr std::string_view kChainLabel = labels::kChainNext;
constexpr std::string_view kEncLabel = labels::kChainEncryption;
constexpr std::string_view kNonceLabel = labels::kChainNonce;
constexpr std::string_view kMixInLabel = labels::kChainMixIn;

// A derived key kept in a wiping type.
Secret32 derive_secret(KeyView key, std::initializer_list<ByteView> parts) {
  Key32 mac = crypto::hmac_sha256(key, parts);
  Secret32 out(mac);
  secure_zero(mac.data(), mac.size());
  return out;
}

Secret32 first_chain_key(KeyView root, KeyView sender_identity) {
  return derive_secret(root, {as_bytes(kChainInitLabel), sender_identity});
}

struct ChainStep {
  Secret32 message_key;
  Secret32 next_chain_key;
};

// Both MACs of a position under its chain key, prepared once; the key is used up.
ChainStep chain_step(crypto::HmacKey& chain_key) {
  ChainStep step;
  chain_key.mac_into(step.message_key.mutable_bytes(), {as_bytes(kMessageLabel)});
  chain_key.last_mac_into(step.next_chain_key.mutable_bytes(), {as_bytes(kChainLabel)});
  return step;
}

ByteArray<kFrameHeaderBytes> frame_header(std::uint64_t counter) {
  return concat(be_bytes(kFrameVersion), be_bytes(counter));
}

// The AEAD key and nonce under `key`, which holds the message key and is used up.
MessageKeys message_keys_on(crypto::HmacKey& key) {
  MessageKeys keys;
  key.mac_into(keys.key.mutable_bytes(), {as_bytes(kEncLabel)});
  Secret32 nonce_source;
  key.last_mac_into(nonce_source.mutable_bytes(), {as_bytes(kNonceLabel)});
  std::copy_n(nonce_source.bytes().begin(), keys.nonce.size(), keys.nonce.begin());
  return keys;
}

// The frame opened under `key`, which holds its message key and is used up.
std::optional<Bytes> open_with(crypto::HmacKey& key, ByteView frame) {
  const MessageKeys keys = message_keys_on(key);
  return crypto::open(keys.key.view(), keys.nonce, frame.first(kFrameHeaderBytes),
                      frame.subspan(kFrameHeaderBytes));
}

}  // namespace

std::string_view to_string(ChainError error) noexcept {
  switch (error) {
    case ChainError::Malformed:
      return "Malformed";
    case ChainError::Replay:
      return "Replay";
    case ChainError::TooManySkipped:
      return "TooManySkipped";
    case ChainError::Decrypt:
      return "Decrypt";
  }
  return "ChainError(?)";
}

std::ostream& operator<<(std::ostream& out, ChainError error) {
  return out << to_string(error);
}

MessageKeys message_keys(KeyView message_key) {
  const crypto::HeldErrorQueue held;
  crypto::HmacKey key(message_key);
  return message_keys_on(key);
}

void mix_in(Secret32& chain_key, const HybridSecret& secret, FixedView<16> bundle_id) {
  // Move-assignment overwrites the old key's bytes in place.
  chain_key = derive_secret(chain_key.view(), {as_bytes(kMixInLabel), bundle_id, secret.view()});
}

// --- SendChain ---

SendChain::SendChain(KeyView root, KeyView sender_identity)
    : chain_key_(first_chain_key(root, sender_identity)) {}

SendChain SendChain::from_stored(KeyView chain_key, std::uint64_t next) {
  return SendChain(Secret32(chain_key), next);
}

Bytes SendChain::seal(ByteView message) {
  moved_.check("SendChain");
  // The last counter has no next position; wrapping would reuse counters and envelope nonces.
  if (next_ == kLastCounter) throw Panic("send chain exhausted");
  const crypto::HeldErrorQueue held;
  crypto::HmacKey key(chain_key_.view());
  ChainStep step = chain_step(key);
  key.rekey(step.message_key.view());
  const MessageKeys keys = message_keys_on(key);
  const auto header = frame_header(next_);
  const Bytes sealed = crypto::seal(keys.key.view(), keys.nonce, header, message);
  Bytes frame;
  frame.reserve(kFrameHeaderBytes + sealed.size());
  put_bytes(frame, header);
  put_bytes(frame, sealed);
  chain_key_ = std::move(step.next_chain_key);
  ++next_;
  return frame;
}

void SendChain::mix_in(const HybridSecret& secret, FixedView<16> bundle_id) {
  moved_.check("SendChain");
  sendchain::mix_in(chain_key_, secret, bundle_id);
}

// --- RecvChain ---

RecvChain::RecvChain(KeyView root, KeyView sender_identity)
    : chain_key_(first_chain_key(root, sender_identity)) {}

RecvChain RecvChain::from_stored(KeyView chain_key, std::uint64_t next) {
  return RecvChain(Secret32(chain_key), next);
}

RecvChain RecvChain::clone() const {
  moved_.check("RecvChain");
  RecvChain copy(chain_key_.clone(), next_);
  copy.skipped_.reserve(skipped_.size());
  for (const auto& [counter, key] : skipped_) copy.skipped_.emplace_back(counter, key.clone());
  return copy;
}

void RecvChain::mix_in(const HybridSecret& secret, FixedView<16> bundle_id) {
  moved_.check("RecvChain");
  sendchain::mix_in(chain_key_, secret, bundle_id);
}

std::expected<Bytes, ChainError> RecvChain::open(ByteView frame) {
  moved_.check("RecvChain");
  if (frame.size() < kFrameHeaderBytes || frame[0] != kFrameVersion) {
    return std::unexpected(ChainError::Malformed);
  }
  const auto counter = load_be<std::uint64_t>(frame.data() + 1);
  if (counter < next_) return open_skipped(counter, frame);
  // A frame at the last counter could not move the chain past it: it is out of reach.
  if (counter - next_ > CHAIN_MAX_SKIP || counter == kLastCounter) {
    return std::unexpected(ChainError::TooManySkipped);
  }
  return open_ahead(counter, frame);
}

std::expected<Bytes, ChainError> RecvChain::open_skipped(std::uint64_t counter, ByteView frame) {
  const auto kept = std::lower_bound(skipped_.begin(), skipped_.end(), counter,
                                     [](const SkippedKeys::value_type& entry,
                                        std::uint64_t wanted) { return entry.first < wanted; });
  if (kept == skipped_.end() || kept->first != counter) return std::unexpected(ChainError::Replay);
  // A damaged copy must not burn the key of the genuine frame.
  const crypto::HeldErrorQueue held;
  crypto::HmacKey key(kept->second.view());
  auto message = open_with(key, frame);
  if (!message) return std::unexpected(ChainError::Decrypt);
  skipped_.erase(kept);
  return std::move(*message);
}

std::expected<Bytes, ChainError> RecvChain::open_ahead(std::uint64_t counter, ByteView frame) {
  // Everything is derived on the side and committed only once the tag has verified. One prepared
  // key walks the whole gap, re-keyed at each position.
  const crypto::HeldErrorQueue held;
  SkippedKeys passed_over;
  passed_over.reserve(static_cast<std::size_t>(counter - next_));
  crypto::HmacKey walk(chain_key_.view());
  for (std::uint64_t i = next_; i < counter; ++i) {
    ChainStep step = chain_step(walk);
    passed_over.emplace_back(i, std::move(step.message_key));
    walk.rekey(step.next_chain_key.view());
  }
  ChainStep step = chain_step(walk);
  walk.rekey(step.message_key.view());
  auto message = open_with(walk, frame);
  if (!message) return std::unexpected(ChainError::Decrypt);

  // Every passed-over counter lies above the kept ones, so appending keeps the counter order.
  if (skipped_.empty()) {
    skipped_ = std::move(passed_over);
  } else {
    skipped_.insert(skipped_.end(), std::make_move_iterator(passed_over.begin()),
                    std::make_move_iterator(passed_over.end()));
  }
  chain_key_ = std::move(step.next_chain_key);
  next_ = counter + 1;
  return std::move(*message);
}

}  // namespace vostrel::sendchain
