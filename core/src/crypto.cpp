// The algorithms taken from OpenSSL, X25519, the hybrid and session-key derivations and the short
// authentication string.
#include "vostrel/crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sodium.h>

#include <utility>

#include "crypto_backend.hpp"
#include "vostrel/internal/crypto_steps.hpp"
#include "vostrel/internal/error_queue.hpp"

namespace vostrel::crypto {
namespace {

using backend::check;

// Frees whichever objects a making got, unless they are kept.
struct Making {
  backend::Algorithms got{};
  Making() = default;
  Making(const Making&) = delete;
  Making& operator=(const Making&) = delete;
  ~Making() {
    EVP_MAC_free(got.poly1305);
    EVP_CIPHER_free(got.chacha20);
    EVP_MD_free(got.sha256);
    OSSL_LIB_CTX_free(got.context);
  }
  backend::Algorithms keep() { return std::exchange(got, backend::Algorithms{}); }
};

template <typename Algorithm>
Algorithm* fetched(Algorithm* algorithm, const char* operation) {
  check(algorithm != nullptr, operation);
  return algorithm;
}

// OpenSSL 3.0 never again builds an algorithm whose building ran out of memory, so in the shared
// default context one failed first use would fail every later one. A context of the core's own is
// freed whole when its making fails, and the next making starts from nothing.
backend::Algorithms make_algorithms(const char* operation) {
  const backend::KeptErrorQueue kept;
  Making making;
  backend::Algorithms& got = making.got;
  got.context = fetched(OSSL_LIB_CTX_new(), operation);
  got.sha256 = fetched(EVP_MD_fetch(got.context, "SHA256", nullptr), operation);
  got.chacha20 = fetched(EVP_CIPHER_fetch(got.context, "ChaCha20", nullptr), operation);
  got.poly1305 = fetched(EVP_MAC_fetch(got.context, "POLY1305", nullptr), operation);
  // A fetch may queue the errors of a failure it got over.
  backend::KeptErrorQueue::take_off_own();
  return making.keep();
}

}  // namespace

// Kept for the life of the process, as the objects made from them may be.
const backend::Algorithms& backend::algorithms(const char* operation) {
  static const Algorithms made = make_algorithms(operation);
  return made;
}

void backend::KeptErrorQueue::take_off_own() noexcept {
  if (depth_ == 0) return;
  if (!marked_) {
    ERR_clear_error();
    return;
  }
  ERR_pop_to_mark();
  marked_ = ERR_set_mark() == 1;
}

HeldErrorQueue::HeldErrorQueue() noexcept {
  backend::KeptErrorQueue::enter();
}
HeldErrorQueue::~HeldErrorQueue() {
  backend::KeptErrorQueue::leave();
}

void backend::sodium_ready() {
  // A failed start leaves the static unmade, to be tried again.
  static const bool ready = [] {
    if (sodium_init() < 0) throw Panic("libsodium initialisation failed");
    return true;
  }();
  static_cast<void>(ready);
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
