// OfflineReceiver::import_prekeys of a fuzzed list of records (each prefixed by its 32-bit
// length): every whole record is stored, the last of an id winning, and nothing else changes.
#include "offline_fixture.hpp"

using namespace vostrel;
using namespace vostrel::fuzz::offline_fixture;
using vostrel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<ByteView> records = split_list(ByteView(data, size));
  static std::optional<OfflineReceiver> rx;
  if (!rx) rx.emplace(receiver());

  std::map<prekey::PrekeyId, Bytes> expected;
  for (const auto& [id, secret] : rx->prekeys()) {
    const SecretBytes record = offline::prekey_record(secret);
    expected[id] = Bytes(record.view().begin(), record.view().end());
  }
  bool any_whole = false;
  for (const ByteView record : records) {
    if (record.size() != offline::kPrekeyRecordBytes) continue;
    prekey::PrekeyId id{};
    std::copy_n(record.begin(), id.size(), id.begin());
    expected[id] = Bytes(record.begin(), record.end());
    any_whole = true;
  }

  const Bytes before = receiver_state(*rx);
  const Bytes chain_before = chain_state(rx->chain());
  rx->import_prekeys(records);
  if (!any_whole) {
    require(receiver_state(*rx) == before, "records of other lengths change nothing");
    return 0;
  }
  require(chain_state(rx->chain()) == chain_before, "an import leaves the chain unchanged");
  require(rx->prekeys().size() == expected.size(), "one prekey per id");
  for (const auto& [id, secret] : rx->prekeys()) {
    const auto wanted = expected.find(id);
    require(wanted != expected.end(), "only imported or held ids are stored");
    require(secret.id == id, "a prekey is stored under its own id");
    require(offline::prekey_record(secret).view().size() == offline::kPrekeyRecordBytes &&
                std::equal(wanted->second.begin(), wanted->second.end(),
                           offline::prekey_record(secret).view().begin()),
            "the last record of an id wins, byte for byte");
  }
  rx.emplace(receiver());
  return 0;
}
