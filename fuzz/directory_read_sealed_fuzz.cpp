// directory::read of blobs sealed under the right record key from fuzzed plaintexts. The input is
// a mode byte and the rest: with mode bit 0 clear the rest is a body that the target signs as the
// fixed publisher, so the fuzzer reaches the body parser; with it set the rest is the whole
// signed record. The result must be what an independent reading of the plaintext gives.
#include <algorithm>

#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/directory.hpp"
#include "vostrel/labels.hpp"

using namespace vostrel;

namespace {

using fuzz::fixed_identity;

struct Fixture {
  identity::Identity publisher = fixed_identity(0x77);
  Key32 root{};
  Key32 record_key{};
  crypto::Nonce12 nonce{};

  Fixture() {
    root.fill(0x66);
    record_key = directory::dir_key(root, publisher.public_key());
    nonce = directory::dir_nonce(record_key, 1, 1);
  }
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

Bytes signing_message(ByteView body) {
  Bytes message;
  put_bytes(message, as_bytes(labels::kDirectoryRecord));
  put_bytes(message, body);
  return message;
}

// What read must give for this signed record, worked out without it.
std::optional<directory::DirRecord> expected(const Fixture& f, ByteView signed_record) {
  if (signed_record.size() < 64) return std::nullopt;
  const ByteView body = signed_record.first(signed_record.size() - 64);
  const FixedView<64> signature(signed_record.last<64>());
  if (!identity::verify(f.publisher.public_key(), signing_message(body), signature)) {
    return std::nullopt;
  }
  auto record = directory::DirRecord::from_bytes(body);
  if (!record || record->identity != f.publisher.public_key()) return std::nullopt;
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Fixture& f = fixture();
  const ByteView rest(data + 1, size - 1);
  Bytes signed_record(rest.begin(), rest.end());
  if ((data[0] & 1) == 0) put_bytes(signed_record, f.publisher.sign(signing_message(rest)));

  Bytes blob(f.nonce.begin(), f.nonce.end());
  put_bytes(blob, crypto::seal(f.record_key, f.nonce, as_bytes(labels::kDirectoryRecordData),
                               signed_record));
  const auto record = directory::read(f.root, f.publisher.public_key(), blob);
  fuzz::require(record == expected(f, signed_record), "read gives the record the plaintext holds");
  return 0;
}
