#pragma once

// One direction of offline delivery: padded envelopes sealed on the send chain, optionally healed
// with a prekey, and the receiving half's prekey store with its sealed publication.
//
// Two losses the caller plans for (no byte format changes them):
// - A restored receiver keeps no skipped keys. A frame it passed over and had not opened before
//   the restart is refused afterwards as `Chain` carrying `Replay`, and so is every resend of that
//   envelope: the sender has to seal the message again under a new counter.
// - A mixed envelope whose prekey the receiver no longer holds (pruned, or not imported after a
//   restore) can never open (`UnknownPrekey`), nor can any later envelope in that direction: the
//   sender's chain has mixed in a secret the receiver never learns, so those give `UnknownPrekey`
//   or `Chain` carrying `Decrypt`. The sender is not told. A receiver ingests what waits before it
//   prunes, and treats an `UnknownPrekey` followed only by refusals as a broken direction, to be
//   set up again (a new root, new channels under it). outbox.hpp says how a channel snapshot meets
//   both.

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vostrel/common.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/prekey.hpp"
#include "vostrel/sendchain.hpp"

namespace vostrel::offline {

using prekey::PrekeyBundle;
using prekey::PrekeyId;
using prekey::PrekeySecret;
using sendchain::ChainError;

inline constexpr std::size_t PAD_BUCKET = 256;
inline constexpr std::size_t kMinEnvelope = 8;
inline constexpr std::size_t MAX_ENVELOPE = 65'536;
// The longest messages whose envelopes stay within MAX_ENVELOPE.
inline constexpr std::size_t kMaxPlainMessage = 65'250;
inline constexpr std::size_t kMaxMixedMessage = 64'114;

inline constexpr std::uint64_t PREKEY_TTL = 604'800;
inline constexpr std::size_t kPrekeyRecordBytes = 2456;
inline constexpr std::size_t kSealedBundleBytes = 1332;
// The most prekeys a receiving half holds: what a channel snapshot can carry.
inline constexpr std::size_t kMaxStoredPrekeys = 512;

class OfflineError {
 public:
  enum class Kind : std::uint8_t { Chain, Malformed, UnknownPrekey };

  // The send chain refused the frame inside the envelope.
  static constexpr OfflineError Chain(ChainError error) noexcept { return {Kind::Chain, error}; }
  static const OfflineError Malformed;
  static const OfflineError UnknownPrekey;

  constexpr Kind kind() const noexcept { return kind_; }
  constexpr std::optional<ChainError> chain_error() const noexcept {
    if (kind_ != Kind::Chain) return std::nullopt;
    return chain_;
  }

  friend constexpr bool operator==(const OfflineError&, const OfflineError&) = default;

 private:
  constexpr OfflineError(Kind kind, ChainError chain) noexcept : kind_(kind), chain_(chain) {}

  Kind kind_;
  ChainError chain_;  // fixed for the other kinds, so equality compares only what matters
};

inline constexpr OfflineError OfflineError::Malformed{Kind::Malformed, ChainError::Malformed};
inline constexpr OfflineError OfflineError::UnknownPrekey{Kind::UnknownPrekey,
                                                          ChainError::Malformed};

// "Malformed", "UnknownPrekey" or "Chain(Replay)" and the like.
std::string to_string(const OfflineError& error);
std::ostream& operator<<(std::ostream& out, const OfflineError& error);

// The first 12 bytes of HMAC(envelope key, "vostrel/v1/env-nonce" || seq).
[[nodiscard]] crypto::Nonce12 env_nonce(KeyView env_key, std::uint64_t seq);
// Mailbox token of the envelopes from `sender_identity` in one epoch.
[[nodiscard]] Key32 mbx_loc(KeyView root, KeyView sender_identity, std::uint64_t epoch);

// seal on a moved-from sender stops with "OfflineSender used after it was moved from".
class OfflineSender {
 public:
  OfflineSender(KeyView root, KeyView own_identity);
  [[nodiscard]] static OfflineSender restore(KeyView root, KeyView own_identity, KeyView chain_key,
                                             std::uint64_t counter);

  // The envelope of `message`, mixed with the peer's prekey when `bundle` is given (verified by
  // the caller). Absent, with nothing changed, when the bundle is refused, the envelope would
  // exceed MAX_ENVELOPE or the chain stands at its last counter: the peer could never ingest it.
  // A stop changes nothing either: a chain that moved on or mixed without handing out its
  // envelope would strand the direction.
  [[nodiscard]] std::optional<Bytes> seal(ByteView message, const PrekeyBundle* bundle = nullptr);

  const sendchain::SendChain& chain() const noexcept { return chain_; }

 private:
  OfflineSender(const PlainSecret32& env_key, sendchain::SendChain chain) noexcept
      : env_key_(env_key), chain_(std::move(chain)) {}

  PlainSecret32 env_key_;
  sendchain::SendChain chain_;
  MoveMark moved_;
};

// A moved-from receiver holds no prekeys; ingest, ingest_batch, publish_prekeys, prune_prekeys and
// import_prekeys on it stop with "OfflineReceiver used after it was moved from".
class OfflineReceiver {
 public:
  OfflineReceiver(KeyView root, KeyView peer_identity);
  // At a stored chain position, with no skipped keys and no prekeys.
  [[nodiscard]] static OfflineReceiver restore(KeyView root, KeyView peer_identity,
                                               KeyView chain_key, std::uint64_t counter);

  // n new prekeys valid until now + PREKEY_TTL, their secrets stored; the expiry saturates at
  // 2^64 - 1 rather than wrap. Returns no bundle and changes nothing for n = 0, when the store
  // would exceed kMaxStoredPrekeys, or at now = 2^64 - 1, where no bundle could be valid. A stop
  // stores none of the new prekeys.
  [[nodiscard]] std::vector<PrekeyBundle> publish_prekeys(const identity::Identity& owner,
                                                          std::size_t n, std::uint64_t now);
  // Removes every prekey whose expiry is at or before now.
  void prune_prekeys(std::uint64_t now);
  // Stores every record of exactly kPrekeyRecordBytes; the last record of an id wins. A stop
  // stores none of them.
  void import_prekeys(std::span<const ByteView> records);

  using PrekeyStore = std::map<PrekeyId, PrekeySecret>;

  const sendchain::RecvChain& chain() const noexcept { return chain_; }
  const PrekeyStore& prekeys() const noexcept { return prekeys_; }

 private:
  friend std::expected<Bytes, OfflineError> ingest(OfflineReceiver& receiver, ByteView envelope);
  friend std::vector<Bytes> ingest_batch(OfflineReceiver& receiver,
                                         std::span<const Bytes> envelopes);

  OfflineReceiver(sendchain::RecvChain chain, const PlainSecret32& env_key) noexcept
      : chain_(std::move(chain)), env_key_(env_key) {}

  // Moves every prekey of `fresh` into the store, over a stored one of its id; allocates nothing.
  void take_prekeys(PrekeyStore& fresh) noexcept;
  // A prekey that an opened envelope spends moves to `spent`.
  [[nodiscard]] std::expected<Bytes, OfflineError> open_envelope(ByteView envelope,
                                                                 PrekeyStore& spent);
  [[nodiscard]] std::expected<Bytes, OfflineError> ingest_mixed(ByteView inner, PrekeyStore& spent);

  sendchain::RecvChain chain_;
  PlainSecret32 env_key_;
  PrekeyStore prekeys_;
  MoveMark moved_;
};

// The message of an envelope; the receiver changes only when a message is returned.
[[nodiscard]] std::expected<Bytes, OfflineError> ingest(OfflineReceiver& receiver,
                                                        ByteView envelope);
// The messages of the envelopes that ingest opens, in input order; the others are dropped. A stop
// leaves the receiver as it was before the first envelope, at the cost of one copy of its kept
// keys per call (some 8 ns a key; an envelope takes some 3 us to open).
[[nodiscard]] std::vector<Bytes> ingest_batch(OfflineReceiver& receiver,
                                              std::span<const Bytes> envelopes);

// --- prekey publication ---

[[nodiscard]] PlainSecret32 prekey_seal_key(KeyView root, KeyView owner_identity);
[[nodiscard]] Key32 prekey_loc(KeyView root, KeyView owner_identity, std::uint64_t epoch);

// The 1332-byte sealed form of a bundle; deterministic.
[[nodiscard]] Bytes seal_bundle(KeyView seal_key, const PrekeyBundle& bundle);
// Checks neither signature nor expiry: the sender verifies the bundle before spending it.
[[nodiscard]] std::optional<PrekeyBundle> open_bundle(KeyView seal_key, ByteView blob);

// The 2456-byte stored form of a prekey secret, keys in clear.
[[nodiscard]] SecretBytes prekey_record(const PrekeySecret& secret);

}  // namespace vostrel::offline
