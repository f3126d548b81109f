#pragma once

// The cryptographic core's side of its vendor libraries: owners for OpenSSL objects, the one way a
// failing library call is handled, libsodium's start-up, the fetched algorithm objects and the
// gathering of short input pieces. Included by the cryptographic core only.

#include <openssl/err.h>
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

// The thread's error queue as the outermost call into the core found it, its marks included. A
// library call that fails queues errors, which another user of the library in the same thread would
// take for its own, and the first fetches may queue some while succeeding. They come off as soon as
// the core knows of them, before a stop leaves it or an operation that caught the stop goes on, so
// the queue never holds more than one failure's errors of the core's; what the application had
// queued stays. Only the outermost call looks at the queue, once: the cost of a look is given in
// error_queue.hpp.
class KeptErrorQueue {
 public:
  KeptErrorQueue() noexcept { enter(); }
  KeptErrorQueue(const KeptErrorQueue&) = delete;
  KeptErrorQueue& operator=(const KeptErrorQueue&) = delete;
  ~KeptErrorQueue() { leave(); }

  static void enter() noexcept {
    if (depth_++ != 0) return;
    // No mark on an empty queue: then everything in it later is the core's.
    marked_ = ERR_set_mark() == 1;
  }
  static void leave() noexcept {
    if (--depth_ == 0 && marked_) ERR_clear_last_mark();
  }
  // Where a library call failed, or may have queued errors even though it succeeded: the core's
  // errors come off, and the mark goes back on the application's for any later failure.
  // Out of line, off the paths that succeed.
  [[gnu::cold]] static void take_off_own() noexcept;

 private:
  static constinit inline thread_local unsigned depth_ = 0;
  static constinit inline thread_local bool marked_ = false;
};

[[noreturn]] inline void stop_with(const char* operation) {
  KeptErrorQueue::take_off_own();
  throw Panic(operation);
}

// For the *_new() constructors, which fail only when memory runs out.
template <typename T>
Owned<T> owned(T* object) {
  if (object == nullptr) {
    KeptErrorQueue::take_off_own();
    throw std::bad_alloc();
  }
  return Owned<T>(object);
}

// Every other library call that reports failure stops the operation with its message: with valid
// inputs one fails only when the library runs out of memory, or is broken.
inline void check(bool succeeded, const char* operation) {
  if (!succeeded) stop_with(operation);
}

// Before the first libsodium call; stops with "libsodium initialisation failed".
void sodium_ready();

// Every algorithm the core takes from OpenSSL, fetched once from a library context of the core's
// own and only read afterwards.
struct Algorithms {
  OSSL_LIB_CTX* context;
  EVP_MD* sha256;
  EVP_CIPHER* chacha20;
  EVP_MAC* poly1305;
};
// Made on the first call; a making that fails stops with `operation` and leaves nothing behind, so
// the next call makes them afresh.
const Algorithms& algorithms(const char* operation);

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
