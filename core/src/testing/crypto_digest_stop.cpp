// Stands in for OpenSSL's EVP_DigestFinal_ex in a program that links this file: the library's
// calls reach this one, which passes them on to OpenSSL's unless told to fail one. A file of its
// own, so that only the programs that ask for stops get it.
#include <dlfcn.h>
#include <openssl/evp.h>

#include "vostrel/internal/crypto_heap.hpp"

namespace vostrel::crypto {
namespace {
// Digest finals to pass before one fails; negative: none fails.
int finals_before_stop = -1;
}  // namespace

void stop_digest_final_after(int passed) noexcept {
  finals_before_stop = passed;
}

bool digest_final_stop_pending() noexcept {
  return finals_before_stop >= 0;
}

}  // namespace vostrel::crypto

extern "C" int EVP_DigestFinal_ex(EVP_MD_CTX* ctx, unsigned char* out, unsigned int* size) {
  static const auto library =
      reinterpret_cast<decltype(&EVP_DigestFinal_ex)>(dlsym(RTLD_NEXT, "EVP_DigestFinal_ex"));
  auto& before = vostrel::crypto::finals_before_stop;
  if (before >= 0 && before-- == 0) return 0;
  return library(ctx, out, size);
}
