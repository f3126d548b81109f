#include "vostrel/move_mark.hpp"

#include <string>

#include "vostrel/panic.hpp"

namespace vostrel {

void MoveMark::stop(const char* type) {
  throw Panic(std::string(type) + " used after it was moved from");
}

}  // namespace vostrel
