#pragma once

// The vendor library's allocator, for the checks that search what its heap keeps.

#include <cstddef>

namespace vostrel::crypto {

// Malloc, realloc and free with the library's source position arguments.
using HeapAllocate = void* (*)(std::size_t size, const char* file, int line);
using HeapReallocate = void* (*)(void* block, std::size_t size, const char* file, int line);
using HeapRelease = void (*)(void* block, const char* file, int line);

// Routes every later allocation of OpenSSL through the three functions. False once OpenSSL has
// allocated anything: then they can no longer be replaced.
[[nodiscard]] bool replace_library_allocator(HeapAllocate allocate, HeapReallocate reallocate,
                                             HeapRelease release) noexcept;

}  // namespace vostrel::crypto
