#pragma once

// The offline channel an application holds per peer: both halves of offline delivery, a bounded
// outbox of sealed envelopes kept until acknowledged, and a snapshot that survives a restart.
//
// Two losses the caller plans for (no byte format changes them):
// - A snapshot keeps no skipped keys. A frame the receiving half passed over (it opened a later
//   one) and had not opened by the snapshot is refused after the restore as `Chain` carrying
//   `Replay`, and so is every resend of it, since the outbox resends the same blob: the message
//   never arrives. Take snapshots when no frame is outstanding (`rx().chain().skipped()` is
//   empty); a sender whose entry stays unacknowledged queues the message again, under a new
//   counter, rather than resend it.
// - `restore` prunes the prekeys expired at its `now`. A mixed envelope still undelivered when its
//   prekey goes can never open (`UnknownPrekey`), and since the sender's chain has mixed in a
//   secret the receiver never learns, no later envelope in that direction opens either:
//   `UnknownPrekey` for those mixed with a prekey the receiver no longer holds, `Chain` carrying
//   `Decrypt` for the others. The sender is not told. A receiver back after longer than
//   PREKEY_TTL can restore at the snapshot's own time, ingest what waits, and only then call
//   `rx().prune_prekeys(now)`. An `UnknownPrekey` followed only by refusals marks a broken
//   direction, to be set up again (a new root, new channels under it).

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vostrel/common.hpp"
#include "vostrel/offline.hpp"
#include "vostrel/prekey.hpp"

namespace vostrel::outbox {

using offline::OfflineReceiver;
using offline::OfflineSender;
using prekey::PrekeyBundle;

// queue refuses while this many entries are unacknowledged; also the most a snapshot holds.
inline constexpr std::size_t MAX_PENDING = 256;
inline constexpr std::size_t MAX_SNAPSHOT_PREKEYS = offline::kMaxStoredPrekeys;
inline constexpr std::size_t MAX_ENVELOPE = offline::MAX_ENVELOPE;
inline constexpr std::uint8_t kSnapshotVersion = 0x01;
// Version, both chain keys and counters, and the prekey count.
inline constexpr std::size_t kSnapshotHeadBytes = 85;

struct OutboxEntry {
  Bytes blob;  // the envelope exactly as sealed
  std::uint64_t seq = 0;
  bool acked = false;

  friend bool operator==(const OutboxEntry&, const OutboxEntry&) = default;
};

// queue, ingest_batch and snapshot on a moved-from channel stop with "OfflineChannel used after it
// was moved from"; its outbox is empty.
class OfflineChannel {
 public:
  OfflineChannel(KeyView root, KeyView own_identity, KeyView peer_identity);

  // The channel of a version-1 snapshot within the limits, its expired prekeys dropped at `now`.
  // The keys must be those the channel was made with: nothing in the snapshot binds them.
  [[nodiscard]] static std::optional<OfflineChannel> restore(KeyView root, KeyView own_identity,
                                                             KeyView peer_identity,
                                                             std::uint64_t now, ByteView snapshot);

  // Copies of the unacknowledged envelopes, in outbox order.
  [[nodiscard]] std::vector<Bytes> pending() const;
  // Marks the first entry with `seq` acknowledged and removes every acknowledged entry.
  void ack(std::uint64_t seq);
  // The messages of the blobs that open, in input order; the others are dropped. A stop leaves
  // the channel as it was (see offline::ingest_batch).
  [[nodiscard]] std::vector<Bytes> ingest_batch(std::span<const Bytes> blobs);
  // Both chain positions, the unconsumed prekey secrets and the outbox, keys in clear.
  [[nodiscard]] SecretBytes snapshot() const;

  const std::vector<OutboxEntry>& outbox() const noexcept { return outbox_; }
  const OfflineSender& tx() const noexcept { return tx_; }
  // The receiving half, through which the owner publishes its prekeys.
  OfflineReceiver& rx() noexcept { return rx_; }
  const OfflineReceiver& rx() const noexcept { return rx_; }

 private:
  friend bool queue(OfflineChannel& channel, ByteView message, const PrekeyBundle* bundle);

  OfflineChannel(std::vector<OutboxEntry> outbox, OfflineSender tx, OfflineReceiver rx) noexcept
      : outbox_(std::move(outbox)), tx_(std::move(tx)), rx_(std::move(rx)) {}

  std::size_t unacknowledged() const noexcept;

  std::vector<OutboxEntry> outbox_;
  OfflineSender tx_;
  OfflineReceiver rx_;
  MoveMark moved_;
};

// Seals the message (mixed with the peer's prekey when `bundle` is given, verified by the caller)
// into the outbox. False, with nothing changed, while MAX_PENDING entries are unacknowledged or
// when the sending half refuses. A stop changes nothing either.
[[nodiscard]] bool queue(OfflineChannel& channel, ByteView message,
                         const PrekeyBundle* bundle = nullptr);

// True when the receiving half holds at most n unconsumed prekeys.
[[nodiscard]] bool needs_prekeys(const OfflineChannel& channel, std::size_t n);

}  // namespace vostrel::outbox
