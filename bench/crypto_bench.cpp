// The cryptographic core beside its floor (floor.hpp) and beside the bare library calls it wraps,
// set up as the library sets them up.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sodium.h>

#include "floor.hpp"
#include "pairs.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/identity.hpp"

using namespace vostrel;

namespace {

const Key32 kKey = [] {
  Key32 k{};
  k.fill(0x42);
  return k;
}();
const crypto::Nonce12 kNonce{};
const Bytes kAd(16, 0xAD);

EVP_CIPHER* aead() {
  static EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
  return c;
}

// The bare calls as the library makes them, with a fresh context each time.
Bytes bare_seal(ByteView plaintext) {
  Bytes out(plaintext.size() + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_EncryptInit_ex2(ctx, aead(), kKey.data(), kNonce.data(), nullptr);
  EVP_EncryptUpdate(ctx, nullptr, &n, kAd.data(), static_cast<int>(kAd.size()));
  EVP_EncryptUpdate(ctx, out.data(), &n, plaintext.data(), static_cast<int>(plaintext.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + plaintext.size(), &n);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + plaintext.size());
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

bool bare_open(ByteView sealed, Bytes& out) {
  const std::size_t length = sealed.size() - 16;
  out.resize(length);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_DecryptInit_ex2(ctx, aead(), kKey.data(), kNonce.data(), nullptr);
  EVP_DecryptUpdate(ctx, nullptr, &n, kAd.data(), static_cast<int>(kAd.size()));
  EVP_DecryptUpdate(ctx, out.data(), &n, sealed.data(), static_cast<int>(length));
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16,
                      const_cast<std::uint8_t*>(sealed.data() + length));
  const bool ok = EVP_DecryptFinal_ex(ctx, out.data() + length, &n) == 1;
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

void BM_seal(benchmark::State& state) {
  const Bytes plaintext(static_cast<std::size_t>(state.range(0)), 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(crypto::seal(kKey, kNonce, kAd, plaintext));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
void BM_seal_bare_evp(benchmark::State& state) {
  const Bytes plaintext(static_cast<std::size_t>(state.range(0)), 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(bare_seal(plaintext));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
void BM_open(benchmark::State& state) {
  const Bytes sealed =
      crypto::seal(kKey, kNonce, kAd, Bytes(static_cast<std::size_t>(state.range(0)), 0x5A));
  for (auto _ : state) benchmark::DoNotOptimize(crypto::open(kKey, kNonce, kAd, sealed));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
void BM_open_bare_evp(benchmark::State& state) {
  const Bytes sealed =
      crypto::seal(kKey, kNonce, kAd, Bytes(static_cast<std::size_t>(state.range(0)), 0x5A));
  for (auto _ : state) {
    Bytes out;
    benchmark::DoNotOptimize(bare_open(sealed, out));
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
void BM_seal_floor(benchmark::State& state) {
  const Bytes plaintext(static_cast<std::size_t>(state.range(0)), 0x5A);
  floor::Aead aead;
  if (!bench::agree(state, crypto::seal(kKey, kNonce, kAd, plaintext),
                    aead.seal(kKey, kNonce, {kAd}, plaintext), "sealed bytes")) {
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(aead.seal(kKey, kNonce, {kAd}, plaintext));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
void BM_open_floor(benchmark::State& state) {
  const Bytes plaintext(static_cast<std::size_t>(state.range(0)), 0x5A);
  const Bytes sealed = crypto::seal(kKey, kNonce, kAd, plaintext);
  floor::Aead aead;
  if (!bench::agree(state, plaintext, aead.open(kKey, kNonce, {kAd}, sealed).value_or(Bytes{}),
                    "opened bytes")) {
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(aead.open(kKey, kNonce, {kAd}, sealed));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_seal)->Arg(64)->Arg(1024)->Arg(256 * 1024);
BENCHMARK(BM_seal_floor)->Arg(64)->Arg(1024)->Arg(256 * 1024);
BENCHMARK(BM_seal_bare_evp)->Arg(64)->Arg(1024)->Arg(256 * 1024);
BENCHMARK(BM_open)->Arg(64)->Arg(1024)->Arg(256 * 1024);
BENCHMARK(BM_open_floor)->Arg(64)->Arg(1024)->Arg(256 * 1024);
BENCHMARK(BM_open_bare_evp)->Arg(64)->Arg(1024)->Arg(256 * 1024);

void BM_x25519(benchmark::State& state) {
  const Key32 peer = crypto::x25519_public(kKey);
  for (auto _ : state) benchmark::DoNotOptimize(crypto::x25519(kKey, peer));
}
void BM_x25519_bare_sodium(benchmark::State& state) {
  const Key32 peer = crypto::x25519_public(kKey);
  Key32 out{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(crypto_scalarmult(out.data(), kKey.data(), peer.data()));
    benchmark::DoNotOptimize(out);
  }
}
void BM_x25519_public(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(crypto::x25519_public(kKey));
}
void BM_x25519_public_bare_sodium(benchmark::State& state) {
  Key32 out{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(crypto_scalarmult_base(out.data(), kKey.data()));
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_x25519);
BENCHMARK(BM_x25519_bare_sodium);
BENCHMARK(BM_x25519_public);
BENCHMARK(BM_x25519_public_bare_sodium);

void BM_identity_sign(benchmark::State& state) {
  const identity::Identity id = identity::Identity::generate();
  const Bytes message(100, 0x33);
  for (auto _ : state) benchmark::DoNotOptimize(id.sign(message));
}
void BM_identity_sign_bare_sodium(benchmark::State& state) {
  ByteArray<32> pk{};
  ByteArray<64> sk{};
  crypto_sign_seed_keypair(pk.data(), sk.data(), kKey.data());
  const Bytes message(100, 0x33);
  ByteArray<64> signature{};
  for (auto _ : state) {
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), sk.data());
    benchmark::DoNotOptimize(signature);
  }
}
void BM_verify(benchmark::State& state) {
  const identity::Identity id = identity::Identity::generate();
  const Bytes message(100, 0x33);
  const auto signature = id.sign(message);
  for (auto _ : state)
    benchmark::DoNotOptimize(identity::verify(id.public_key(), message, signature));
}
void BM_verify_bare_sodium(benchmark::State& state) {
  const identity::Identity id = identity::Identity::generate();
  const Bytes message(100, 0x33);
  const auto signature = id.sign(message);
  for (auto _ : state) {
    benchmark::DoNotOptimize(crypto_sign_verify_detached(signature.data(), message.data(),
                                                         message.size(), id.public_key().data()));
  }
}
BENCHMARK(BM_identity_sign);
BENCHMARK(BM_identity_sign_bare_sodium);
BENCHMARK(BM_verify);
BENCHMARK(BM_verify_bare_sodium);

void BM_derive_session_key(benchmark::State& state) {
  const Bytes ikm(64, 0x21);
  for (auto _ : state)
    benchmark::DoNotOptimize(crypto::derive_session_key(ikm, as_bytes("transcript")));
}
void BM_derive_session_key_floor(benchmark::State& state) {
  const Bytes ikm(64, 0x21);
  if (!bench::agree(state, crypto::derive_session_key(ikm, as_bytes("transcript")).view(),
                    floor::derive_session_key(ikm, as_bytes("transcript")), "session key")) {
    return;
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(floor::derive_session_key(ikm, as_bytes("transcript")));
}
BENCHMARK(BM_derive_session_key);
BENCHMARK(BM_derive_session_key_floor);

// One keyed derivation under a key the caller holds. The floor has the key prepared beforehand, as
// a key that serves many derivations can be; the second yardstick prepares it in every call.
void BM_keyed_derivation_60_bytes(benchmark::State& state) {
  const Bytes fields(60, 0x44);
  for (auto _ : state) benchmark::DoNotOptimize(crypto::hmac_sha256(kKey, {ByteView(fields)}));
}
void BM_keyed_derivation_60_bytes_floor(benchmark::State& state) {
  const Bytes fields(60, 0x44);
  const floor::PreparedHmac key(kKey);
  if (!bench::agree(state, crypto::hmac_sha256(kKey, {ByteView(fields)}), key.mac({fields}),
                    "MAC")) {
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(key.mac({fields}));
}
void BM_keyed_derivation_60_bytes_bare_key_per_call(benchmark::State& state) {
  const Bytes fields(60, 0x44);
  for (auto _ : state) benchmark::DoNotOptimize(floor::PreparedHmac(kKey).mac({fields}));
}
BENCHMARK(BM_keyed_derivation_60_bytes);
BENCHMARK(BM_keyed_derivation_60_bytes_floor);
BENCHMARK(BM_keyed_derivation_60_bytes_bare_key_per_call);

}  // namespace
