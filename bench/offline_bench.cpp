#include <benchmark/benchmark.h>

#include "floor.hpp"
#include "pairs.hpp"
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

// One step of the chain as the library takes it: two MACs under the chain key.
void BM_sendchain_step(benchmark::State& state) {
  Secret32 chain_key(kRoot);
  crypto::HmacKey key(chain_key.view());
  for (auto _ : state) {
    Secret32 message_key(key.mac({as_bytes(floor::kChainMessageLabel)}));
    chain_key = Secret32(key.mac({as_bytes(floor::kChainLabel)}));
    key.rekey(chain_key.view());
    benchmark::DoNotOptimize(message_key.bytes());
  }
}
void BM_sendchain_step_floor(benchmark::State& state) {
  // The chain key a seal leaves behind is the step's next chain key.
  sendchain::SendChain tx = sendchain::SendChain::from_stored(kRoot, 0);
  (void)tx.seal({});
  Secret32 library_step(crypto::hmac_sha256(kRoot, {as_bytes(floor::kChainLabel)}));
  if (!bench::agree(state, tx.chain_key().view(), floor::sendchain_step(kRoot).next_chain_key,
                    "next chain key") ||
      !bench::agree(state, tx.chain_key().view(), library_step.view(), "library's step")) {
    return;
  }
  Key32 chain_key = kRoot;
  for (auto _ : state) {
    const floor::ChainStep step = floor::sendchain_step(chain_key);
    chain_key = step.next_chain_key;
    benchmark::DoNotOptimize(step.message_key);
  }
}
BENCHMARK(BM_sendchain_step);
BENCHMARK(BM_sendchain_step_floor);

void BM_sendchain_seal_100(benchmark::State& state) {
  sendchain::SendChain tx(kRoot, Key32{});
  for (auto _ : state) benchmark::DoNotOptimize(tx.seal(kMessage));
}
void BM_sendchain_seal_100_floor(benchmark::State& state) {
  sendchain::SendChain tx(kRoot, Key32{});
  floor::SendChain floor_tx(tx.chain_key().bytes(), tx.next());
  floor::Aead aead;
  if (!bench::agree(state, tx.seal(kMessage), floor_tx.seal(aead, kMessage), "frame")) return;
  for (auto _ : state) benchmark::DoNotOptimize(floor_tx.seal(aead, kMessage));
}
BENCHMARK(BM_sendchain_seal_100);
BENCHMARK(BM_sendchain_seal_100_floor);

// A frame CHAIN_MAX_SKIP positions ahead of a fresh receiving chain.
struct FarFrame {
  FarFrame() {
    sendchain::SendChain tx(kRoot, Key32{});
    for (std::uint64_t i = 0; i < sendchain::CHAIN_MAX_SKIP; ++i) (void)tx.seal({});
    frame = tx.seal(kMessage);
  }
  const sendchain::RecvChain fresh{kRoot, Key32{}};
  Bytes frame;
};

void BM_recvchain_open_2000_ahead(benchmark::State& state) {
  const FarFrame far;
  for (auto _ : state) {
    sendchain::RecvChain rx = internal::clone(far.fresh);
    auto message = rx.open(far.frame);
    benchmark::DoNotOptimize(message);
  }
}
void BM_recvchain_open_2000_ahead_floor(benchmark::State& state) {
  const FarFrame far;
  floor::Aead aead;
  sendchain::RecvChain rx = internal::clone(far.fresh);
  const auto message = rx.open(far.frame);
  floor::RecvChain floor_rx(far.fresh.chain_key().bytes(), far.fresh.next());
  const auto floor_message = floor_rx.open_ahead(aead, far.frame);
  Bytes kept;
  for (const auto& [counter, key] : rx.skipped()) put_bytes(kept, key.view());
  Bytes floor_kept;
  for (const auto& [counter, key] : floor_rx.skipped()) put_bytes(floor_kept, key);
  if (!bench::agree(state, message.value_or(Bytes{}), floor_message.value_or(Bytes{1}),
                    "message") ||
      !bench::agree(state, rx.chain_key().view(), floor_rx.chain_key(), "chain key") ||
      !bench::agree(state, kept, floor_kept, "kept keys")) {
    return;
  }
  for (auto _ : state) {
    floor::RecvChain fresh(far.fresh.chain_key().bytes(), far.fresh.next());
    auto opened = fresh.open_ahead(aead, far.frame);
    benchmark::DoNotOptimize(opened);
  }
}
BENCHMARK(BM_recvchain_open_2000_ahead);
BENCHMARK(BM_recvchain_open_2000_ahead_floor);

}  // namespace
