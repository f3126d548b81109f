#pragma once

// The one UTF-8 check of every stored and sent text.

#include "vostrel/bytes.hpp"

namespace vostrel {

// Well-formed UTF-8: no overlong forms, surrogates or code points past U+10FFFF.
[[nodiscard]] bool is_utf8(ByteView text) noexcept;

}  // namespace vostrel
