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

namespace vostrel::ratchet {

inline constexpr std::uint32_t RATCHET_MAX_SKIP = 256;
inline constexpr std::size_t kHeaderBytes = 40;
inline constexpr std::string_view kRootLabel = "vostrel/v1/ratchet-rk";
inline constexpr std::string_view kMessageLabel = "vostrel/v1/msg";

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
// kept keys are plain.
class Ratchet {
 public:
  // Draws a fresh key pair; stops with "OS CSPRNG" when the random source fails.
  [[nodiscard]] static Ratchet init_sender(KeyView shared_key, KeyView peer_public);
  // Must receive before it can send. Draws nothing.
  [[nodiscard]] static Ratchet init_receiver(KeyView shared_key, KeyView own_secret);

  // Requires a sending chain: stops with "no sending chain yet — receive a message first"
  // otherwise, and with "sending chain exhausted — receive a message first" rather than let
  // send_count wrap. Nothing changes when it stops.
  [[nodiscard]] RatchetMessage encrypt(ByteView plaintext, ByteView associated_data);

  // An explicit duplicate of the whole state, kept keys included; its secret is wiped on its own.
  [[nodiscard]] Ratchet clone() const;

  Secret32 dh_secret;
  Key32 dh_public{};
  Key32 root_key{};
  std::optional<Key32> send_chain;
  std::optional<Key32> recv_chain;
  std::optional<Key32> remote_dh;
  std::uint32_t send_count = 0;
  std::uint32_t recv_count = 0;
  std::uint32_t previous_send_count = 0;
  std::unordered_map<SkippedKeyId, Key32, SkippedKeyIdHash> skipped;
};

// The plaintext, or absent when the message is refused or does not authenticate. A refused or
// unopened message leaves the ratchet exactly as it was. Draws 32 random bytes at a DH step; stops
// with "OS CSPRNG" when the random source fails.
[[nodiscard]] std::optional<Bytes> decrypt(Ratchet& ratchet, const RatchetMessage& message,
                                           ByteView associated_data);

// Steps of encrypt and decrypt; not for other modules.

// HKDF(salt = root key, IKM = X25519 output, "vostrel/v1/ratchet-rk") to 64 bytes: (new root key,
// new chain key).
[[nodiscard]] std::pair<Key32, Key32> root_step(KeyView root_key, KeyView dh_output);
// (next chain key, message key).
[[nodiscard]] std::pair<Key32, Key32> chain_step(KeyView chain_key);
// HKDF(no salt, IKM = message key, "vostrel/v1/msg") to 44 bytes: (AEAD key, nonce).
[[nodiscard]] std::pair<Key32, crypto::Nonce12> expand_message_key(KeyView message_key);
// Keeps the receiving chain's keys up to `target`; false when that would take more than
// RATCHET_MAX_SKIP keys. True without change when there is no receiving chain.
[[nodiscard]] bool skip_message_keys(Ratchet& ratchet, std::uint32_t target);
[[nodiscard]] std::optional<Bytes> open_with_message_key(KeyView message_key,
                                                         const RatchetMessage& message,
                                                         ByteView associated_data);

}  // namespace vostrel::ratchet
