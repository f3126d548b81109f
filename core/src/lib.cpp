#include "vostrel/lib.hpp"

namespace vostrel::lib {

std::string_view version() noexcept {
  return VOSTREL_VERSION;
}

}  // namespace vostrel::lib
