#include "vostrel/pow.hpp"

#include <bit>
#include <limits>
#include <string_view>

#include "vostrel/crypto.hpp"
#include "vostrel/internal/error_queue.hpp"
#include "vostrel/labels.hpp"

namespace vostrel::pow {
namespace {

constexpr std::string_view kStampLabel = labels::kPowStamp;

// SHA-256 state after the label and the challenge, from which every nonce's stamp finishes. The
// search copies it into one working hasher per nonce.
class StampPrefix {
 public:
  explicit StampPrefix(ByteView challenge) {
    prefix_.update(as_bytes(kStampLabel));
    prefix_.update(challenge);
  }

  Stamp stamp(std::uint64_t nonce) {
    work_ = prefix_;
    work_.update(be_bytes(nonce));
    return work_.finish();
  }

 private:
  crypto::Sha256 prefix_;
  crypto::Sha256 work_;
};

}  // namespace

Stamp stamp_hash(ByteView challenge, std::uint64_t nonce) {
  return crypto::sha256({as_bytes(kStampLabel), challenge, be_bytes(nonce)});
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
  const crypto::HeldErrorQueue held;
  StampPrefix prefix(challenge);
  for (std::uint64_t nonce = 0;; ++nonce) {
    if (leading_zero_bits(prefix.stamp(nonce)) >= std::uint32_t{difficulty}) return nonce;
    if (nonce == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
  }
}

}  // namespace vostrel::pow
