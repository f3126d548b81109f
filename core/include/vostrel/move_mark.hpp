#pragma once

// The mark by which an owner of keys tells that it has been moved from.

#include <utility>

namespace vostrel {

// A member that tells a moved-from owner apart: the owner's moves carry it along and leave the
// source marked, a copy keeps the mark as it is. Assigning a new value to a marked owner clears it.
class MoveMark {
 public:
  MoveMark() noexcept = default;
  MoveMark(const MoveMark&) noexcept = default;
  MoveMark& operator=(const MoveMark&) noexcept = default;
  MoveMark(MoveMark&& other) noexcept : moved_from_(std::exchange(other.moved_from_, true)) {}
  MoveMark& operator=(MoveMark&& other) noexcept {
    if (this != &other) moved_from_ = std::exchange(other.moved_from_, true);
    return *this;
  }
  ~MoveMark() = default;

  // Stops with "<type> used after it was moved from" when the owner has been moved from.
  void check(const char* type) const {
    if (moved_from_) [[unlikely]]
      stop(type);
  }

 private:
  [[noreturn]] static void stop(const char* type);

  bool moved_from_ = false;
};

}  // namespace vostrel
