#include "vostrel/secret.hpp"

#include <cstring>

namespace vostrel {

void secure_zero(void* data, std::size_t length) noexcept {
  if (length == 0) return;
  std::memset(data, 0, length);
  // The barrier makes the fill observable, so the optimiser can neither drop it nor move it past
  // a later free or reuse of the memory.
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

HybridSecret::HybridSecret(FixedView<32> classical, FixedView<32> post_quantum) noexcept {
  std::copy(classical.begin(), classical.end(), bytes_.begin());
  std::copy(post_quantum.begin(), post_quantum.end(), bytes_.begin() + 32);
}

HybridSecret::HybridSecret(FixedView<64> bytes) noexcept {
  std::copy(bytes.begin(), bytes.end(), bytes_.begin());
}

HybridSecret::HybridSecret(HybridSecret&& other) noexcept : bytes_(other.bytes_) {
  secure_zero(other.bytes_.data(), other.bytes_.size());
}

HybridSecret& HybridSecret::operator=(HybridSecret&& other) noexcept {
  if (this != &other) {
    bytes_ = other.bytes_;
    secure_zero(other.bytes_.data(), other.bytes_.size());
  }
  return *this;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    wipe();
    buf_ = std::move(other.buf_);
  }
  return *this;
}

void SecretBytes::zero_all() noexcept {
  secure_zero(buf_.data(), buf_.size());
  buf_.clear();
  // clear() keeps the allocation: bytes once written beyond the length are still there.
  secure_zero(buf_.data(), buf_.capacity());
}

void SecretBytes::wipe() noexcept {
  if (buf_.capacity() == 0) return;
  zero_all();
  Bytes().swap(buf_);
}

}  // namespace vostrel
