// MessageLog::from_encrypted on raw blobs and, behind the tag, on sealed fuzzed plaintexts. The
// stored form is canonical: a log that loads seals back to the very blob.
#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/store.hpp"

using namespace vostrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  const Key32& key = fuzz::fixed_key();
  (void)store::MessageLog::from_encrypted(key, input);

  const Bytes blob =
      crypto::seal(key, crypto::kAtRestNonce, as_bytes(store::kLogAtRestLabel), input);
  const auto log = store::MessageLog::from_encrypted(key, blob);
  if (!log) return 0;
  std::size_t stored = 0;
  for (const store::LogEntry& entry : log->entries()) {
    stored += store::kEntryHeadBytes + entry.text.size();
  }
  fuzz::require(stored == size, "every plaintext byte belongs to an entry");
  fuzz::require(log->to_encrypted(key) == blob, "a loaded log seals to the same blob");

  store::MessageLog copy;
  for (const store::LogEntry& entry : log->entries()) {
    fuzz::require(copy.append(entry.direction, entry.timestamp, entry.text),
                  "every loaded entry can be appended again");
  }
  fuzz::require(copy.entries() == log->entries(), "appending the entries rebuilds the log");
  return 0;
}
