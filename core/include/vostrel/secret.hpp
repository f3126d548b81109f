#pragma once

// The secret types: the wiping ones, which zero their bytes when released, the guard that wipes a
// working copy, and the name of the secrets that are deliberately left unwiped.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "vostrel/bytes.hpp"

namespace vostrel {

// A 32-byte secret that the design leaves unwiped (a chain, root or derived key held in plain
// state): the same bytes as Key32, named apart so that a reader sees it is secret.
using PlainSecret32 = ByteArray<32>;

// Zeroes memory with stores the optimiser may not remove.
void secure_zero(void* data, std::size_t length) noexcept;

// A 32-byte key, seed or shared secret, zeroed when released.
class Secret32 {
 public:
  Secret32() noexcept = default;
  explicit Secret32(const Key32& bytes) noexcept : bytes_(bytes) {}
  explicit Secret32(FixedView<32> bytes) noexcept {
    std::copy(bytes.begin(), bytes.end(), bytes_.begin());
  }
  Secret32(Secret32&& other) noexcept : bytes_(other.bytes_) {
    secure_zero(other.bytes_.data(), 32);
  }
  Secret32& operator=(Secret32&& other) noexcept {
    if (this != &other) {
      bytes_ = other.bytes_;
      secure_zero(other.bytes_.data(), 32);
    }
    return *this;
  }
  Secret32(const Secret32&) = delete;
  Secret32& operator=(const Secret32&) = delete;
  ~Secret32() { secure_zero(bytes_.data(), bytes_.size()); }

  // An explicit duplicate, released and wiped on its own.
  [[nodiscard]] Secret32 clone() const noexcept { return Secret32(bytes_); }

  const Key32& bytes() const noexcept { return bytes_; }
  Key32& mutable_bytes() noexcept { return bytes_; }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  std::uint8_t* data() noexcept { return bytes_.data(); }
  KeyView view() const noexcept { return bytes_; }
  static constexpr std::size_t size() noexcept { return 32; }

 private:
  Key32 bytes_{};
};

// The X25519 shared secret followed by the ML-KEM-768 shared secret, zeroed when released.
class HybridSecret {
 public:
  HybridSecret(FixedView<32> classical, FixedView<32> post_quantum) noexcept;
  explicit HybridSecret(FixedView<64> bytes) noexcept;
  HybridSecret(HybridSecret&& other) noexcept;
  HybridSecret& operator=(HybridSecret&& other) noexcept;
  HybridSecret(const HybridSecret&) = delete;
  HybridSecret& operator=(const HybridSecret&) = delete;
  ~HybridSecret() { secure_zero(bytes_.data(), bytes_.size()); }

  const ByteArray<64>& bytes() const noexcept { return bytes_; }
  FixedView<64> view() const noexcept { return bytes_; }

 private:
  ByteArray<64> bytes_{};
};

// A growable byte string for records that carry keys. Release zeroes the bytes in use and then the
// whole capacity before the buffer is freed; a buffer left behind by growth is not wiped.
class SecretBytes {
 public:
  SecretBytes() noexcept = default;
  // Takes over the buffer of `bytes`, which is left empty.
  explicit SecretBytes(Bytes&& bytes) noexcept : buf_(std::move(bytes)) {}
  SecretBytes(SecretBytes&& other) noexcept : buf_(std::move(other.buf_)) {}
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(); }

  void reserve(std::size_t capacity) { buf_.reserve(capacity); }
  void append(ByteView bytes) { buf_.insert(buf_.end(), bytes.begin(), bytes.end()); }
  void push_back(std::uint8_t byte) { buf_.push_back(byte); }
  void resize(std::size_t length) { buf_.resize(length); }

  const std::uint8_t* data() const noexcept { return buf_.data(); }
  std::uint8_t* data() noexcept { return buf_.data(); }
  std::size_t size() const noexcept { return buf_.size(); }
  std::size_t capacity() const noexcept { return buf_.capacity(); }
  bool empty() const noexcept { return buf_.empty(); }
  ByteView view() const noexcept { return buf_; }
  std::span<std::uint8_t> mutable_view() noexcept { return buf_; }
  std::uint8_t operator[](std::size_t i) const noexcept { return buf_[i]; }
  std::uint8_t& operator[](std::size_t i) noexcept { return buf_[i]; }

 protected:
  // The first release step, open to a type that watches it before the buffer is freed: zero the
  // bytes in use, drop the length, zero the whole capacity; the buffer stays allocated.
  void zero_all() noexcept;

 private:
  void wipe() noexcept;

  Bytes buf_;
};

// Zeroes a working copy of secret bytes on every way out of a scope. `cover` moves it to another
// range (a buffer that has grown); `release` hands the bytes on unwiped to a new owner.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::span<std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { secure_zero(bytes_.data(), bytes_.size()); }

  void cover(std::span<std::uint8_t> bytes) noexcept { bytes_ = bytes; }
  void release() noexcept { bytes_ = {}; }

 private:
  std::span<std::uint8_t> bytes_;
};

}  // namespace vostrel
