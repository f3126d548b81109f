// identity::verify on fuzzed keys, signatures and messages, checked against OpenSSL's own
// cofactorless verification (the ordinary mode, which verify must match on every input), and on
// signatures of a fixed identity, one bit of which the input may flip.
#include <openssl/evp.h>

#include <memory>

#include "fuzz_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/labels.hpp"

using namespace vostrel;

namespace {

// L, the order of the base point, little-endian as S is stored.
constexpr ByteArray<32> kGroupOrder = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

bool s_at_least_order(FixedView<64> signature) {
  for (std::size_t i = 32; i-- > 0;) {
    if (signature[32 + i] != kGroupOrder[i]) return signature[32 + i] > kGroupOrder[i];
  }
  return true;
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};

bool openssl_verify(FixedView<32> public_key, ByteView message, FixedView<64> signature) {
  std::unique_ptr<EVP_PKEY, PkeyFree> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), 32));
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    return false;
  return EVP_DigestVerify(ctx.get(), signature.data(), 64, message.data(), message.size()) == 1;
}

const identity::Identity& signer() {
  static const identity::Identity id = [] {
    Key32 seed{};
    seed.fill(0x5E);
    const Bytes blob = crypto::seal(fuzz::fixed_key(), crypto::kAtRestNonce,
                                    as_bytes(labels::kIdentityAtRest), seed);
    auto opened = identity::Identity::from_encrypted(fuzz::fixed_key(), blob);
    fuzz::require(opened.has_value(), "the fixed identity opens");
    return std::move(*opened);
  }();
  return id;
}

// Input: a mode byte, then either key (32) . signature (64) . message, or, for a signature of the
// fixed identity, a bit index (2 bytes, mod 1024; 512 and above flip nothing) . message.
void check_raw(ByteView rest) {
  if (rest.size() < 96) return;
  const FixedView<32> key(rest.first<32>());
  const FixedView<64> signature(rest.subspan<32, 64>());
  const ByteView message = rest.subspan(96);
  const bool accepted = identity::verify(key, message, signature);
  fuzz::require(!accepted || !s_at_least_order(signature), "S at or above L is refused");
  fuzz::require(accepted == openssl_verify(key, message, signature),
                "verify agrees with the cofactorless ordinary mode");
}

void check_signed(ByteView rest) {
  if (rest.size() < 2) return;
  const std::size_t bit = load_be<std::uint16_t>(rest.data()) % 1024;
  const ByteView message = rest.subspan(2);
  identity::Signature signature = signer().sign(message);
  if (bit < 512) signature[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
  fuzz::require(identity::verify(signer().public_key(), message, signature) == (bit >= 512),
                "a signature verifies exactly when no bit of it was flipped");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const ByteView rest(data + 1, size - 1);
  if (data[0] & 1) {
    check_signed(rest);
  } else {
    check_raw(rest);
  }
  return 0;
}
