#include "vostrel/internal/crypto_heap.hpp"

#include <openssl/crypto.h>

#include <cstring>
#include <new>

namespace vostrel::crypto {

bool replace_library_allocator(HeapAllocate allocate, HeapReallocate reallocate,
                               HeapRelease release) noexcept {
  return CRYPTO_set_mem_functions(allocate, reallocate, release) == 1;
}

void* library_block_holding(ByteView bytes) {
  void* block = OPENSSL_malloc(bytes.size());
  if (block == nullptr) throw std::bad_alloc();
  std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

void release_library_block(void* block) noexcept {
  OPENSSL_free(block);
}

void* reallocate_library_block(void* block, std::size_t size) noexcept {
  return OPENSSL_realloc(block, size);
}

void cleanse_and_release_library_block(void* block, std::size_t size) noexcept {
  OPENSSL_clear_free(block, size);
}

}  // namespace vostrel::crypto
