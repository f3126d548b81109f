#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string_view>
#include <tuple>

#include "floor.hpp"
#include "pairs.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"
#include "vostrel/pow.hpp"
#include "vostrel/relay.hpp"

using namespace vostrel;
using namespace vostrel::relay;

namespace {

ByteArray<81> relay_challenge(std::uint64_t request_id) {
  Key32 mailbox{};
  mailbox.fill(0xA5);
  return pow_challenge(RelayOp::Deposit, mailbox, 10000, request_id, as_bytes("payload"));
}

// Stamps per second of the search over the relay's 81-byte challenge.
void BM_SolveStamps(benchmark::State& state) {
  std::uint64_t request_id = 0;
  std::int64_t stamps = 0;
  for (auto _ : state) {
    const auto challenge = relay_challenge(++request_id);
    const auto nonce = pow::solve(challenge, 12);
    benchmark::DoNotOptimize(nonce);
    stamps += static_cast<std::int64_t>(*nonce) + 1;
  }
  state.SetItemsProcessed(stamps);
}
BENCHMARK(BM_SolveStamps);

// The same stamps, each hashed from the start: what the search costs without the shared prefix.
void BM_StampsHashedWhole(benchmark::State& state) {
  const auto challenge = relay_challenge(1);
  std::uint64_t nonce = 0;
  for (auto _ : state) {
    const auto nonce_bytes = be_bytes(nonce++);
    benchmark::DoNotOptimize(
        crypto::sha256({as_bytes(labels::kPowStamp), ByteView(challenge), ByteView(nonce_bytes)}));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StampsHashedWhole);

void BM_Verify(benchmark::State& state) {
  const auto challenge = relay_challenge(1);
  std::uint64_t nonce = 0;
  for (auto _ : state) benchmark::DoNotOptimize(pow::verify(challenge, 8, nonce++));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Verify);

void BM_Verify_floor(benchmark::State& state) {
  const auto challenge = relay_challenge(1);
  static constexpr std::string_view label = labels::kPowStamp;
  const auto stamp = [&](std::uint64_t nonce) {
    const auto nonce_bytes = be_bytes(nonce);
    return floor::sha256({as_bytes(label), ByteView(challenge), ByteView(nonce_bytes)});
  };
  if (!bench::agree(state, pow::stamp_hash(challenge, 7), stamp(7), "stamp")) return;
  std::uint64_t nonce = 0;
  for (auto _ : state) benchmark::DoNotOptimize(pow::leading_zero_bits(stamp(nonce++)) >= 8);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Verify_floor);

RelayRequest open_request(std::uint64_t timestamp, std::uint64_t request_id) {
  RelayRequest request;
  request.mailbox.fill(0xA5);
  request.timestamp = timestamp;
  request.request_id = request_id;
  return request;
}

const Bytes kPayload(100, 0x5D);
// Deposits are swept this often, outside the timing, so the one mailbox does not grow.
constexpr std::uint64_t kSweepEvery = 1024;

// Open mode and difficulty 0, so an admission costs its hashes and the replay cache. Requests
// arrive at `per_second` a second, stamped with the relay's now; once the cache holds `cached`
// digests, each second's admissions prune as many as they add, so its size stays put. Deposits
// take a 100-byte payload into one mailbox; nothing is retained past its second.
struct SteadyRelay {
  SteadyRelay(std::uint64_t max_skew, std::uint64_t cached, RelayOp operation)
      : relay(max_skew, 0, std::nullopt, 0),
        op(operation),
        per_second((cached + max_skew + 1) / (max_skew + 2)) {
    // The horizon keeps max_skew + 2 seconds of digests.
    while (now < max_skew + 2) {
      admit();
      if (next_id % kSweepEvery == 0) relay.sweep(now);
    }
  }
  bool admit() {
    const RelayRequest request = open_request(now, next_id++);
    const bool admitted = op == RelayOp::Deposit
                              ? try_deposit(relay, request, kPayload, now).has_value()
                              : relay.check_request(op, request, {}, now).has_value();
    if (next_id % per_second == 0) ++now;
    return admitted;
  }

  Relay relay;
  RelayOp op;
  std::uint64_t per_second;
  std::uint64_t now = 0;
  std::uint64_t next_id = 0;
};

SteadyRelay& steady_relay(std::uint64_t max_skew, std::uint64_t cached, RelayOp op) {
  static std::map<std::tuple<std::uint64_t, std::uint64_t, RelayOp>, std::unique_ptr<SteadyRelay>>
      relays;
  auto& slot = relays[{max_skew, cached, op}];
  if (!slot) slot = std::make_unique<SteadyRelay>(max_skew, cached, op);
  return *slot;
}

void run_admissions(benchmark::State& state, std::uint64_t max_skew, RelayOp op) {
  SteadyRelay& steady = steady_relay(max_skew, static_cast<std::uint64_t>(state.range(0)), op);
  for (auto _ : state) {
    benchmark::DoNotOptimize(steady.admit());
    if (op == RelayOp::Deposit && steady.next_id % kSweepEvery == 0) {
      state.PauseTiming();
      steady.relay.sweep(steady.now);
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["cached"] = static_cast<double>(steady.relay.seen().size());
}

// The floor of an admission: its three SHA-256 computations alone, with no replay cache. It does
// not depend on the cache's size; it runs at both sizes to stand beside each.
void run_admission_floor(benchmark::State& state, RelayOp op) {
  const ByteView payload = op == RelayOp::Deposit ? ByteView(kPayload) : ByteView();
  RelayRequest request = open_request(1000, 7);
  Key32 stamp{};
  if (!bench::agree(state, request_digest(op, request, payload),
                    floor::admission_hashes(op, request, payload, stamp), "replay digest") ||
      !bench::agree(state,
                    pow::stamp_hash(pow_challenge(op, request.mailbox, request.timestamp,
                                                  request.request_id, payload),
                                    request.pow_nonce),
                    stamp, "work stamp")) {
    return;
  }
  for (auto _ : state) {
    ++request.request_id;
    if (op == RelayOp::Deposit) {
      // try_deposit takes its payload by value, as the library's side of the pair pays for.
      Bytes taken(kPayload);
      benchmark::DoNotOptimize(floor::admission_hashes(op, request, taken, stamp));
      benchmark::DoNotOptimize(taken.data());
    } else {
      benchmark::DoNotOptimize(floor::admission_hashes(op, request, payload, stamp));
    }
    benchmark::DoNotOptimize(pow::leading_zero_bits(stamp));
  }
  state.SetItemsProcessed(state.iterations());
}

// Pull admissions with the given number of digests cached, for a 300-second window.
void BM_Admission(benchmark::State& state) {
  run_admissions(state, 300, RelayOp::Pull);
}
void BM_Admission_floor(benchmark::State& state) {
  run_admission_floor(state, RelayOp::Pull);
}
BENCHMARK(BM_Admission)->Arg(1'000)->Arg(1'000'000);
BENCHMARK(BM_Admission_floor)->Arg(1'000)->Arg(1'000'000);
const bool kAdmissionScale = bench::compare_scales("BM_Admission", "1000", "1000000");

// The same with a window as wide as the cache: every cached digest has a timestamp of its own.
void BM_AdmissionDistinctSeconds(benchmark::State& state) {
  run_admissions(state, static_cast<std::uint64_t>(state.range(0)), RelayOp::Pull);
}
BENCHMARK(BM_AdmissionDistinctSeconds)->Arg(1'000)->Arg(1'000'000);
const bool kDistinctScale = bench::compare_scales("BM_AdmissionDistinctSeconds", "1000", "1000000");

// The deposit path: admission, then the payload stored.
void BM_AdmissionDeposit(benchmark::State& state) {
  run_admissions(state, 300, RelayOp::Deposit);
}
void BM_AdmissionDeposit_floor(benchmark::State& state) {
  run_admission_floor(state, RelayOp::Deposit);
}
BENCHMARK(BM_AdmissionDeposit)->Arg(1'000)->Arg(1'000'000);
BENCHMARK(BM_AdmissionDeposit_floor)->Arg(1'000)->Arg(1'000'000);
const bool kDepositScale = bench::compare_scales("BM_AdmissionDeposit", "1000", "1000000");

constexpr std::uint64_t kStoredAt = 10'000;
constexpr std::uint64_t kRetention = 1'000;

MailboxId mailbox_number(std::uint64_t n) {
  MailboxId mailbox{};
  store_be(mailbox.data(), n);
  return mailbox;
}

// `count` mailboxes of one 32-byte entry each, stored at kStoredAt.
std::vector<ExportedDeposit> entries(std::uint64_t first, std::uint64_t count,
                                     std::uint64_t stored_at) {
  std::vector<ExportedDeposit> out;
  out.reserve(count);
  for (std::uint64_t i = first; i < first + count; ++i) {
    out.push_back({mailbox_number(i), Bytes(32, 0x3C), stored_at});
  }
  return out;
}

// One relay per benchmark and size: the sweep's imports and erasures must not reshape the map the
// export walks.
Relay& relay_with_mailboxes(std::string_view user, std::uint64_t count) {
  static std::map<std::pair<std::string_view, std::uint64_t>, std::unique_ptr<Relay>> relays;
  auto& slot = relays[{user, count}];
  if (!slot) {
    slot = std::make_unique<Relay>(300, kRetention, std::nullopt, 0);
    slot->import(entries(0, count, kStoredAt));
  }
  return *slot;
}

// Export of every mailbox, per mailbox.
void BM_ExportPerMailbox(benchmark::State& state) {
  const auto count = static_cast<std::uint64_t>(state.range(0));
  const Relay& relay = relay_with_mailboxes("export", count);
  for (auto _ : state) {
    auto exported = relay.export_entries();
    benchmark::DoNotOptimize(exported.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ExportPerMailbox)->Arg(1'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
const bool kExportScale = bench::compare_scales("BM_ExportPerMailbox", "1000", "1000000");

// A sweep among the given number of live mailboxes, with 100 more whose one entry has expired.
// The ideal costs what expires, whatever the number of mailboxes that stay.
void BM_Sweep(benchmark::State& state) {
  constexpr std::uint64_t kExpiring = 100;
  const auto count = static_cast<std::uint64_t>(state.range(0));
  Relay& relay = relay_with_mailboxes("sweep", count);
  for (auto _ : state) {
    state.PauseTiming();
    relay.import(entries(std::uint64_t{1} << 63, kExpiring, 0));
    state.ResumeTiming();
    relay.sweep(kStoredAt);
  }
  if (relay.deposits().size() != count) state.SkipWithError("the sweep kept the wrong mailboxes");
}
BENCHMARK(BM_Sweep)->Arg(1'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
const bool kSweepScale = bench::compare_scales("BM_Sweep", "1000", "1000000");

}  // namespace
