// Stands in for the OpenSSL calls by which the library makes its context and fetches its
// algorithms, in a program that links this file: the library's calls reach these, which tell an
// observer when a making starts and what it made. OpenSSL 3.0 leaks part of what its makings had
// allocated when an allocation fails inside one; the fault sweep excuses those blocks, but not the
// contexts and algorithms handed to the library.
#include <dlfcn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "vostrel/internal/crypto_heap.hpp"

namespace vostrel::crypto {
namespace {
MakingObserver observer = nullptr;

// OpenSSL's own function of that name.
template <class Function>
Function* library_function(const char* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

template <class Make>
auto observed(Make make) {
  const MakingObserver observe = observer;
  if (observe != nullptr) observe(true, nullptr);
  auto* made = make();
  if (observe != nullptr) observe(false, made);
  return made;
}
}  // namespace

void observe_makings(MakingObserver observe) noexcept {
  observer = observe;
}

}  // namespace vostrel::crypto

using vostrel::crypto::library_function;
using vostrel::crypto::observed;

extern "C" OSSL_LIB_CTX* OSSL_LIB_CTX_new(void) {
  static auto* const library = library_function<OSSL_LIB_CTX*()>("OSSL_LIB_CTX_new");
  return observed([] { return library(); });
}

extern "C" EVP_MD* EVP_MD_fetch(OSSL_LIB_CTX* context, const char* algorithm,
                                const char* properties) {
  static auto* const library =
      library_function<EVP_MD*(OSSL_LIB_CTX*, const char*, const char*)>("EVP_MD_fetch");
  return observed([&] { return library(context, algorithm, properties); });
}

extern "C" EVP_CIPHER* EVP_CIPHER_fetch(OSSL_LIB_CTX* context, const char* algorithm,
                                        const char* properties) {
  static auto* const library =
      library_function<EVP_CIPHER*(OSSL_LIB_CTX*, const char*, const char*)>("EVP_CIPHER_fetch");
  return observed([&] { return library(context, algorithm, properties); });
}

extern "C" EVP_MAC* EVP_MAC_fetch(OSSL_LIB_CTX* context, const char* algorithm,
                                  const char* properties) {
  static auto* const library =
      library_function<EVP_MAC*(OSSL_LIB_CTX*, const char*, const char*)>("EVP_MAC_fetch");
  return observed([&] { return library(context, algorithm, properties); });
}
