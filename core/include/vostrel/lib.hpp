#pragma once

#include <string_view>

namespace vostrel::lib {

// The library's version, taken from the build's project version.
std::string_view version() noexcept;

}  // namespace vostrel::lib
