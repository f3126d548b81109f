#include "vostrel/mailbox.hpp"

#include <string_view>
#include <utility>

#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::mailbox {
namespace {

constexpr std::string_view kLocationLabel = labels::kMailboxLocation;
constexpr std::string_view kQueueSecretLabel = labels::kQueueSecret;
constexpr std::string_view kBoxKeyLabel = labels::kBoxKey;

Token to_token(KeyView view) {
  Token out{};
  std::copy(view.begin(), view.end(), out.begin());
  return out;
}

}  // namespace

void BlindMailbox::deposit(KeyView token, Bytes blob) {
  const auto [queue, fresh] = queues.try_emplace(to_token(token));
  try {
    queue->second.push_back(std::move(blob));
  } catch (...) {
    // A queue that the failed deposit created would be left empty.
    if (fresh) queues.erase(queue);
    throw;
  }
}

std::vector<Bytes> pull(BlindMailbox& store, KeyView token) {
  auto found = store.queues.find(to_token(token));
  if (found == store.queues.end()) return {};
  std::vector<Bytes> queue = std::move(found->second);
  store.queues.erase(found);
  return queue;
}

Token token(KeyView queue_secret, std::uint64_t epoch) {
  const auto epoch_bytes = be_bytes(epoch);
  return crypto::hmac_sha256(queue_secret, {as_bytes(kLocationLabel), ByteView(epoch_bytes)});
}

Key32 queue_secret(ByteView pass_phrase) {
  return crypto::hmac_sha256(as_bytes(kQueueSecretLabel), {pass_phrase});
}

Key32 box_key(KeyView queue_secret) {
  return crypto::hmac_sha256(queue_secret, {as_bytes(kBoxKeyLabel)});
}

}  // namespace vostrel::mailbox
