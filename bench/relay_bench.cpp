#include <benchmark/benchmark.h>

#include <map>
#include <memory>

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

RelayRequest open_request(std::uint64_t timestamp, std::uint64_t request_id) {
  RelayRequest request;
  request.mailbox.fill(0xA5);
  request.timestamp = timestamp;
  request.request_id = request_id;
  return request;
}

// Open mode and difficulty 0, so an admission costs its hashes and the replay cache. Requests
// arrive at `per_second` a second, stamped with the relay's now; once the cache holds `cached`
// digests, each second's admissions prune as many as they add, so its size stays put.
struct SteadyRelay {
  SteadyRelay(std::uint64_t max_skew, std::uint64_t cached)
      : relay(max_skew, 1000, std::nullopt, 0),
        per_second((cached + max_skew + 1) / (max_skew + 2)) {
    // The horizon keeps max_skew + 2 seconds of digests.
    while (now < max_skew + 2) admit();
  }
  bool admit() {
    const bool admitted =
        relay.check_request(RelayOp::Pull, open_request(now, next_id++), {}, now).has_value();
    if (next_id % per_second == 0) ++now;
    return admitted;
  }

  Relay relay;
  std::uint64_t per_second;
  std::uint64_t now = 0;
  std::uint64_t next_id = 0;
};

SteadyRelay& steady_relay(std::uint64_t max_skew, std::uint64_t cached) {
  static std::map<std::pair<std::uint64_t, std::uint64_t>, std::unique_ptr<SteadyRelay>> relays;
  auto& slot = relays[{max_skew, cached}];
  if (!slot) slot = std::make_unique<SteadyRelay>(max_skew, cached);
  return *slot;
}

void run_admissions(benchmark::State& state, std::uint64_t max_skew) {
  SteadyRelay& steady = steady_relay(max_skew, static_cast<std::uint64_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(steady.admit());
  state.SetItemsProcessed(state.iterations());
  state.counters["cached"] = static_cast<double>(steady.relay.seen().size());
}

// Admissions per second with the given number of digests cached, for a 300-second window.
void BM_Admission(benchmark::State& state) {
  run_admissions(state, 300);
}
BENCHMARK(BM_Admission)->Arg(1'000)->Arg(1'000'000);

// The same with a window as wide as the cache: every cached digest has a timestamp of its own.
void BM_AdmissionDistinctSeconds(benchmark::State& state) {
  run_admissions(state, static_cast<std::uint64_t>(state.range(0)));
}
BENCHMARK(BM_AdmissionDistinctSeconds)->Arg(1'000)->Arg(1'000'000);

}  // namespace
