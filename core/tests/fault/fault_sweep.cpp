#include "fault_sweep.hpp"

#include <execinfo.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <thread>

#include "vostrel/internal/crypto_heap.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <link.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace vostrel::fault {
namespace {

// The injector of the one thread a run has: off, failing the allocation `remaining` ahead, or (in
// a sweep's driver) forking a run at each allocation that fails it.
enum class Mode { Off, FailAt, ForkEach };
struct Injector {
  Mode mode = Mode::Off;
  bool reached = false;
  std::size_t remaining = 0;
  std::size_t counted = 0;
  bool overflowed = false;
};
Injector injector;

// What this process is: a test program, a sweep's driver, or one of the driver's runs.
enum class Role { Program, Driver, Run };
Role role = Role::Program;
// A run writes why it failed here, for the driver; a driver writes its records, for the program.
int report_fd = -1;

// OpenSSL's allocations so far: none means it has not started, and its error queue is empty.
std::size_t library_allocations = 0;

constexpr int kReachedExit = 0;
constexpr int kNotReachedExit = 10;
constexpr int kFailedExit = 11;
// A run that takes longer hangs.
constexpr unsigned kRunSeconds = 60;
// Beyond this an operation is not swept through: the sweep would take minutes.
constexpr std::size_t kMaxPoints = 20'000;
constexpr std::size_t kMaxReported = 10;
constexpr std::size_t kMaxMessage = 2000;
// The index of a run in which no allocation fails.
constexpr std::size_t kNoFault = FaultRun::kEveryAllocation - 1;
// How often a long sweep says how far it has come.
constexpr auto kProgressEvery = std::chrono::seconds(5);

// --- Blocks excused from the leak check ---

// OpenSSL 3.0 leaks some of what its makings of a library context or of an algorithm allocated
// when an allocation fails inside one of them, whether that making then fails or gets over it,
// and even in an earlier making on the same context. In a run whose failing allocation fell inside
// such a making, the blocks allocated inside any making are excused, except the contexts and
// algorithms handed to the library: those it must free, and a leak of one is still seen. In every
// other run every block must be freed.

// The blocks allocated inside makings and not yet freed, in an open-addressed table that needs no
// allocation of its own. It holds each address complemented: the leak check takes the table for
// a root, and would count every block it names as reachable.
constexpr std::size_t kMadeSlots = std::size_t{1} << 16;
constexpr std::size_t kMaxMade = kMadeSlots / 2;
using HiddenAddress = std::uintptr_t;
constexpr HiddenAddress kEmptySlot = 0;
// Marks a slot whose block was freed, so that a search goes on past it; no block's address hides
// as either mark.
constexpr HiddenAddress kFreedSlot = 1;
HiddenAddress made_blocks[kMadeSlots];
std::size_t made_count = 0;
bool made_overflowed = false;
// What the makings handed out, hidden alike.
constexpr std::size_t kMaxHandedOut = 64;
HiddenAddress handed_out[kMaxHandedOut];
std::size_t handed_out_count = 0;
unsigned making_depth = 0;
bool failed_in_making = false;

HiddenAddress hidden(const void* block) noexcept {
  return ~reinterpret_cast<std::uintptr_t>(block);
}

std::size_t slot_of(const void* block) noexcept {
  return (reinterpret_cast<std::uintptr_t>(block) >> 4) * 0x9E3779B97F4A7C15ULL >> 48;
}

void remember_made(void* block) noexcept {
  if (made_count == kMaxMade) {
    made_overflowed = true;
    return;
  }
  std::size_t slot = slot_of(block);
  while (made_blocks[slot] != kEmptySlot && made_blocks[slot] != kFreedSlot) {
    slot = (slot + 1) % kMadeSlots;
  }
  made_blocks[slot] = hidden(block);
  ++made_count;
}

// True when the block was one allocated inside a making; it is forgotten.
bool forget_made(const void* block) noexcept {
  if (made_count == 0) return false;
  for (std::size_t slot = slot_of(block); made_blocks[slot] != kEmptySlot;
       slot = (slot + 1) % kMadeSlots) {
    if (made_blocks[slot] == hidden(block)) {
      made_blocks[slot] = kFreedSlot;
      --made_count;
      return true;
    }
  }
  return false;
}

void note_making(bool starting, const void* made) {
  if (starting) {
    ++making_depth;
    return;
  }
  --making_depth;
  if (made == nullptr) return;
  if (handed_out_count == kMaxHandedOut) {
    made_overflowed = true;
    return;
  }
  handed_out[handed_out_count++] = hidden(made);
}

void note_allocated(void* block) noexcept {
  if (block == nullptr) return;
  ++library_allocations;
  if (making_depth > 0) remember_made(block);
}

void note_released(void* block) noexcept {
  if (block != nullptr) static_cast<void>(forget_made(block));
}

#if defined(__SANITIZE_ADDRESS__)
bool was_handed_out(HiddenAddress address) noexcept {
  return std::find(handed_out, handed_out + handed_out_count, address) !=
         handed_out + handed_out_count;
}

bool leaks_found() {
  if (failed_in_making) {
    for (const HiddenAddress address : made_blocks) {
      if (address != kEmptySlot && address != kFreedSlot && !was_handed_out(address)) {
        __lsan_ignore_object(reinterpret_cast<const void*>(~address));
      }
    }
  }
  return __lsan_do_recoverable_leak_check() != 0;
}

// The leak check takes every module's writable segments for roots, and the sanitizers' runtimes
// hold some 12 MB of tables that name no block of the program's heap: scanning those was most of
// each run's check. The roots are the other modules' segments, named once before any run; a module
// loaded later would have its blocks reported, never missed.
int register_roots_of(dl_phdr_info* module, std::size_t, void*) {
  const std::string_view name = module->dlpi_name;
  if (name.find("libasan.so") != std::string_view::npos ||
      name.find("libubsan.so") != std::string_view::npos) {
    return 0;
  }
  for (ElfW(Half) i = 0; i < module->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = module->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) == 0) continue;
    __lsan_register_root_region(reinterpret_cast<const void*>(module->dlpi_addr + segment.p_vaddr),
                                segment.p_memsz);
  }
  return 0;
}
void register_leak_roots() {
  dl_iterate_phdr(register_roots_of, nullptr);
}
#else
bool leaks_found() {
  return false;
}
void register_leak_roots() {}
#endif

// --- Allocation ---

void trace_failing_allocation() noexcept {
  // VOSTREL_FAULT_TRACE shows where the failing allocation was asked for.
  if (std::getenv("VOSTREL_FAULT_TRACE") != nullptr) {
    void* frames[32];
    backtrace_symbols_fd(frames, backtrace(frames, 32), STDERR_FILENO);
  }
}

bool fork_failing_run() noexcept;

bool allocation_chosen() noexcept;

// True for the one allocation that is to fail.
bool allocation_fails() noexcept {
  if (!allocation_chosen()) return false;
  if (making_depth > 0) failed_in_making = true;
  return true;
}

bool allocation_chosen() noexcept {
  switch (injector.mode) {
    case Mode::Off:
      return false;
    case Mode::FailAt:
      if (injector.remaining-- != 0) return false;
      injector.mode = Mode::Off;
      injector.reached = true;
      trace_failing_allocation();
      return true;
    case Mode::ForkEach:
      return fork_failing_run();
  }
  return false;
}

void* library_allocate(std::size_t size, const char*, int) {
  if (allocation_fails()) return nullptr;
  void* block = std::malloc(size);
  note_allocated(block);
  return block;
}
void* library_reallocate(void* block, std::size_t size, const char*, int) {
  // A realloc to 0 frees, and cannot fail.
  if (size != 0 && allocation_fails()) return nullptr;
  const bool made = block != nullptr && forget_made(block);
  void* moved = std::realloc(block, size);
  if (size == 0) return moved;
  if (block == nullptr) {
    note_allocated(moved);
  } else if (made && moved != nullptr) {
    remember_made(moved);
  } else if (made) {
    remember_made(block);
  }
  return moved;
}
void library_release(void* block, const char*, int) {
  note_released(block);
  std::free(block);
}

// --- A sweep's driver and its runs ---

// What the driver tells the program, one record at a time.
enum class Record : std::uint32_t { RunPassed, RunFailed, DriverFailed, Done, Overflowed };
struct RecordHeader {
  Record kind;
  std::uint32_t length;
  std::uint64_t index;
};

void write_fully(int fd, const void* data, std::size_t size) noexcept {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) _exit(kFailedExit);
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

void send_record(Record kind, std::uint64_t index, std::string_view message = {}) noexcept {
  const std::size_t length = std::min(message.size(), kMaxMessage);
  const RecordHeader header{kind, static_cast<std::uint32_t>(length), index};
  write_fully(report_fd, &header, sizeof header);
  write_fully(report_fd, message.data(), length);
}

// The driver's runs that have not ended yet, in a table that needs no allocation: the driver
// starts them from inside an allocation.
struct Child {
  pid_t pid = -1;
  int report = -1;
  std::size_t index = 0;
};
constexpr std::size_t kMaxRunning = 64;
Child running[kMaxRunning];
std::size_t running_count = 0;

// Runs at once (VOSTREL_FAULT_JOBS for another number): half the machine's threads, as runs are
// short processes whose page faults and forks fill a core's other thread too, and the sweeps of one
// program share the machine with the other test programs.
std::size_t parallel_runs() {
  static const std::size_t runs = [] {
    const char* jobs = std::getenv("VOSTREL_FAULT_JOBS");
    const std::size_t wanted = jobs != nullptr ? std::strtoull(jobs, nullptr, 10)
                                               : std::thread::hardware_concurrency() / 2;
    return std::clamp<std::size_t>(wanted, 1, kMaxRunning);
  }();
  return runs;
}

// A report is shorter than the pipe's buffer, so it can wait there until the run has ended.
std::size_t read_report(int fd, char* buffer, std::size_t capacity) noexcept {
  std::size_t length = 0;
  while (length < capacity) {
    const ssize_t got = read(fd, buffer + length, capacity - length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    length += static_cast<std::size_t>(got);
  }
  return length;
}

// How a run ended, and why when it failed.
struct RunEnd {
  std::size_t index = 0;
  int code = kFailedExit;
  std::string_view why;
};

// Waits for one of the driver's runs to end. `why` lives until the next call.
RunEnd reap_run() noexcept {
  static char message[kMaxMessage];
  while (true) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0 && errno == EINTR) continue;
    if (pid < 0) _exit(kFailedExit);
    std::size_t at = 0;
    while (at < running_count && running[at].pid != pid) ++at;
    if (at == running_count) continue;
    const Child child = running[at];
    running[at] = running[--running_count];
    alarm(kRunSeconds);
    const std::size_t length = read_report(child.report, message, sizeof message);
    close(child.report);
    if (WIFSIGNALED(status)) {
      const int signal = WTERMSIG(status);
      return {child.index, kFailedExit, signal == SIGALRM ? "hung" : strsignal(signal)};
    }
    const int code = WEXITSTATUS(status);
    if (code == kReachedExit || code == kNotReachedExit) return {child.index, code, {}};
    if (code == kFailedExit) return {child.index, code, std::string_view(message, length)};
    return {child.index, kFailedExit, "exited otherwise than a run does"};
  }
}

// Passes a run's outcome on to the program.
void report_run(const RunEnd& end) noexcept {
  if (end.code == kReachedExit) {
    send_record(Record::RunPassed, end.index);
  } else {
    send_record(Record::RunFailed, end.index,
                end.code == kNotReachedExit ? std::string_view("the run did not reach its fault")
                                            : end.why);
  }
}

// Makes the process one of the driver's runs, reporting on `report`.
void become_run(int report) noexcept {
  close(report_fd);
  for (std::size_t i = 0; i < running_count; ++i) close(running[i].report);
  running_count = 0;
  role = Role::Run;
  report_fd = report;
  alarm(kRunSeconds);
}

// Forks one of the driver's runs: true in the run.
bool start_run(std::size_t index) noexcept {
  while (running_count >= parallel_runs()) report_run(reap_run());
  int fds[2];
  if (pipe(fds) != 0) _exit(kFailedExit);
  const pid_t pid = fork();
  if (pid < 0) _exit(kFailedExit);
  if (pid == 0) {
    close(fds[0]);
    become_run(fds[1]);
    return true;
  }
  close(fds[1]);
  running[running_count++] = {pid, fds[0], index};
  return false;
}

// In the driver, at allocation `counted` of the faulted call: a run forked here fails it, while the
// driver goes on as if it had succeeded. True in the run.
bool fork_failing_run() noexcept {
  const std::size_t index = injector.counted++;
  if (index >= kMaxPoints) {
    injector.overflowed = true;
    injector.mode = Mode::Off;
    return false;
  }
  if (!start_run(index)) return false;
  injector.mode = Mode::Off;
  injector.reached = true;
  trace_failing_allocation();
  return true;
}

// Where the scenario ends, in the driver and in each of its runs.
[[noreturn]] void finish(const FaultRun& run) {
  // A stop must not leak either; _exit skips the sanitizer's own check at exit.
  require(!made_overflowed, "too many blocks to excuse from the leak check");
  if (role == Role::Driver) {
    while (running_count > 0) report_run(reap_run());
    require(!leaks_found(), "memory leaked");
    send_record(injector.overflowed ? Record::Overflowed : Record::Done, injector.counted);
    _exit(kReachedExit);
  }
  require(!leaks_found(), "memory leaked");
  std::fflush(nullptr);
  _exit(run.reached() ? kReachedExit : kNotReachedExit);
}

[[noreturn]] void play(const std::function<void(FaultRun&)>& scenario, std::size_t index) {
  alarm(kRunSeconds);
  FaultRun run(index);
  try {
    scenario(run);
  } catch (const std::exception& stop) {
    fail(std::string("stopped outside the faulted call: ") + stop.what());
  } catch (...) {
    fail("stopped outside the faulted call");
  }
  finish(run);
}

// The driver of a sweep from the start: each run is forked before the scenario has done anything
// and plays it from its start, failing its allocation. The runs end at the first that no longer
// reaches its allocation.
[[noreturn]] void launch_fresh_runs(const std::function<void(FaultRun&)>& scenario) {
  alarm(kRunSeconds);
  if (start_run(kNoFault)) play(scenario, kNoFault);
  if (const RunEnd unfaulted = reap_run(); unfaulted.code != kNotReachedExit) {
    send_record(
        Record::DriverFailed, 0,
        unfaulted.code == kReachedExit ? std::string_view("a fault was reached") : unfaulted.why);
    _exit(kFailedExit);
  }
  std::optional<std::size_t> end;
  std::size_t next = 0;
  while (true) {
    while (!end && next < kMaxPoints && running_count < parallel_runs()) {
      if (start_run(next)) play(scenario, next);
      ++next;
    }
    if (running_count == 0) break;
    const RunEnd ended = reap_run();
    if (ended.code == kNotReachedExit) {
      if (!end || ended.index < *end) end = ended.index;
    } else {
      report_run(ended);
    }
  }
  send_record(end ? Record::Done : Record::Overflowed, end.value_or(kMaxPoints));
  _exit(kReachedExit);
}

}  // namespace

void fail_allocation(std::size_t index) noexcept {
  injector = {Mode::FailAt, false, index, 0, false};
}

bool disarm() noexcept {
  injector.mode = Mode::Off;
  return injector.reached;
}

void fail(std::string_view message) {
  if (role == Role::Driver) {
    send_record(Record::DriverFailed, 0, message);
    _exit(kFailedExit);
  }
  std::fflush(nullptr);
  const int fd = report_fd >= 0 ? report_fd : STDERR_FILENO;
  const ssize_t written = write(fd, message.data(), message.size());
  static_cast<void>(written);
  _exit(kFailedExit);
}

bool FaultRun::faulted_call(const std::function<void()>& call) {
  require(!used_, "a run makes one faulted call");
  used_ = true;
  // An application that has used OpenSSL may have errors queued; one that has not has none.
  const bool library_started = library_allocations > 0;
  if (library_started) crypto::queue_application_error();
  bool returned = false;
  if (index_ == kEveryAllocation) {
    injector = {Mode::ForkEach, false, 0, 0, false};
  } else {
    fail_allocation(index_);
  }
  try {
    call();
    returned = true;
  } catch (...) {
    returned = false;
  }
  reached_ = disarm();
  // A call that failed without reaching the fault would fail the same way with no fault at all.
  require(returned || reached_, "the call threw with no allocation failing");
  if (library_started) {
    if (const char* broken = crypto::application_errors_broken()) {
      fail(std::string(returned ? "after the call: " : "after a stop: ") + broken);
    }
  } else {
    require(crypto::error_queue_empty(), returned
                                             ? "the call left errors or a mark in OpenSSL's queue"
                                             : "a stop left errors or a mark in OpenSSL's queue");
  }
  return returned;
}

namespace {

// What a sweep saw: how many allocations the operation made and which runs failed, with why.
struct Report {
  std::size_t allocation_points = 0;
  std::vector<std::string> failures;
};

bool read_fully(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = read(fd, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

std::string ended_how(int status) {
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    return signal == SIGALRM ? "hung" : std::string("killed by ") + strsignal(signal);
  }
  return "exited with status " + std::to_string(WEXITSTATUS(status));
}

// Forks the sweep's driver, which plays the scenario without a fault and forks a run at each
// allocation of its call, and gathers what it reports.
Report sweep(std::string_view what, const std::function<void(FaultRun&)>& scenario, bool fresh) {
  // VOSTREL_FAULT_RUN=N plays run N alone, in this process, for a debugger.
  if (const char* only = std::getenv("VOSTREL_FAULT_RUN")) {
    play(scenario, std::strtoull(only, nullptr, 10));
  }
  Report report;
  int fds[2];
  if (pipe(fds) != 0) {
    report.failures.push_back("could not start the sweep");
    return report;
  }
  std::fflush(nullptr);
  const pid_t driver = fork();
  if (driver == 0) {
    close(fds[0]);
    role = Role::Driver;
    report_fd = fds[1];
    if (fresh) launch_fresh_runs(scenario);
    play(scenario, FaultRun::kEveryAllocation);
  }
  close(fds[1]);
  if (driver < 0) {
    close(fds[0]);
    report.failures.push_back("could not start the sweep");
    return report;
  }

  std::map<std::size_t, std::string> failed;
  std::optional<std::string> driver_failure;
  std::optional<std::size_t> points;
  bool overflowed = false;
  std::size_t ended = 0;
  auto last_progress = std::chrono::steady_clock::now();
  for (RecordHeader header{}; read_fully(fds[0], &header, sizeof header);) {
    std::string message(header.length, '\0');
    if (!read_fully(fds[0], message.data(), message.size())) break;
    switch (header.kind) {
      case Record::RunFailed:
        failed.emplace(header.index, std::move(message));
        [[fallthrough]];
      case Record::RunPassed:
        ++ended;
        break;
      case Record::DriverFailed:
        driver_failure = std::move(message);
        break;
      case Record::Overflowed:
        overflowed = true;
        [[fallthrough]];
      case Record::Done:
        points = header.index;
        break;
    }
    if (const auto now = std::chrono::steady_clock::now(); now - last_progress >= kProgressEvery) {
      last_progress = now;
      std::printf("[ sweep    ] %.*s: %zu runs so far\n", static_cast<int>(what.size()),
                  what.data(), ended);
      std::fflush(stdout);
    }
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(driver, &status, 0) < 0 && errno == EINTR) {
  }

  if (driver_failure) {
    report.failures.push_back("with no allocation failing: " + *driver_failure);
  } else if (!points) {
    report.failures.push_back("with no allocation failing: " + ended_how(status));
  }
  report.allocation_points = points.value_or(0);
  if (overflowed) {
    report.failures.push_back("more than " + std::to_string(kMaxPoints) + " allocation points");
  }
  for (const auto& [index, message] : failed) {
    if (index >= report.allocation_points) continue;
    report.failures.push_back("allocation " + std::to_string(index) + ": " + message);
  }
  return report;
}

// The sweep of `what`, unless VOSTREL_FAULT_SWEEP names another, so that VOSTREL_FAULT_RUN reaches
// the one named.
std::optional<Report> reported_sweep(std::string_view what,
                                     const std::function<void(FaultRun&)>& scenario,
                                     bool fresh = false) {
  if (const char* only = std::getenv("VOSTREL_FAULT_SWEEP"); only != nullptr && what != only) {
    return std::nullopt;
  }
  Report report = sweep(what, scenario, fresh);
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

void sweep_all_from_the_start(std::initializer_list<Scenario> scenarios) {
  for (const Scenario& scenario : scenarios) {
    if (const auto report = reported_sweep(scenario.what, scenario.play, true)) {
      EXPECT_GT(report->allocation_points, 0U) << scenario.what << ": the call allocates nothing";
    }
  }
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

#if defined(__SANITIZE_ADDRESS__)
// The roots are named in main instead; a LSAN_OPTIONS that sets use_globals wins.
extern "C" const char* __lsan_default_options() {
  return "use_globals=0";
}
#endif

int main(int argc, char** argv) {
  using namespace vostrel::fault;
  register_leak_roots();
  if (!vostrel::crypto::replace_library_allocator(library_allocate, library_reallocate,
                                                  library_release)) {
    std::fputs("OpenSSL allocated before its allocator could be replaced\n", stderr);
    return 1;
  }
  vostrel::crypto::observe_makings(note_making);
  // Read once here: the driver asks again from inside allocations.
  static_cast<void>(parallel_runs());
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
