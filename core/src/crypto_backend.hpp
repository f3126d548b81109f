#pragma once

// The cryptographic core's side of its vendor libraries: owners for OpenSSL objects, the one way a
// failing library call is handled, libsodium's start-up, the fetched algorithm objects and the
// gathering of short input pieces. Included by the cryptographic core only.

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "vostrel/common.hpp"

namespace vostrel::crypto::backend {

// Freeing an OpenSSL context also wipes the key material it holds.
struct Free {
  void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
  void operator()(EVP_MAC_CTX* ctx) const noexcept { EVP_MAC_CTX_free(ctx); }
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// For the *_new() constructors, which fail only when memory runs out.
template <typename T>
Owned<T> owned(T* object) {
  if (object == nullptr) throw std::bad_alloc();
  return Owned<T>(object);
}

// Every other library call that reports failure stops the program with the operation's message:
// with valid inputs none of them fails, so a failure means the library itself is broken.
inline void check(bool succeeded, const char* operation) {
  if (!succeeded) throw Panic(operation);
}

// Before the first libsodium call; stops with "libsodium initialisation failed".
void sodium_ready();

// Algorithm objects are fetched once and only read afterwards; an algorithm the library lacks
// stops the operation that needs it.
template <typename Algorithm>
Algorithm* fetched(Algorithm* algorithm, const char* operation) {
  check(algorithm != nullptr, operation);
  return algorithm;
}

// Passes pieces on to `update` with the short ones gathered first: each library call has a fixed
// cost that a few bytes do not repay. What it held is wiped when it goes, as pieces may be secret.
template <typename Update>
class Gathered {
 public:
  explicit Gathered(Update update) : update_(update) {}
  Gathered(const Gathered&) = delete;
  Gathered& operator=(const Gathered&) = delete;
  ~Gathered() { secure_zero(buffer_.data(), reached_); }

  void add(ByteView piece) {
    if (piece.empty()) return;
    if (held_ + piece.size() > buffer_.size()) flush();
    if (piece.size() >= buffer_.size()) {
      update_(piece);
      return;
    }
    std::memcpy(buffer_.data() + held_, piece.data(), piece.size());
    held_ += piece.size();
    reached_ = std::max(reached_, held_);
  }
  void flush() {
    if (held_ != 0) update_(ByteView(buffer_).first(held_));
    held_ = 0;
  }

 private:
  Update update_;
  ByteArray<256> buffer_;
  std::size_t held_ = 0;
  std::size_t reached_ = 0;
};

}  // namespace vostrel::crypto::backend
