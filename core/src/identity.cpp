#include "vostrel/identity.hpp"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "crypto_backend.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::identity {
namespace {

using crypto::backend::check;
using crypto::backend::sodium_ready;

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

// The ordinary check, cofactorless: encode([S]B - [h]A) == R with h = SHA-512(R || A || M) mod L.
// libsodium's verification computes it too, but first refuses more than it: keys encoded with y
// at or beyond p, and small-order keys and R. For those, it is computed here from libsodium's group
// operations, which take points of any order and allocate nothing: a verdict cannot come from a
// failed allocation, as a refusal of OpenSSL's check can.
using Point = ByteArray<32>;
using Scalar = ByteArray<32>;

constexpr Point kNeutral = {1};
// The group order L, little-endian.
constexpr Scalar kGroupOrder = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
// 1/8 mod L.
constexpr Scalar kInverseOfEight = {
    0x79, 0x2f, 0xdc, 0xe2, 0x29, 0xe5, 0x06, 0x61, 0xd0, 0xda, 0x1c, 0x7d, 0xb3, 0x9d, 0xd3, 0x07,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06};
// The y of every point of small order: 0, 1, the two of order 8, -1, and 0 and 1 again as p and
// p + 1. The sign bit of x is not part of it.
constexpr std::array<Point, 7> kSmallOrderY = {{
    {0x00},
    {0x01},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
     0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
     0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
     0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
     0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
}};

// The encoding's y, without the sign bit of x.
Point y_of(FixedView<32> encoding) noexcept {
  Point y{};
  std::copy(encoding.begin(), encoding.end(), y.begin());
  y[31] &= 0x7f;
  return y;
}

bool has_small_order(FixedView<32> encoding) noexcept {
  return std::ranges::find(kSmallOrderY, y_of(encoding)) != kSmallOrderY.end();
}

// y at or beyond p = 2^255 - 19: at least 0x7fff...ffed.
bool is_beyond_field(FixedView<32> encoding) noexcept {
  const Point y = y_of(encoding);
  return y[31] == 0x7f &&
         std::all_of(y.begin() + 1, y.end() - 1, [](auto b) { return b == 0xff; }) && y[0] >= 0xed;
}

bool below_group_order(FixedView<32> scalar) noexcept {
  for (std::size_t i = scalar.size(); i-- > 0;) {
    if (scalar[i] != kGroupOrder[i]) return scalar[i] < kGroupOrder[i];
  }
  return false;
}

// False when either is no curve point.
bool add(Point& sum, FixedView<32> p, FixedView<32> q) noexcept {
  return crypto_core_ed25519_add(sum.data(), p.data(), q.data()) == 0;
}
bool subtract(Point& difference, FixedView<32> p, FixedView<32> q) noexcept {
  return crypto_core_ed25519_sub(difference.data(), p.data(), q.data()) == 0;
}

// [k]t for a small k, by repeated addition.
Point small_multiple(unsigned k, const Point& t) noexcept {
  Point out = kNeutral;
  for (unsigned i = 0; i < k; ++i) add(out, out, t);
  return out;
}

bool is_zero(const Scalar& scalar) noexcept {
  return std::ranges::all_of(scalar, [](auto b) { return b == 0; });
}

// [n]P for n below L and P of prime order L, the neutral point included.
Point prime_order_multiple(const Scalar& n, const Point& p) {
  if (p == kNeutral || is_zero(n)) return kNeutral;
  Point out{};
  check(crypto_scalarmult_ed25519_noclamp(out.data(), n.data(), p.data()) == 0,
        "Ed25519 scalar multiplication failed");
  return out;
}

// [n]A for a point of any order, n below L: A = A' + T with A' = [1/8]([8]A) of prime order and T
// of an order dividing 8, so [n]A = [n]A' + [n mod 8]T. Nothing when A is no curve point.
std::optional<Point> multiple(const Scalar& n, FixedView<32> a) {
  Point eightfold{};
  if (!add(eightfold, a, a)) return std::nullopt;
  add(eightfold, eightfold, eightfold);
  add(eightfold, eightfold, eightfold);
  const Point prime_part = prime_order_multiple(kInverseOfEight, eightfold);
  Point torsion{};
  subtract(torsion, a, prime_part);
  Point out{};
  add(out, prime_order_multiple(n, prime_part), small_multiple(n[0] & 7U, torsion));
  return out;
}

Scalar challenge(FixedView<32> r, FixedView<32> public_key, ByteView message) {
  crypto_hash_sha512_state state;
  ByteArray<crypto_hash_sha512_BYTES> digest{};
  crypto_hash_sha512_init(&state);
  crypto_hash_sha512_update(&state, r.data(), r.size());
  crypto_hash_sha512_update(&state, public_key.data(), public_key.size());
  crypto_hash_sha512_update(&state, message.data(), message.size());
  crypto_hash_sha512_final(&state, digest.data());
  Scalar h{};
  crypto_core_ed25519_scalar_reduce(h.data(), digest.data());
  return h;
}

bool verify_any_order(FixedView<32> public_key, ByteView message, FixedView<64> signature) {
  const auto r = signature.first<32>();
  const auto s = signature.last<32>();
  if (!below_group_order(s)) return false;
  const auto h_a = multiple(challenge(r, public_key, message), public_key);
  if (!h_a) return false;
  Scalar s_scalar{};
  std::copy(s.begin(), s.end(), s_scalar.begin());
  Point s_b = kNeutral;
  if (!is_zero(s_scalar)) {
    check(crypto_scalarmult_ed25519_base_noclamp(s_b.data(), s_scalar.data()) == 0,
          "Ed25519 scalar multiplication failed");
  }
  Point r_check{};
  subtract(r_check, s_b, *h_a);
  return std::ranges::equal(r_check, r);
}

// What libsodium refuses before its check of the equation, beyond what the ordinary mode refuses.
bool refused_only_strictly(FixedView<32> public_key, FixedView<64> signature) noexcept {
  return is_beyond_field(public_key) || has_small_order(public_key) ||
         has_small_order(signature.first<32>());
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
  // non-canonical points): those of its refusals are checked again.
  if (crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                  public_key.data()) == 0) {
    return true;
  }
  return refused_only_strictly(public_key, signature) &&
         verify_any_order(public_key, message, signature);
}

}  // namespace vostrel::identity
