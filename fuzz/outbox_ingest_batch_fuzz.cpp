// OfflineChannel::ingest_batch of a fuzzed list of blobs (each prefixed by its 32-bit length) on
// a channel with an outbox, kept keys and stored prekeys: a batch that opens nothing changes
// nothing, and a batch gives what ingesting its blobs one by one gives.
#include "offline_fixture.hpp"

using namespace vostrel;
using namespace vostrel::fuzz::offline_fixture;
using vostrel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<ByteView> views = split_list(ByteView(data, size));
  std::vector<Bytes> blobs;
  for (const ByteView view : views) blobs.emplace_back(view.begin(), view.end());
  // Kept across inputs while every batch opens nothing, which is checked to change nothing.
  static std::optional<OfflineChannel> live;
  if (!live) live.emplace(channel());

  const Bytes before = channel_state(*live);
  const std::vector<Bytes> messages = live->ingest_batch(blobs);
  if (messages.empty()) {
    require(channel_state(*live) == before, "a batch that opens nothing changes nothing");
    return 0;
  }
  require(messages.size() <= blobs.size(), "at most one message per blob");

  OfflineChannel reference = channel();
  std::vector<Bytes> one_by_one;
  for (const Bytes& blob : blobs) {
    if (auto message = offline::ingest(reference.rx(), blob)) one_by_one.push_back(*message);
  }
  require(messages == one_by_one, "a batch opens what its blobs open one by one");
  require(channel_state(*live) == channel_state(reference),
          "a batch leaves the state of its blobs ingested one by one");
  live.emplace(channel());
  return 0;
}
