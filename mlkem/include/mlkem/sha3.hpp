// SHA-3 hash functions and SHAKE extendable-output functions (FIPS 202).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace mlkem768::sha3 {

inline constexpr std::size_t kSha3_256Rate = 136;
inline constexpr std::size_t kSha3_512Rate = 72;
inline constexpr std::size_t kShake128Rate = 168;
inline constexpr std::size_t kShake256Rate = 136;
inline constexpr std::size_t kSha3_256Bytes = 32;
inline constexpr std::size_t kSha3_512Bytes = 64;

// A Keccak-f[1600] sponge: absorb any number of times, then squeeze any number of times.
// Absorbing after the first squeeze is a caller bug and aborts the program. The state is
// wiped when the object is destroyed or reset, since callers hash secrets through it.
class Sponge {
 public:
  Sponge(const Sponge&) noexcept = default;
  Sponge& operator=(const Sponge&) noexcept = default;
  ~Sponge();

  void absorb(std::span<const std::uint8_t> data) noexcept;
  void squeeze(std::span<std::uint8_t> out) noexcept;
  // Back to the empty state, ready to absorb a new message.
  void reset() noexcept;

 protected:
  Sponge(std::size_t rate, std::uint8_t suffix) noexcept;

 private:
  void finish_absorbing() noexcept;

  std::uint64_t lanes_[25];
  std::size_t rate_;
  std::size_t offset_ = 0;  // byte position inside the current block
  std::uint8_t suffix_;     // domain bits followed by the first padding bit
  bool squeezing_ = false;
};

class Shake128 : public Sponge {
 public:
  Shake128() noexcept : Sponge(kShake128Rate, 0x1F) {}
};

class Shake256 : public Sponge {
 public:
  Shake256() noexcept : Sponge(kShake256Rate, 0x1F) {}
};

class Sha3_256 : private Sponge {
 public:
  Sha3_256() noexcept : Sponge(kSha3_256Rate, 0x06) {}
  using Sponge::absorb;
  using Sponge::reset;
  // Writes the digest; call reset() before hashing another message.
  void finish(std::span<std::uint8_t, kSha3_256Bytes> digest) noexcept { squeeze(digest); }
};

class Sha3_512 : private Sponge {
 public:
  Sha3_512() noexcept : Sponge(kSha3_512Rate, 0x06) {}
  using Sponge::absorb;
  using Sponge::reset;
  void finish(std::span<std::uint8_t, kSha3_512Bytes> digest) noexcept { squeeze(digest); }
};

void sha3_256(std::span<const std::uint8_t> data,
              std::span<std::uint8_t, kSha3_256Bytes> digest) noexcept;
void sha3_512(std::span<const std::uint8_t> data,
              std::span<std::uint8_t, kSha3_512Bytes> digest) noexcept;
void shake128(std::span<const std::uint8_t> data, std::span<std::uint8_t> out) noexcept;
void shake256(std::span<const std::uint8_t> data, std::span<std::uint8_t> out) noexcept;

}  // namespace mlkem768::sha3
