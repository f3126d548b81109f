#pragma once

// Signed one-time hybrid prekeys (X25519 + ML-KEM-768) and the mix by which a sender and the
// prekey's owner agree a hybrid secret that heals their send chain.

#include <cstdint>
#include <optional>
#include <utility>

#include "vostrel/common.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/pqkem.hpp"

namespace vostrel::prekey {

using PrekeyId = ByteArray<16>;

inline constexpr std::size_t kBundleBytes = 1304;
inline constexpr std::size_t kMixHeaderBytes = 1136;
inline constexpr std::size_t kSignedMessageBytes = 1264;

// The private half, kept by the owner until used or expired. Only the X25519 secret is wiped.
struct PrekeySecret {
  Secret32 dh_secret;  // as drawn; clamped at each use
  pqkem::DecapsulationKey dk{};
  PrekeyId id{};
  std::uint64_t expires_at = 0;
};

struct PrekeyBundle {
  PrekeyId id{};
  Key32 dh_pub{};
  std::uint64_t expires_at = 0;  // valid while now < expires_at
  identity::Signature signature{};
  Bytes ek;  // 1184 bytes in every well-formed bundle

  // A new prekey of `owner`; stops with "OS CSPRNG" or "signature operation failed".
  [[nodiscard]] static std::pair<PrekeySecret, PrekeyBundle> generate(
      const identity::Identity& owner, std::uint64_t expires_at);
  // Well formed, unexpired at `now` and signed by `owner_key`.
  [[nodiscard]] bool verify(FixedView<32> owner_key, std::uint64_t now) const;

  [[nodiscard]] Bytes to_bytes() const;
  [[nodiscard]] static std::optional<PrekeyBundle> from_bytes(ByteView bytes);

  friend bool operator==(const PrekeyBundle&, const PrekeyBundle&) = default;
};

struct MixHeader {
  PrekeyId bundle_id{};
  Key32 eph_pub{};
  Bytes ct;  // 1088 bytes from sender_mix

  [[nodiscard]] Bytes to_bytes() const;
  [[nodiscard]] static std::optional<MixHeader> from_bytes(ByteView bytes);

  friend bool operator==(const MixHeader&, const MixHeader&) = default;
};

struct SenderMix {
  MixHeader header;
  HybridSecret secret;
};

// Draws an ephemeral X25519 key and encapsulates to the bundle; absent when its ek is not 1184
// bytes. Neither the signature nor the expiry is checked here.
[[nodiscard]] std::optional<SenderMix> sender_mix(const PrekeyBundle& bundle);

// The sender's hybrid secret; absent for another prekey's header or a ciphertext of the wrong
// length. A damaged ciphertext of the right length yields an unrelated secret.
[[nodiscard]] std::optional<HybridSecret> receiver_mix(const PrekeySecret& secret,
                                                       const MixHeader& header);

}  // namespace vostrel::prekey
