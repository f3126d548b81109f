#include "vostrel/internal/crypto_heap.hpp"

#include <openssl/crypto.h>

namespace vostrel::crypto {

bool replace_library_allocator(HeapAllocate allocate, HeapReallocate reallocate,
                               HeapRelease release) noexcept {
  return CRYPTO_set_mem_functions(allocate, reallocate, release) == 1;
}

}  // namespace vostrel::crypto
