#pragma once

// What the relay keeps to itself, visible to the checks and the constant-time harness.

#include "vostrel/common.hpp"

namespace vostrel::relay {

// The relay's own capability comparison: all 32 bytes, no early exit, one decision at the end.
[[nodiscard]] bool capability_matches(const Key32& expected, const Key32& presented) noexcept;

}  // namespace vostrel::relay
