#include "vostrel/pow.hpp"

// The plain SHA256_CTX is a copyable struct: the search copies the hashed prefix per nonce without
// the allocation that duplicating an EVP context costs.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <bit>
#include <limits>
#include <string_view>

#include "vostrel/labels.hpp"

namespace vostrel::pow {
namespace {

constexpr std::string_view kStampLabel = labels::kPowStamp;

// SHA-256 state after the label and the challenge, from which every nonce's stamp finishes.
class StampPrefix {
 public:
  explicit StampPrefix(ByteView challenge) {
    SHA256_Init(&prefix_);
    SHA256_Update(&prefix_, kStampLabel.data(), kStampLabel.size());
    SHA256_Update(&prefix_, challenge.data(), challenge.size());
  }

  Stamp stamp(std::uint64_t nonce) const noexcept {
    SHA256_CTX ctx = prefix_;
    const auto nonce_bytes = be_bytes(nonce);
    SHA256_Update(&ctx, nonce_bytes.data(), nonce_bytes.size());
    Stamp out{};
    SHA256_Final(out.data(), &ctx);
    return out;
  }

 private:
  SHA256_CTX prefix_{};
};

}  // namespace

Stamp stamp_hash(ByteView challenge, std::uint64_t nonce) {
  return StampPrefix(challenge).stamp(nonce);
}

std::uint32_t leading_zero_bits(FixedView<32> digest) noexcept {
  for (std::size_t i = 0; i < digest.size(); ++i) {
    if (digest[i] != 0) {
      return static_cast<std::uint32_t>(8 * i) +
             static_cast<std::uint32_t>(std::countl_zero(digest[i]));
    }
  }
  return 256;
}

bool verify(ByteView challenge, std::uint8_t difficulty, std::uint64_t nonce) {
  return leading_zero_bits(stamp_hash(challenge, nonce)) >= std::uint32_t{difficulty};
}

std::optional<std::uint64_t> solve(ByteView challenge, std::uint8_t difficulty) {
  const StampPrefix prefix(challenge);
  for (std::uint64_t nonce = 0;; ++nonce) {
    if (leading_zero_bits(prefix.stamp(nonce)) >= std::uint32_t{difficulty}) return nonce;
    if (nonce == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
  }
}

}  // namespace vostrel::pow
