#include "vostrel/utf8.hpp"

namespace vostrel {

// Well-formed UTF-8 (Unicode table 3-7): no overlong forms, surrogates or code points past
// U+10FFFF.
bool is_utf8(ByteView text) noexcept {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const std::uint8_t lead = text[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (n - i < length) return false;
    if (text[i + 1] < low || text[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (text[i + k] < 0x80 || text[i + k] > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace vostrel
