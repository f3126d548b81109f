#pragma once

// Steps of crypto that no other module calls; the self-checks test them on their own.

#include "vostrel/common.hpp"

namespace vostrel::crypto {

// RFC 7748 clamping of a copy of the secret.
[[nodiscard]] PlainSecret32 clamp_scalar(KeyView secret) noexcept;

}  // namespace vostrel::crypto
