#pragma once

// Shared by every module: byte aliases, the wiping secret types, big-endian helpers, the stop
// with a message and the operating system's random source.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vostrel {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
template <std::size_t N>
using ByteArray = std::array<std::uint8_t, N>;
template <std::size_t N>
using FixedView = std::span<const std::uint8_t, N>;
using Key32 = ByteArray<32>;
using KeyView = FixedView<32>;

// The stop of the program with a message. It unwinds, so every wiping destructor on the way runs.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

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

namespace test {
struct SecretBytesProbe;
}

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

 private:
  friend struct test::SecretBytesProbe;
  // Zero the bytes in use, drop the length, zero the whole capacity; the buffer stays allocated.
  void zero_all() noexcept;
  void wipe() noexcept;

  Bytes buf_;
};

// Big-endian integers, written and read in one place.
template <typename Int>
constexpr void store_be(std::uint8_t* out, Int value) noexcept {
  for (std::size_t i = sizeof(Int); i-- > 0;) {
    out[i] = static_cast<std::uint8_t>(value & 0xFF);
    value = static_cast<Int>(value >> 8);
  }
}

template <typename Int>
constexpr Int load_be(const std::uint8_t* in) noexcept {
  Int value = 0;
  for (std::size_t i = 0; i < sizeof(Int); ++i) {
    value = static_cast<Int>((value << 8) | in[i]);
  }
  return value;
}

template <typename Int>
constexpr ByteArray<sizeof(Int)> be_bytes(Int value) noexcept {
  ByteArray<sizeof(Int)> out{};
  store_be(out.data(), value);
  return out;
}

inline void put_bytes(Bytes& out, ByteView bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}
inline void put_bytes(SecretBytes& out, ByteView bytes) {
  out.append(bytes);
}

// Appends a big-endian integer to a byte string (Bytes or SecretBytes).
template <typename Buffer, typename Int>
void put_be(Buffer& out, Int value) {
  const auto bytes = be_bytes(value);
  put_bytes(out, ByteView(bytes));
}

// Reads fields in order from a byte string; every read checks the remaining length first.
class ByteReader {
 public:
  explicit ByteReader(ByteView input) noexcept : input_(input) {}

  [[nodiscard]] std::optional<ByteView> bytes(std::size_t n) noexcept {
    if (n > remaining()) return std::nullopt;
    ByteView out = input_.subspan(pos_, n);
    pos_ += n;
    return out;
  }
  template <std::size_t N>
  [[nodiscard]] std::optional<ByteArray<N>> array() noexcept {
    auto view = bytes(N);
    if (!view) return std::nullopt;
    ByteArray<N> out{};
    std::copy(view->begin(), view->end(), out.begin());
    return out;
  }
  template <typename Int>
  [[nodiscard]] std::optional<Int> be() noexcept {
    auto view = bytes(sizeof(Int));
    if (!view) return std::nullopt;
    return load_be<Int>(view->data());
  }
  [[nodiscard]] std::optional<std::uint8_t> u8() noexcept { return be<std::uint8_t>(); }
  [[nodiscard]] std::optional<std::uint16_t> u16() noexcept { return be<std::uint16_t>(); }
  [[nodiscard]] std::optional<std::uint32_t> u32() noexcept { return be<std::uint32_t>(); }
  [[nodiscard]] std::optional<std::uint64_t> u64() noexcept { return be<std::uint64_t>(); }

  std::size_t remaining() const noexcept { return input_.size() - pos_; }
  bool at_end() const noexcept { return pos_ == input_.size(); }
  std::size_t position() const noexcept { return pos_; }

 private:
  ByteView input_;
  std::size_t pos_ = 0;
};

inline ByteView as_bytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Well-formed UTF-8: no overlong forms, surrogates or code points past U+10FFFF.
[[nodiscard]] bool is_utf8(ByteView text) noexcept;

// Fills `out` from the operating system's random source; false when it fails.
[[nodiscard]] bool try_os_random(std::span<std::uint8_t> out) noexcept;
// Fills `out` from the operating system's random source; stops with "OS CSPRNG" when it fails.
void os_random(std::span<std::uint8_t> out);
// A fresh random 32-byte secret.
[[nodiscard]] Secret32 random_secret32();

}  // namespace vostrel
