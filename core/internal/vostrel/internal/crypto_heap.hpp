#pragma once

// The vendor library's allocator and digest finals, for the checks that search what its heap
// keeps. Test support only: never part of the installed library.

#include <cstddef>

#include "vostrel/bytes.hpp"

namespace vostrel::crypto {

// Malloc, realloc and free with the library's source position arguments.
using HeapAllocate = void* (*)(std::size_t size, const char* file, int line);
using HeapReallocate = void* (*)(void* block, std::size_t size, const char* file, int line);
using HeapRelease = void (*)(void* block, const char* file, int line);

// Routes every later allocation of OpenSSL through the three functions. False once OpenSSL has
// allocated anything: then they can no longer be replaced.
[[nodiscard]] bool replace_library_allocator(HeapAllocate allocate, HeapReallocate reallocate,
                                             HeapRelease release) noexcept;

// Blocks of the library's heap, as its own calls get and give them back: a copy of `bytes`, and
// the three ways a block goes.
[[nodiscard]] void* library_block_holding(ByteView bytes);
void release_library_block(void* block) noexcept;
[[nodiscard]] void* reallocate_library_block(void* block, std::size_t size) noexcept;
void cleanse_and_release_library_block(void* block, std::size_t size) noexcept;

// The digest final numbered `passed` (from 0, counted from now) fails and leaves its context as
// it was, which stops the call that made it half-way; negative: none fails. True while the
// stop is still to come.
void stop_digest_final_after(int passed) noexcept;
[[nodiscard]] bool digest_final_stop_pending() noexcept;

// The thread's error queue as an application leaves it: errors of its own, as many as leave room
// for the most the library may queue at once, with a mark on the last.
void queue_application_error() noexcept;
// Null when the queue holds exactly those errors, in their order, and that one mark, and nothing
// else; otherwise what is wrong. Leaves the queue empty either way.
[[nodiscard]] const char* application_errors_broken() noexcept;
// Whether the thread's error queue is empty, with no mark on it; leaves it empty.
[[nodiscard]] bool error_queue_empty() noexcept;
// Starts OpenSSL and the thread's error queue, as an application's own use of OpenSSL does, and
// leaves the queue empty.
void start_error_queue() noexcept;

// Called before the library makes its OpenSSL context or fetches an algorithm (`starting`, with
// null), and after, with what was made (null when nothing was); null: none is called. For
// programs that link the stand-ins for those calls.
using MakingObserver = void (*)(bool starting, const void* made);
void observe_makings(MakingObserver observer) noexcept;

}  // namespace vostrel::crypto
