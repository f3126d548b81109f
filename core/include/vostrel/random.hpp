#pragma once

// The operating system's random source, the only one the system draws from.

#include <span>

#include "vostrel/bytes.hpp"
#include "vostrel/secret.hpp"

namespace vostrel {

// Fills `out` from the operating system's random source; false when it fails.
[[nodiscard]] bool try_os_random(std::span<std::uint8_t> out) noexcept;
// Fills `out` from the operating system's random source; stops with "OS CSPRNG" when it fails.
void os_random(std::span<std::uint8_t> out);
// A fresh random 32-byte secret.
[[nodiscard]] Secret32 random_secret32();

}  // namespace vostrel
