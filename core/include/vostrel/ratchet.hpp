#pragma once

// The ratchet that carries a live conversation: a fresh key per message, a DH step at every turn
// of direction, and kept keys for messages that arrive late.

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "vostrel/common.hpp"
#include "vostrel/crypto.hpp"

namespace vostrel::internal {
struct StateCopy;
}

namespace vostrel::ratchet {

inline constexpr std::uint32_t RATCHET_MAX_SKIP = 256;
inline constexpr std::size_t kHeaderBytes = 40;

// Travels in the clear; authenticated as 40 bytes after the caller's associated data.
struct RatchetHeader {
  Key32 dh_public{};
  std::uint32_t previous_chain_length = 0;
  std::uint32_t message_index = 0;

  bool operator==(const RatchetHeader&) const = default;
};

struct RatchetMessage {
  // As seal returns it: ciphertext then the 16-byte tag, no nonce.
  Bytes ciphertext;
  RatchetHeader header;

  bool operator==(const RatchetMessage&) const = default;
};

// A kept key is found under the peer's ratchet public key and the message index.
struct SkippedKeyId {
  Key32 dh_public{};
  std::uint32_t index = 0;

  bool operator==(const SkippedKeyId&) const = default;
};

struct SkippedKeyIdHash {
  std::size_t operator()(const SkippedKeyId& id) const noexcept;
};

// One party's state. Only dh_secret is wiped (on replacement and on release); root, chain and
// kept keys are plain, and the last message's keys stay in the party's HMAC context (which derived
// them) and its cipher contexts until the next message, or until the release, which wipes them.
//
// A move leaves the source holding nothing: no chains, no peer key, zero keys and counters, no kept
// keys. encrypt and decrypt on it stop with "Ratchet used after it was moved from".
class Ratchet {
 public:
  Ratchet() = default;
  Ratchet(Ratchet&& other) noexcept;
  Ratchet& operator=(Ratchet&& other) noexcept;
  ~Ratchet() = default;

  // Draws a fresh key pair; stops with "OS CSPRNG" when the random source fails.
  [[nodiscard]] static Ratchet init_sender(KeyView shared_key, KeyView peer_public);
  // Must receive before it can send. Draws nothing.
  [[nodiscard]] static Ratchet init_receiver(KeyView shared_key, KeyView own_secret);

  // Requires a sending chain: stops with "no sending chain yet — receive a message first"
  // otherwise, and with "sending chain exhausted — receive a message first" rather than let
  // send_count wrap. Nothing changes when it stops.
  [[nodiscard]] RatchetMessage encrypt(ByteView plaintext, ByteView associated_data);

  Secret32 dh_secret;
  Key32 dh_public{};
  PlainSecret32 root_key{};
  std::optional<PlainSecret32> send_chain;
  std::optional<PlainSecret32> recv_chain;
  std::optional<Key32> remote_dh;
  std::uint32_t send_count = 0;
  std::uint32_t recv_count = 0;
  std::uint32_t previous_send_count = 0;
  std::unordered_map<SkippedKeyId, PlainSecret32, SkippedKeyIdHash> skipped;

 private:
  friend struct internal::StateCopy;
  friend std::optional<Bytes> decrypt(Ratchet& ratchet, const RatchetMessage& message,
                                      ByteView associated_data);

  // The whole state, kept keys included. A duplicated sender seals under the original's message
  // keys and nonces, so only the internal state-copy header reaches this.
  [[nodiscard]] Ratchet clone() const;
  // What a move leaves behind.
  void forget() noexcept;

  // The contexts that derive, seal and open this party's messages: not part of the state, so
  // neither cloned nor staged with it.
  std::optional<crypto::HmacKey> hmac_;
  crypto::AeadContext cipher_;
  MoveMark moved_;
};

// The plaintext, or absent when the message is refused or does not authenticate. A refused or
// unopened message leaves the ratchet exactly as it was, and so does a stop (for want of memory).
// Draws 32 random bytes at a DH step; stops with "OS CSPRNG" when the random source fails.
[[nodiscard]] std::optional<Bytes> decrypt(Ratchet& ratchet, const RatchetMessage& message,
                                           ByteView associated_data);

}  // namespace vostrel::ratchet
