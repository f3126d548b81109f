#pragma once

// The cryptographic core's side of its vendor libraries: owners for OpenSSL objects, the one way a
// failing library call is handled, and libsodium's start-up. Included by the cryptographic core
// only.

#include <openssl/evp.h>

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

}  // namespace vostrel::crypto::backend
