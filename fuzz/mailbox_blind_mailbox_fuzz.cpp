// BlindMailbox deposits and pulls in the order the fuzz input gives, against a plain model: every
// pull hands over exactly the blobs deposited under its token since the last pull, in order, and
// the store holds a queue for exactly the tokens with blobs waiting.
//
// Input: operations of one byte each, followed by their operands. Bit 0: deposit (0) or pull (1).
// The other bits pick one of eight tokens, or (values 120 and up) 32 raw token bytes follow. A
// deposit then has a length byte and that many blob bytes (cut at the input's end).
#include <map>

#include "fuzz_support.hpp"
#include "vostrel/mailbox.hpp"

using namespace vostrel;
using namespace vostrel::mailbox;

struct vostrel::test::BlindMailboxProbe {
  static std::size_t queue_count(const BlindMailbox& store) { return store.queues.size(); }
};

namespace {

constexpr std::size_t kMaxOperations = 4096;

// Tokens that differ in their first byte only, their last byte only, or everywhere.
const std::array<Token, 8>& tokens() {
  static const std::array<Token, 8> table = [] {
    std::array<Token, 8> t{};
    t[1].fill(0xFF);
    t[2][31] = 1;
    t[3][0] = 1;
    const Key32 secret = queue_secret(as_bytes("fuzz"));
    for (std::size_t i = 4; i < t.size(); ++i) t[i] = token(secret, i);
    return t;
  }();
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader reader(ByteView(data, size));
  BlindMailbox store;
  std::map<Token, std::vector<Bytes>> model;
  for (std::size_t n = 0; n < kMaxOperations; ++n) {
    const auto operation = reader.u8();
    if (!operation) break;
    const std::uint8_t pick = *operation >> 1;
    Token location{};
    if (pick < 120) {
      location = tokens()[pick % tokens().size()];
    } else {
      const auto raw = reader.array<32>();
      if (!raw) break;
      location = *raw;
    }
    if ((*operation & 1) == 0) {
      const std::size_t length = std::min<std::size_t>(reader.u8().value_or(0), reader.remaining());
      const ByteView blob = *reader.bytes(length);
      store.deposit(location, Bytes(blob.begin(), blob.end()));
      model[location].emplace_back(blob.begin(), blob.end());
    } else {
      const std::vector<Bytes> pulled = pull(store, location);
      const auto waiting = model.find(location);
      fuzz::require(pulled == (waiting == model.end() ? std::vector<Bytes>{} : waiting->second),
                    "a pull hands over exactly what was deposited, in order");
      if (waiting != model.end()) model.erase(waiting);
    }
    fuzz::require(test::BlindMailboxProbe::queue_count(store) == model.size(),
                  "a queue exists exactly while it holds blobs");
  }
  for (const auto& [location, blobs] : model) {
    fuzz::require(pull(store, location) == blobs, "every queue is pulled whole at the end");
  }
  fuzz::require(test::BlindMailboxProbe::queue_count(store) == 0, "the store ends empty");
  return 0;
}
