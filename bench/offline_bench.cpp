#include <benchmark/benchmark.h>

#include "vostrel/identity.hpp"
#include "vostrel/internal/state_copy.hpp"
#include "vostrel/offline.hpp"
#include "vostrel/outbox.hpp"
#include "vostrel/sendchain.hpp"

namespace {

using namespace vostrel;

const Key32 kRoot = [] {
  Key32 root{};
  root.fill(0x77);
  return root;
}();

const Bytes kMessage(100, 0x41);

void BM_offline_seal_and_ingest_plain(benchmark::State& state) {
  const auto sender = identity::Identity::generate();
  offline::OfflineSender tx(kRoot, sender.public_key());
  offline::OfflineReceiver rx(kRoot, sender.public_key());
  for (auto _ : state) {
    auto envelope = tx.seal(kMessage);
    auto message = offline::ingest(rx, *envelope);
    benchmark::DoNotOptimize(message);
  }
}
BENCHMARK(BM_offline_seal_and_ingest_plain);

// The prekey is published outside the timing; sealing draws the mix, ingest applies it.
void BM_offline_seal_and_ingest_mixed(benchmark::State& state) {
  const auto sender = identity::Identity::generate();
  const auto owner = identity::Identity::generate();
  offline::OfflineSender tx(kRoot, sender.public_key());
  offline::OfflineReceiver rx(kRoot, sender.public_key());
  for (auto _ : state) {
    state.PauseTiming();
    const auto bundle = rx.publish_prekeys(owner, 1, 1'700'000'000).at(0);
    state.ResumeTiming();
    auto envelope = tx.seal(kMessage, &bundle);
    auto message = offline::ingest(rx, *envelope);
    benchmark::DoNotOptimize(message);
  }
}
BENCHMARK(BM_offline_seal_and_ingest_mixed);

// 256 pending 100-byte envelopes and 100 stored prekeys.
outbox::OfflineChannel loaded_channel(const identity::Identity& own,
                                      const identity::Identity& peer) {
  outbox::OfflineChannel channel(kRoot, own.public_key(), peer.public_key());
  for (std::size_t i = 0; i < outbox::MAX_PENDING; ++i) {
    if (!outbox::queue(channel, kMessage)) throw Panic("queue refused");
  }
  (void)channel.rx().publish_prekeys(own, 100, 1'700'000'000);
  return channel;
}

void BM_outbox_snapshot(benchmark::State& state) {
  const auto own = identity::Identity::generate();
  const auto peer = identity::Identity::generate();
  const auto channel = loaded_channel(own, peer);
  for (auto _ : state) {
    auto snapshot = channel.snapshot();
    benchmark::DoNotOptimize(snapshot.data());
  }
  state.SetLabel(std::to_string(channel.snapshot().size()) + " bytes");
}
BENCHMARK(BM_outbox_snapshot);

void BM_outbox_restore(benchmark::State& state) {
  const auto own = identity::Identity::generate();
  const auto peer = identity::Identity::generate();
  const SecretBytes snapshot = loaded_channel(own, peer).snapshot();
  for (auto _ : state) {
    auto channel = outbox::OfflineChannel::restore(kRoot, own.public_key(), peer.public_key(),
                                                   1'700'000'000, snapshot.view());
    benchmark::DoNotOptimize(channel);
  }
}
BENCHMARK(BM_outbox_restore);

void BM_recvchain_open_2000_ahead(benchmark::State& state) {
  const Key32 sender{};
  sendchain::SendChain tx(kRoot, sender);
  for (std::uint64_t i = 0; i < sendchain::CHAIN_MAX_SKIP; ++i) (void)tx.seal({});
  const Bytes frame = tx.seal(kMessage);
  const sendchain::RecvChain fresh(kRoot, sender);
  for (auto _ : state) {
    sendchain::RecvChain rx = internal::clone(fresh);
    auto message = rx.open(frame);
    benchmark::DoNotOptimize(message);
  }
}
BENCHMARK(BM_recvchain_open_2000_ahead);

}  // namespace
