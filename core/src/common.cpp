#include "vostrel/common.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vostrel {

void secure_zero(void* data, std::size_t length) noexcept {
  if (length == 0) return;
  std::memset(data, 0, length);
  // The barrier makes the fill observable, so the optimiser can neither drop it nor move it past
  // a later free or reuse of the memory.
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

void MoveMark::stop(const char* type) {
  throw Panic(std::string(type) + " used after it was moved from");
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

// Well-formed UTF-8 (Unicode table 3-7): no overlong forms, surrogates or code points past
// U+10FFFF.
bool is_utf8(ByteView text) noexcept {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const std::uint8_t lead = text[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (n - i < length) return false;
    if (text[i + 1] < low || text[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (text[i + k] < 0x80 || text[i + k] > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

namespace {

bool read_getrandom(std::span<std::uint8_t> out) noexcept {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = getrandom(out.data() + done, out.size() - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool read_urandom(std::span<std::uint8_t> out) noexcept {
  int fd;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  std::size_t done = 0;
  bool ok = true;
  while (done < out.size()) {
    const ssize_t got = ::read(fd, out.data() + done, out.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return ok;
}

}  // namespace

bool try_os_random(std::span<std::uint8_t> out) noexcept {
  if (out.empty()) return true;
  if (read_getrandom(out)) return true;
  if (read_urandom(out)) return true;
  secure_zero(out.data(), out.size());
  return false;
}

void os_random(std::span<std::uint8_t> out) {
  if (!try_os_random(out)) throw Panic("OS CSPRNG");
}

Secret32 random_secret32() {
  Secret32 secret;
  os_random(secret.mutable_bytes());
  return secret;
}

}  // namespace vostrel
