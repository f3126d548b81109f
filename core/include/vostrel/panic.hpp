#pragma once

// The stop of the program with a message.

#include <exception>
#include <string>
#include <utility>

namespace vostrel {

// The stop of the program with a message. It unwinds, so every wiping destructor on the way runs.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace vostrel
