#pragma once

// The steps of Ratchet::encrypt and decrypt: part of the module, called by no other module; the
// self-checks use them to rebuild a message by hand.

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "vostrel/common.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/ratchet.hpp"

namespace vostrel::ratchet {

inline constexpr std::string_view kRootLabel = labels::kRatchetRoot;
inline constexpr std::string_view kMessageLabel = labels::kRatchetMessage;

// HKDF(salt = root key, IKM = X25519 output, "vostrel/v1/ratchet-rk") to 64 bytes: (new root key,
// new chain key).
[[nodiscard]] std::pair<PlainSecret32, PlainSecret32> root_step(KeyView root_key,
                                                                KeyView dh_output);
// (next chain key, message key).
[[nodiscard]] std::pair<PlainSecret32, PlainSecret32> chain_step(KeyView chain_key);
// HKDF(no salt, IKM = message key, "vostrel/v1/msg") to 44 bytes: (AEAD key, nonce).
[[nodiscard]] std::pair<PlainSecret32, crypto::Nonce12> expand_message_key(KeyView message_key);
// Keeps the receiving chain's keys up to `target`; false when that would take more than
// RATCHET_MAX_SKIP keys. True without change when there is no receiving chain.
[[nodiscard]] bool skip_message_keys(Ratchet& ratchet, std::uint32_t target);
[[nodiscard]] std::optional<Bytes> open_with_message_key(KeyView message_key,
                                                         const RatchetMessage& message,
                                                         ByteView associated_data);

}  // namespace vostrel::ratchet
