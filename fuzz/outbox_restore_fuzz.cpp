// OfflineChannel::restore of fuzzed snapshots. A restored channel's snapshot restores to the same
// snapshot; it equals the input when the input is canonical: records in strictly ascending id
// order and unexpired at the restore time, flags written 0x00 or 0x01. Any other snapshot is read
// as the format allows (last record of an id wins, expired ones dropped, any non-zero flag set).
#include "offline_fixture.hpp"

using namespace vostrel;
using namespace vostrel::fuzz::offline_fixture;
using vostrel::fuzz::require;

namespace {

constexpr std::size_t kRecordsAt = outbox::kSnapshotHeadBytes;

// Only called on a snapshot that restored, so every length has been checked.
bool is_canonical(ByteView snapshot) {
  ByteReader reader(snapshot.subspan(kRecordsAt - 4));
  const std::uint32_t prekeys = *reader.u32();
  std::optional<ByteView> last_id;
  for (std::uint32_t i = 0; i < prekeys; ++i) {
    const ByteView record = *reader.bytes(offline::kPrekeyRecordBytes);
    const ByteView id = record.first(16);
    if (last_id &&
        !std::lexicographical_compare(last_id->begin(), last_id->end(), id.begin(), id.end()))
      return false;
    if (load_be<std::uint64_t>(record.data() + 16) <= kNow) return false;
    last_id = id;
  }
  const std::uint32_t entries = *reader.u32();
  for (std::uint32_t i = 0; i < entries; ++i) {
    (void)reader.u64();
    if (*reader.u8() > 1) return false;
    (void)reader.bytes(*reader.u32());
  }
  return true;
}

Bytes bytes_of(const SecretBytes& secret) {
  return Bytes(secret.view().begin(), secret.view().end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const auto channel = restore_channel(input);
  if (!channel) return 0;

  require(channel->outbox().size() <= outbox::MAX_PENDING, "a restored outbox is within bounds");
  require(channel->rx().prekeys().size() <= outbox::MAX_SNAPSHOT_PREKEYS,
          "a restored store is within bounds");
  for (const auto& [id, secret] : channel->rx().prekeys())
    require(secret.expires_at > kNow, "no restored prekey is expired");
  require(channel->rx().chain().skipped().empty(), "a restored chain keeps no skipped keys");

  const Bytes written = bytes_of(channel->snapshot());
  if (is_canonical(input))
    require(written == Bytes(input.begin(), input.end()),
            "a canonical snapshot restores to the same snapshot");
  const auto again = restore_channel(written);
  require(again.has_value(), "a written snapshot restores");
  require(bytes_of(again->snapshot()) == written, "a written snapshot is canonical");

  Bytes longer(input.begin(), input.end());
  longer.push_back(0);
  require(!restore_channel(longer), "a trailing byte is refused");
  return 0;
}
