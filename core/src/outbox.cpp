#include "vostrel/outbox.hpp"

#include <algorithm>

namespace vostrel::outbox {

namespace {

constexpr std::size_t kEntryHeadBytes = 8 + 1 + 4;
constexpr std::size_t kCountBytes = 4;

// Room for one more entry, made before anything is sealed: an envelope that could not be kept
// would leave the chain moved on past it.
void make_room_for_one(std::vector<OutboxEntry>& outbox) {
  if (outbox.size() < outbox.capacity()) return;
  outbox.reserve(std::max<std::size_t>(4, 2 * outbox.size()));
}

std::size_t snapshot_size(std::size_t prekeys, const std::vector<OutboxEntry>& outbox) {
  std::size_t size = kSnapshotHeadBytes + prekeys * offline::kPrekeyRecordBytes + kCountBytes;
  for (const auto& entry : outbox) size += kEntryHeadBytes + entry.blob.size();
  return size;
}

}  // namespace

OfflineChannel::OfflineChannel(KeyView root, KeyView own_identity, KeyView peer_identity)
    : tx_(root, own_identity), rx_(root, peer_identity) {}

std::size_t OfflineChannel::unacknowledged() const noexcept {
  return static_cast<std::size_t>(
      std::count_if(outbox_.begin(), outbox_.end(), [](const auto& e) { return !e.acked; }));
}

bool queue(OfflineChannel& channel, ByteView message, const PrekeyBundle* bundle) {
  channel.moved_.check("OfflineChannel");
  if (channel.unacknowledged() >= MAX_PENDING) return false;
  make_room_for_one(channel.outbox_);
  const std::uint64_t seq = channel.tx_.chain().next();
  auto envelope = channel.tx_.seal(message, bundle);
  if (!envelope) return false;
  channel.outbox_.push_back({std::move(*envelope), seq, false});
  return true;
}

std::vector<Bytes> OfflineChannel::pending() const {
  std::vector<Bytes> blobs;
  for (const auto& entry : outbox_) {
    if (!entry.acked) blobs.push_back(entry.blob);
  }
  return blobs;
}

void OfflineChannel::ack(std::uint64_t seq) {
  const auto named =
      std::find_if(outbox_.begin(), outbox_.end(), [seq](const auto& e) { return e.seq == seq; });
  if (named != outbox_.end()) named->acked = true;
  std::erase_if(outbox_, [](const auto& e) { return e.acked; });
}

bool needs_prekeys(const OfflineChannel& channel, std::size_t n) {
  return channel.rx().prekeys().size() <= n;
}

std::vector<Bytes> OfflineChannel::ingest_batch(std::span<const Bytes> blobs) {
  moved_.check("OfflineChannel");
  return offline::ingest_batch(rx_, blobs);
}

SecretBytes OfflineChannel::snapshot() const {
  moved_.check("OfflineChannel");
  SecretBytes out;
  // Reserved whole: a buffer left behind by growth would keep keys unwiped.
  out.reserve(snapshot_size(rx_.prekeys().size(), outbox_));
  out.push_back(kSnapshotVersion);
  put_bytes(out, tx_.chain().chain_key().view());
  put_be(out, tx_.chain().next());
  put_bytes(out, rx_.chain().chain_key().view());
  put_be(out, rx_.chain().next());
  put_be(out, static_cast<std::uint32_t>(rx_.prekeys().size()));
  for (const auto& [id, secret] : rx_.prekeys()) {
    const SecretBytes record = offline::prekey_record(secret);  // wiped when released
    put_bytes(out, record.view());
  }
  put_be(out, static_cast<std::uint32_t>(outbox_.size()));
  for (const auto& entry : outbox_) {
    put_be(out, entry.seq);
    out.push_back(entry.acked ? 0x01 : 0x00);
    put_be(out, static_cast<std::uint32_t>(entry.blob.size()));
    put_bytes(out, entry.blob);
  }
  return out;
}

std::optional<OfflineChannel> OfflineChannel::restore(KeyView root, KeyView own_identity,
                                                      KeyView peer_identity, std::uint64_t now,
                                                      ByteView snapshot) {
  // The fixed head first: every read of it below stays within it. The keys are read in place.
  if (snapshot.size() < kSnapshotHeadBytes) return std::nullopt;
  ByteReader reader(snapshot);
  if (*reader.u8() != kSnapshotVersion) return std::nullopt;
  const KeyView tx_key = *reader.fixed<32>();
  const std::uint64_t tx_next = *reader.u64();
  const KeyView rx_key = *reader.fixed<32>();
  const std::uint64_t rx_next = *reader.u64();
  const std::uint32_t prekey_count = *reader.u32();
  if (prekey_count > MAX_SNAPSHOT_PREKEYS) return std::nullopt;
  // Read in place: no copy of the records is left behind.
  std::vector<ByteView> records;
  records.reserve(prekey_count);
  for (std::uint32_t i = 0; i < prekey_count; ++i) {
    const auto record = reader.bytes(offline::kPrekeyRecordBytes);
    if (!record) return std::nullopt;
    records.push_back(*record);
  }

  const auto entry_count = reader.u32();
  if (!entry_count || *entry_count > MAX_PENDING) return std::nullopt;
  std::vector<OutboxEntry> outbox;
  outbox.reserve(*entry_count);
  for (std::uint32_t i = 0; i < *entry_count; ++i) {
    if (reader.remaining() < kEntryHeadBytes) return std::nullopt;
    const std::uint64_t seq = *reader.u64();
    const std::uint8_t flag = *reader.u8();
    const std::uint32_t length = *reader.u32();
    if (length > MAX_ENVELOPE) return std::nullopt;
    const auto blob = reader.bytes(length);
    if (!blob) return std::nullopt;
    // Any non-zero flag reads as acknowledged.
    outbox.push_back({Bytes(blob->begin(), blob->end()), seq, flag != 0});
  }
  if (!reader.at_end()) return std::nullopt;

  OfflineReceiver rx = OfflineReceiver::restore(root, peer_identity, rx_key, rx_next);
  rx.import_prekeys(records);
  rx.prune_prekeys(now);
  OfflineSender tx = OfflineSender::restore(root, own_identity, tx_key, tx_next);
  return OfflineChannel(std::move(outbox), std::move(tx), std::move(rx));
}

}  // namespace vostrel::outbox
