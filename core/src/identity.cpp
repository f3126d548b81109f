#include "vostrel/identity.hpp"

#include <openssl/evp.h>
#include <sodium.h>

#include <string_view>

#include "crypto_backend.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::identity {
namespace {

using crypto::backend::check;
using crypto::backend::sodium_ready;

constexpr const char* kVerifyFailure = "Ed25519 verification could not run";

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
  check(crypto_sign_seed_keypair(public_key.data(), expanded.bytes.data(), seed.data()) == 0,
        "Ed25519 key expansion failed");
  return public_key;
}

bool verify_with_openssl(FixedView<32> public_key, ByteView message, FixedView<64> signature) {
  // The raw key is taken as given, never validated: a null key is the library failing.
  const crypto::backend::Owned<EVP_PKEY> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()));
  check(key != nullptr, kVerifyFailure);
  const auto ctx = crypto::backend::owned(EVP_MD_CTX_new());
  check(EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1, kVerifyFailure);
  // 1 accepts and 0 refuses; anything else is no verdict at all.
  const int verdict = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                                       message.data(), message.size());
  check(verdict == 0 || verdict == 1, kVerifyFailure);
  return verdict == 1;
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
  check(crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(),
                             expanded.bytes.data()) == 0,
        "signature operation failed");
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
