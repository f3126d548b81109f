#pragma once

// The fault sweep: an operation is run once per allocation it makes, each time in a child process
// of its own in which exactly that allocation fails (a null from OpenSSL's allocator, a
// std::bad_alloc from operator new). A crash, an abort or a hang is seen by the parent rather than
// ending the sweep, and every run starts from a process in which the library has done nothing yet.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vostrel::fault {

// Arms the injector: the allocation numbered `index` (from 0, counted from now) fails.
void fail_allocation(std::size_t index) noexcept;
// Stops counting; true when the armed allocation was reached.
bool disarm() noexcept;

// A failed expectation in a run: the run ends with `message`.
[[noreturn]] void fail(std::string_view message);
inline void require(bool condition, std::string_view message) {
  if (!condition) fail(message);
}

// What a run of the sweep gives the scenario: the faulted call and nothing else runs with a fault.
class FaultRun {
 public:
  explicit FaultRun(std::size_t index) : index_(index) {}

  // Calls `operation` with allocation `index` failing. Empty when it threw: a stop, which must be
  // an exception and not a crash. The operation's result otherwise.
  template <class Operation>
  auto faulted(Operation&& operation) {
    using Result = std::invoke_result_t<Operation&>;
    if constexpr (std::is_void_v<Result>) {
      return faulted_call([&] { operation(); });
    } else {
      std::optional<Result> result;
      faulted_call([&] { result.emplace(operation()); });
      return result;
    }
  }

  bool reached() const noexcept { return reached_; }

 private:
  // True when the call returned, false when it threw.
  bool faulted_call(const std::function<void()>& call);

  std::size_t index_;
  bool used_ = false;
  bool reached_ = false;
};

// What a sweep saw: how many allocations the operation made and which runs failed, with why.
struct Report {
  std::size_t allocation_points = 0;
  std::vector<std::string> failures;
};

// Runs `scenario` with allocation 0, 1, 2, ... of its faulted call failing until a run's call
// no longer reaches the armed allocation. A scenario builds its state, makes exactly one faulted
// call and then checks: what the call returned is right, and the state still serves (the same call
// succeeds, later calls give the right answers).
Report sweep(const std::function<void(FaultRun&)>& scenario);

// The sweep as a check: every run passed, and the operation allocated at least once.
void expect_clean(std::string_view what, const std::function<void(FaultRun&)>& scenario);

}  // namespace vostrel::fault
