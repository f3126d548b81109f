// X25519, the hybrid and session-key derivations and the short authentication string.
#include "vostrel/crypto.hpp"

#include <sodium.h>

#include "crypto_backend.hpp"
#include "vostrel/internal/crypto_steps.hpp"

namespace vostrel::crypto {
namespace {
using backend::check;
}  // namespace

void backend::sodium_ready() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw Panic("libsodium initialisation failed");
}

Secret32 derive_session_key(ByteView input_keying_material, ByteView context) {
  Secret32 key;
  hkdf_sha256({}, input_keying_material, {as_bytes(kHybridInfoPrefix), context},
              key.mutable_bytes());
  return key;
}

std::string sas(KeyView key) {
  static constexpr std::string_view kTable[16] = {
      "\U0001F98A", "\U0001F422", "\U0001F30A", "\U0001F525", "\U0001F332", "\u2693",
      "\U0001F340", "\U0001F319", "\u2B50",     "\U0001F3B2", "\U0001F511", "\U0001F3B8",
      "\U0001F34E", "\U0001F9ED", "\U0001F989", "\U0001F433"};
  const Secret32 k = derive_session_key(key, as_bytes("sas"));
  std::uint8_t indexes[8];
  for (std::size_t i = 0; i < 4; ++i) {
    indexes[2 * i] = k.bytes()[i] >> 4;
    indexes[2 * i + 1] = k.bytes()[i] & 0x0F;
  }
  std::size_t length = 7;
  for (const std::uint8_t index : indexes) length += kTable[index].size();
  std::string text;
  text.reserve(length);
  for (std::size_t i = 0; i < 8; ++i) {
    if (i != 0) text.push_back(' ');
    text.append(kTable[indexes[i]]);
  }
  return text;
}

PlainSecret32 clamp_scalar(KeyView secret) noexcept {
  PlainSecret32 clamped{};
  std::copy(secret.begin(), secret.end(), clamped.begin());
  clamped[0] &= 0xF8;
  clamped[31] &= 0x3F;
  clamped[31] |= 0x40;
  return clamped;
}

Key32 x25519_public(KeyView secret) {
  backend::sodium_ready();
  Secret32 clamped(clamp_scalar(secret));
  Key32 public_key{};
  check(crypto_scalarmult_base(public_key.data(), clamped.data()) == 0, "X25519 failed");
  return public_key;
}

Secret32 x25519(KeyView secret, KeyView peer_public) {
  backend::sodium_ready();
  Secret32 clamped(clamp_scalar(secret));
  Key32 result{};
  // libsodium refuses small-order peers without writing the result; X25519 itself gives zeros
  // there.
  if (crypto_scalarmult(result.data(), clamped.data(), peer_public.data()) != 0) result.fill(0);
  Secret32 shared(result);
  secure_zero(result.data(), result.size());
  return shared;
}

Secret32 hybrid_key(const Secret32& x25519_secret, FixedView<32> kem_secret, ByteView context) {
  const HybridSecret joined(x25519_secret.view(), kem_secret);
  return derive_session_key(joined.view(), context);
}

}  // namespace vostrel::crypto
