#include "vostrel/prekey.hpp"

#include <string_view>

#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::prekey {

namespace {

// Label, id, dh_pub, ek and, unlike the byte form, the expiry last.
Bytes signed_message(const PrekeyBundle& bundle) {
  Bytes message;
  message.reserve(labels::kPrekeyBundle.size() + 16 + 32 + bundle.ek.size() + 8);
  put_bytes(message, as_bytes(labels::kPrekeyBundle));
  put_bytes(message, bundle.id);
  put_bytes(message, bundle.dh_pub);
  put_bytes(message, bundle.ek);
  put_be(message, bundle.expires_at);
  return message;
}

}  // namespace

std::pair<PrekeySecret, PrekeyBundle> PrekeyBundle::generate(const identity::Identity& owner,
                                                             std::uint64_t expires_at) {
  PrekeyBundle bundle;
  os_random(bundle.id);
  Secret32 dh_secret = random_secret32();
  bundle.dh_pub = crypto::x25519_public(dh_secret.view());
  pqkem::KemKeyPair kem = pqkem::KemKeyPair::generate();
  bundle.ek.assign(kem.ek.begin(), kem.ek.end());
  bundle.expires_at = expires_at;
  bundle.signature = owner.sign(signed_message(bundle));
  PrekeySecret secret{std::move(dh_secret), kem.dk, bundle.id, expires_at};
  return {std::move(secret), std::move(bundle)};
}

bool PrekeyBundle::verify(FixedView<32> owner_key, std::uint64_t now) const {
  if (ek.size() != pqkem::kEncapsulationKeyBytes) return false;
  if (now >= expires_at) return false;
  return identity::verify(owner_key, signed_message(*this), signature);
}

Bytes PrekeyBundle::to_bytes() const {
  Bytes out;
  out.reserve(kBundleBytes);
  put_bytes(out, id);
  put_bytes(out, dh_pub);
  put_be(out, expires_at);
  put_bytes(out, signature);
  put_bytes(out, ek);
  return out;
}

std::optional<PrekeyBundle> PrekeyBundle::from_bytes(ByteView bytes) {
  if (bytes.size() != kBundleBytes) return std::nullopt;
  ByteReader reader(bytes);
  PrekeyBundle bundle;
  // Every read stays within the length checked above.
  bundle.id = *reader.array<16>();
  bundle.dh_pub = *reader.array<32>();
  bundle.expires_at = *reader.u64();
  bundle.signature = *reader.array<64>();
  bundle.ek = *reader.copy(pqkem::kEncapsulationKeyBytes);
  return bundle;
}

Bytes MixHeader::to_bytes() const {
  Bytes out;
  out.reserve(kMixHeaderBytes);
  put_bytes(out, bundle_id);
  put_bytes(out, eph_pub);
  put_bytes(out, ct);
  return out;
}

std::optional<MixHeader> MixHeader::from_bytes(ByteView bytes) {
  if (bytes.size() != kMixHeaderBytes) return std::nullopt;
  ByteReader reader(bytes);
  MixHeader header;
  header.bundle_id = *reader.array<16>();
  header.eph_pub = *reader.array<32>();
  header.ct = *reader.copy(pqkem::kCiphertextBytes);
  return header;
}

std::optional<SenderMix> sender_mix(const PrekeyBundle& bundle) {
  if (bundle.ek.size() != pqkem::kEncapsulationKeyBytes) return std::nullopt;
  const Secret32 eph = random_secret32();
  MixHeader header{bundle.id, crypto::x25519_public(eph.view()), {}};
  const Secret32 dh = crypto::x25519(eph.view(), bundle.dh_pub);
  const pqkem::Encapsulation kem = pqkem::encapsulate(
      FixedView<pqkem::kEncapsulationKeyBytes>(bundle.ek.data(), bundle.ek.size()));
  header.ct.assign(kem.ct.begin(), kem.ct.end());
  return SenderMix{std::move(header), HybridSecret(dh.view(), kem.ss.view())};
}

std::optional<HybridSecret> receiver_mix(const PrekeySecret& secret, const MixHeader& header) {
  if (header.bundle_id != secret.id || header.ct.size() != pqkem::kCiphertextBytes) {
    return std::nullopt;
  }
  const Secret32 dh = crypto::x25519(secret.dh_secret.view(), header.eph_pub);
  const Secret32 ss = pqkem::decapsulate(
      secret.dk, FixedView<pqkem::kCiphertextBytes>(header.ct.data(), header.ct.size()));
  return HybridSecret(dh.view(), ss.view());
}

}  // namespace vostrel::prekey
