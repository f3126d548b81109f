#include "fault_sweep.hpp"

#include <execinfo.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <thread>

#include "vostrel/internal/crypto_heap.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace vostrel::fault {
namespace {

// The injector of the one thread a run has.
struct Injector {
  bool armed = false;
  bool reached = false;
  std::size_t remaining = 0;
};
Injector injector;

// True for the one allocation that is to fail.
bool allocation_fails() noexcept {
  if (!injector.armed) return false;
  if (injector.remaining-- != 0) return false;
  injector.armed = false;
  injector.reached = true;
  // VOSTREL_FAULT_TRACE shows where the failing allocation was asked for.
  if (std::getenv("VOSTREL_FAULT_TRACE") != nullptr) {
    void* frames[32];
    backtrace_symbols_fd(frames, backtrace(frames, 32), STDERR_FILENO);
  }
  return true;
}

void* library_allocate(std::size_t size, const char*, int) {
  return allocation_fails() ? nullptr : std::malloc(size);
}
void* library_reallocate(void* block, std::size_t size, const char*, int) {
  // A realloc to 0 frees, and cannot fail.
  if (size != 0 && allocation_fails()) return nullptr;
  return std::realloc(block, size);
}
void library_release(void* block, const char*, int) {
  std::free(block);
}

// Where a run writes why it failed, for the parent to read.
int report_fd = -1;
bool leaks_allowed = false;

constexpr int kReachedExit = 0;
constexpr int kNotReachedExit = 10;
constexpr int kFailedExit = 11;
// A run that takes longer hangs.
constexpr unsigned kRunSeconds = 60;
// Beyond this an operation is not swept through: the sweep would take minutes.
constexpr std::size_t kMaxPoints = 20'000;
constexpr std::size_t kMaxReported = 10;

#if defined(__SANITIZE_ADDRESS__)
bool leaks_found() {
  return __lsan_do_recoverable_leak_check() != 0;
}
#else
bool leaks_found() {
  return false;
}
#endif

[[noreturn]] void run_child(const std::function<void(FaultRun&)>& scenario, std::size_t index) {
  alarm(kRunSeconds);
  FaultRun run(index);
  try {
    scenario(run);
  } catch (const std::exception& stop) {
    fail(std::string("stopped outside the faulted call: ") + stop.what());
  } catch (...) {
    fail("stopped outside the faulted call");
  }
  // A stop must not leak either; _exit skips the sanitizer's own check at exit.
  require(leaks_allowed || !leaks_found(), "memory leaked");
  std::fflush(nullptr);
  _exit(run.reached() ? kReachedExit : kNotReachedExit);
}

std::string read_all(int fd) {
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// The run's outcome: the exit status, or why it failed.
struct Outcome {
  bool reached = false;
  std::optional<std::string> failure;
};

// A run in its child process, and the pipe it reports on.
struct Child {
  pid_t pid = -1;
  int report = -1;
  std::size_t index = 0;
};

Child start_run(const std::function<void(FaultRun&)>& scenario, std::size_t index) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    report_fd = fds[1];
    run_child(scenario, index);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return {};
  }
  return {pid, fds[0], index};
}

// A report is shorter than the pipe's buffer, so it can wait there until the child has ended.
Outcome finish_run(const Child& child, int status) {
  const std::string message = read_all(child.report);
  close(child.report);
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    return {false, signal == SIGALRM ? std::string("hung")
                                     : std::string("killed by ") + strsignal(signal)};
  }
  const int code = WEXITSTATUS(status);
  if (code == kReachedExit) return {true, std::nullopt};
  if (code == kNotReachedExit) return {false, std::nullopt};
  if (code == kFailedExit) return {false, message};
  return {false,
          "exited with status " + std::to_string(code) + (message.empty() ? "" : ": ") + message};
}

// Runs at once: the sweeps of one program share the machine with the other test programs.
std::size_t parallel_runs() {
  return std::max(1U, std::thread::hardware_concurrency() / 2);
}

}  // namespace

void fail_allocation(std::size_t index) noexcept {
  injector = {true, false, index};
}

void allow_leaks() noexcept {
  leaks_allowed = true;
}

bool disarm() noexcept {
  injector.armed = false;
  return injector.reached;
}

void fail(std::string_view message) {
  std::fflush(nullptr);
  const int fd = report_fd >= 0 ? report_fd : STDERR_FILENO;
  const ssize_t written = write(fd, message.data(), message.size());
  static_cast<void>(written);
  _exit(kFailedExit);
}

bool FaultRun::faulted_call(const std::function<void()>& call) {
  require(!used_, "a run makes one faulted call");
  used_ = true;
  bool returned = false;
  fail_allocation(index_);
  try {
    call();
    returned = true;
  } catch (...) {
    returned = false;
  }
  reached_ = disarm();
  // A call that failed without reaching the fault would fail the same way with no fault at all.
  require(returned || reached_, "the call threw with no allocation failing");
  return returned;
}

namespace {

// What a sweep saw: how many allocations the operation made and which runs failed, with why.
struct Report {
  std::size_t allocation_points = 0;
  std::vector<std::string> failures;
};

Report sweep(const std::function<void(FaultRun&)>& scenario) {
  // VOSTREL_FAULT_RUN=N plays run N alone, in this process, for a debugger.
  if (const char* only = std::getenv("VOSTREL_FAULT_RUN")) {
    run_child(scenario, std::strtoull(only, nullptr, 10));
  }
  Report report;
  // A scenario that fails with no allocation failing would fail every run alike.
  const Child unfaulted = start_run(scenario, std::numeric_limits<std::size_t>::max());
  int unfaulted_status = 0;
  if (unfaulted.pid < 0 || waitpid(unfaulted.pid, &unfaulted_status, 0) != unfaulted.pid) {
    report.failures.push_back("could not start a run");
    return report;
  }
  if (const Outcome outcome = finish_run(unfaulted, unfaulted_status); outcome.failure) {
    report.failures.push_back("with no allocation failing: " + *outcome.failure);
    return report;
  }
  std::map<std::size_t, Outcome> outcomes;
  std::vector<Child> running;
  std::size_t next = 0;
  // The first run whose call ends before the armed allocation: the count of allocation points.
  std::optional<std::size_t> end;
  while (true) {
    while (!end && next < kMaxPoints && running.size() < parallel_runs()) {
      const Child child = start_run(scenario, next);
      if (child.pid < 0) {
        report.failures.push_back("could not start a run");
        return report;
      }
      running.push_back(child);
      ++next;
    }
    if (running.empty()) break;
    int status = 0;
    const pid_t pid = wait(&status);
    const auto child =
        std::find_if(running.begin(), running.end(), [&](const Child& c) { return c.pid == pid; });
    if (child == running.end()) continue;
    const Outcome outcome = finish_run(*child, status);
    if (!outcome.failure && !outcome.reached && (!end || child->index < *end)) end = child->index;
    outcomes.emplace(child->index, outcome);
    running.erase(child);
  }
  report.allocation_points = end.value_or(kMaxPoints);
  for (const auto& [index, outcome] : outcomes) {
    if (index >= report.allocation_points || !outcome.failure) continue;
    report.failures.push_back("allocation " + std::to_string(index) + ": " + *outcome.failure);
  }
  if (!end)
    report.failures.push_back("more than " + std::to_string(kMaxPoints) + " allocation points");
  return report;
}

// The sweep of `what`, unless VOSTREL_FAULT_SWEEP names another, so that VOSTREL_FAULT_RUN reaches
// the one named.
std::optional<Report> reported_sweep(std::string_view what,
                                     const std::function<void(FaultRun&)>& scenario) {
  if (const char* only = std::getenv("VOSTREL_FAULT_SWEEP"); only != nullptr && what != only) {
    return std::nullopt;
  }
  Report report = sweep(scenario);
  std::printf("[ sweep    ] %.*s: %zu allocation points\n", static_cast<int>(what.size()),
              what.data(), report.allocation_points);
  testing::Test::RecordProperty(std::string(what), std::to_string(report.allocation_points));
  EXPECT_TRUE(report.failures.empty()) << what << ": " << report.failures.size() << " failed runs";
  for (std::size_t i = 0; i < report.failures.size() && i < kMaxReported; ++i) {
    ADD_FAILURE() << what << ", " << report.failures[i];
  }
  return report;
}
}  // namespace

void expect_clean(std::string_view what, const std::function<void(FaultRun&)>& scenario) {
  if (const auto report = reported_sweep(what, scenario)) {
    EXPECT_GT(report->allocation_points, 0U) << what << ": the call allocates nothing";
  }
}

void sweep_all(std::initializer_list<Scenario> scenarios) {
  for (const Scenario& scenario : scenarios) expect_clean(scenario.what, scenario.play);
}

void expect_allocation_free(std::initializer_list<Scenario> scenarios) {
  for (const Scenario& scenario : scenarios) {
    if (const auto report = reported_sweep(scenario.what, scenario.play)) {
      EXPECT_EQ(report->allocation_points, 0U) << scenario.what << " allocates";
    }
  }
}

}  // namespace vostrel::fault

// operator new fails where the sweep says; everything else goes to malloc.
namespace {
void* allocate_or_throw(std::size_t size) {
  if (vostrel::fault::allocation_fails()) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* allocate_aligned_or_throw(std::size_t size, std::align_val_t alignment) {
  if (vostrel::fault::allocation_fails()) throw std::bad_alloc();
  void* block = nullptr;
  const auto align = std::max(static_cast<std::size_t>(alignment), sizeof(void*));
  if (posix_memalign(&block, align, size == 0 ? 1 : size) == 0) return block;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) {
  return allocate_or_throw(size);
}
void* operator new[](std::size_t size) {
  return allocate_or_throw(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate_aligned_or_throw(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_aligned_or_throw(size, alignment);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate_or_throw(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate_or_throw(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}

int main(int argc, char** argv) {
  using namespace vostrel::fault;
  if (!vostrel::crypto::replace_library_allocator(library_allocate, library_reallocate,
                                                  library_release)) {
    std::fputs("OpenSSL allocated before its allocator could be replaced\n", stderr);
    return 1;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
