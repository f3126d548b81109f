#include "vostrel/identity.hpp"

#include <openssl/evp.h>
#include <sodium.h>

#include <memory>
#include <string_view>

#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::identity {
namespace {

void sodium_ready() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw Panic("libsodium initialisation failed");
}

// libsodium's 64-byte secret key: seed followed by public key, wiped when released.
class ExpandedKey {
 public:
  ExpandedKey() = default;
  ExpandedKey(const ExpandedKey&) = delete;
  ExpandedKey& operator=(const ExpandedKey&) = delete;
  ~ExpandedKey() { secure_zero(bytes.data(), bytes.size()); }
  ByteArray<crypto_sign_SECRETKEYBYTES> bytes{};
};

PublicKey public_key_from_seed(const Secret32& seed) {
  sodium_ready();
  PublicKey public_key{};
  ExpandedKey expanded;
  crypto_sign_seed_keypair(public_key.data(), expanded.bytes.data(), seed.data());
  return public_key;
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};

bool verify_with_openssl(FixedView<32> public_key, ByteView message, FixedView<64> signature) {
  std::unique_ptr<EVP_PKEY, PkeyFree> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()));
  if (!key) return false;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    return false;
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(),
                          message.size()) == 1;
}

}  // namespace

Identity::Identity(Secret32 seed)
    : seed_(std::move(seed)), public_key_(public_key_from_seed(seed_)) {}

Identity Identity::generate() {
  return Identity(random_secret32());
}

std::optional<Identity> Identity::from_encrypted(KeyView storage_key, ByteView blob) {
  auto opened =
      crypto::open(storage_key, crypto::kAtRestNonce, as_bytes(labels::kIdentityAtRest), blob);
  if (!opened) return std::nullopt;
  const SecretBytes plaintext(std::move(*opened));
  if (plaintext.size() != 32) return std::nullopt;
  return Identity(Secret32(FixedView<32>(plaintext.data(), 32)));
}

Signature Identity::sign(ByteView message) const {
  moved_.check("Identity");
  ExpandedKey expanded;
  std::copy(seed_.bytes().begin(), seed_.bytes().end(), expanded.bytes.begin());
  std::copy(public_key_.begin(), public_key_.end(), expanded.bytes.begin() + 32);
  Signature signature{};
  if (crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(),
                           expanded.bytes.data()) != 0) {
    throw Panic("signature operation failed");
  }
  return signature;
}

Bytes Identity::to_encrypted(KeyView storage_key) const {
  moved_.check("Identity");
  const Secret32 seed = seed_.clone();
  return crypto::seal(storage_key, crypto::kAtRestNonce, as_bytes(labels::kIdentityAtRest),
                      seed.view());
}

bool verify(FixedView<32> public_key, ByteView message, FixedView<64> signature) {
  sodium_ready();
  // libsodium accepts only what the ordinary mode accepts, but refuses more (small-order and
  // non-canonical points): its refusals get a second opinion from OpenSSL's cofactorless check.
  if (crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                  public_key.data()) == 0) {
    return true;
  }
  return verify_with_openssl(public_key, message, signature);
}

}  // namespace vostrel::identity
