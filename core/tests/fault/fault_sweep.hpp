#pragma once

// The fault sweep: an operation is run once per allocation it makes, each time in a child process
// of its own in which exactly that allocation fails (a null from OpenSSL's allocator, a
// std::bad_alloc from operator new). A crash, an abort or a hang is seen by the parent rather than
// ending the sweep, and every run starts from a process in which the library has done nothing yet.

#include <cstddef>
#include <functional>
#include <initializer_list>
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
// Around the faulted call the thread's OpenSSL error queue holds errors of the application's own,
// with a mark on the last (nothing before OpenSSL's start), and must hold exactly those and that
// one mark after the call, whether it returned or stopped. They fill the queue but for the most
// errors the library may queue at once, so that a call which queues more pushes one out.
class FaultRun {
 public:
  // The run in which allocation `index` fails, or with kEveryAllocation the run that forks one
  // such run at each allocation of its call, and then plays on with no allocation failing.
  static constexpr std::size_t kEveryAllocation = static_cast<std::size_t>(-1);
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

// Runs `scenario` once for each allocation of its faulted call, with that allocation failing. A
// scenario builds its state, makes exactly one faulted call and then checks: what the call returned
// is right, and the state still serves (the same call succeeds, later calls give the right
// answers). The state built before the call is built once: each run is forked from a run without
// a fault at the allocation that is to fail. Every run must pass, and the operation allocate at
// least once.
void expect_clean(std::string_view what, const std::function<void(FaultRun&)>& scenario);

// One named scenario of a table.
struct Scenario {
  std::string what;
  std::function<void(FaultRun&)> play;
};
// expect_clean for each.
void sweep_all(std::initializer_list<Scenario> scenarios);
// expect_clean for each, but every run plays its scenario from the start in a process of its own,
// forked before the scenario has done anything. For calls that are the library's first use: a run
// forked in the middle of OpenSSL's start would wait for a lock that the forking thread held,
// where the thread itself is refused and goes on. And for scenarios with state outside the
// process, such as files, which a fork does not copy.
void sweep_all_from_the_start(std::initializer_list<Scenario> scenarios);
// For calls that cannot stop for want of memory: each scenario passes, and its faulted call makes
// no allocation at all.
void expect_allocation_free(std::initializer_list<Scenario> scenarios);

}  // namespace vostrel::fault
