#pragma once

// The blind mailbox: opaque blobs queued under 32-byte location tokens until one pull takes them,
// and the client derivations by which peers sharing a queue secret agree on tokens and box key.

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "vostrel/common.hpp"
#include "vostrel/crypto_keyed_hash.hpp"

namespace vostrel::test {
struct BlindMailboxProbe;
}

namespace vostrel::mailbox {

using Token = Key32;

// A store without authentication, limits or expiry: whoever presents a token deposits or pulls.
class BlindMailbox {
 public:
  // An empty store. Draws its hash key; stops with "OS CSPRNG" when the random source fails.
  BlindMailbox() = default;

  // Appends the blob (taken over, not copied) to the token's queue, creating the queue if needed.
  void deposit(KeyView token, Bytes blob);

 private:
  friend std::vector<Bytes> pull(BlindMailbox& store, KeyView token);
  friend struct vostrel::test::BlindMailboxProbe;

  // A token has an entry only while its queue holds at least one blob.
  std::unordered_map<Token, std::vector<Bytes>, crypto::KeyedHash> queues;
};

// Hands over the token's whole queue in deposit order and removes it; empty when there is none.
[[nodiscard]] std::vector<Bytes> pull(BlindMailbox& store, KeyView token);

// The location of a queue in one epoch: HMAC(queue secret, "vostrel/v1/loc" || epoch).
[[nodiscard]] Token token(KeyView queue_secret, std::uint64_t epoch);

// HMAC("vostrel/v1/queue-secret", pass phrase): the label is the key here.
[[nodiscard]] Key32 queue_secret(ByteView pass_phrase);

// HMAC(queue secret, "vostrel/v1/boxkey"), unrelated to every token of the same secret.
[[nodiscard]] Key32 box_key(KeyView queue_secret);

}  // namespace vostrel::mailbox
