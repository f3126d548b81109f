#include <benchmark/benchmark.h>

#include "floor.hpp"
#include "pairs.hpp"
#include "vostrel/handshake.hpp"
#include "vostrel/internal/state_copy.hpp"
#include "vostrel/ratchet.hpp"

using namespace vostrel;

namespace {

void BM_PlainHandshake(benchmark::State& state) {
  for (auto _ : state) {
    auto [responder, hello] = handshake::responder_start();
    auto [reply, initiator_key] = handshake::initiator_reply(hello);
    const Secret32 responder_key = handshake::responder_finish(std::move(responder), reply);
    benchmark::DoNotOptimize(responder_key.bytes());
  }
}
BENCHMARK(BM_PlainHandshake)->Unit(benchmark::kMicrosecond);

void BM_AuthenticatedHandshake(benchmark::State& state) {
  const identity::Identity initiator = identity::Identity::generate();
  const identity::Identity responder = identity::Identity::generate();
  for (auto _ : state) {
    auto [responder_state, hello] = handshake::responder_start();
    const auto initiator_side = handshake::initiator_reply_auth(hello, initiator);
    const auto responder_side = handshake::responder_finish_auth(std::move(responder_state),
                                                                 initiator_side.areply, responder);
    const auto learnt =
        handshake::initiator_verify_confirm(initiator_side.transcript, responder_side->confirm);
    benchmark::DoNotOptimize(learnt);
  }
}
BENCHMARK(BM_AuthenticatedHandshake)->Unit(benchmark::kMicrosecond);

struct Conversation {
  ratchet::Ratchet alice;
  ratchet::Ratchet bob;
};

Conversation start_conversation() {
  const Key32 root{};
  const Secret32 bob_secret = random_secret32();
  Conversation c{ratchet::Ratchet::init_sender(root, crypto::x25519_public(bob_secret.view())),
                 ratchet::Ratchet::init_receiver(root, bob_secret.view())};
  // Both chains present on both sides.
  (void)ratchet::decrypt(c.bob, c.alice.encrypt(as_bytes("a"), {}), {});
  (void)ratchet::decrypt(c.alice, c.bob.encrypt(as_bytes("b"), {}), {});
  return c;
}

// Alice has sent on her current chain and Bob has received it: no DH step is left to take.
Conversation in_chain_conversation() {
  Conversation c = start_conversation();
  (void)ratchet::decrypt(c.bob, c.alice.encrypt(as_bytes("c"), {}), {});
  return c;
}

// Seal and open of a 100-byte message within one sending chain.
void BM_RatchetMessage100(benchmark::State& state) {
  Conversation c = in_chain_conversation();
  const Bytes text(100, 0x61);
  for (auto _ : state) {
    const auto message = c.alice.encrypt(text, {});
    auto opened = ratchet::decrypt(c.bob, message, {});
    benchmark::DoNotOptimize(opened);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 100);
}
BENCHMARK(BM_RatchetMessage100)->Unit(benchmark::kMicrosecond);

void BM_RatchetMessage100_floor(benchmark::State& state) {
  const Conversation c = in_chain_conversation();
  const Bytes text(100, 0x61);
  floor::Aead aead;
  floor::RatchetSender alice(*c.alice.send_chain, c.alice.dh_public, c.alice.previous_send_count,
                             c.alice.send_count);
  floor::RatchetReceiver bob(*c.bob.recv_chain, c.bob.recv_count);
  {
    ratchet::Ratchet library_alice = internal::clone(c.alice);
    ratchet::Ratchet library_bob = internal::clone(c.bob);
    const auto message = library_alice.encrypt(text, {});
    const auto opened = ratchet::decrypt(library_bob, message, {});
    const auto sealed = alice.encrypt(aead, text, {});
    const auto floor_opened = bob.decrypt(aead, sealed, {});
    ByteArray<40> header{};
    std::copy(message.header.dh_public.begin(), message.header.dh_public.end(), header.begin());
    store_be(header.data() + 32, message.header.previous_chain_length);
    store_be(header.data() + 36, message.header.message_index);
    if (!bench::agree(state, message.ciphertext, sealed.ciphertext, "ciphertext") ||
        !bench::agree(state, header, sealed.header, "header") ||
        !bench::agree(state, opened.value_or(Bytes{}), floor_opened.value_or(Bytes{1}),
                      "plaintext") ||
        !bench::agree(state, *library_alice.send_chain, alice.chain_key(), "sending chain") ||
        !bench::agree(state, *library_bob.recv_chain, bob.chain_key(), "receiving chain")) {
      return;
    }
  }
  for (auto _ : state) {
    const auto sealed = alice.encrypt(aead, text, {});
    auto opened = bob.decrypt(aead, sealed, {});
    benchmark::DoNotOptimize(opened);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 100);
}
BENCHMARK(BM_RatchetMessage100_floor)->Unit(benchmark::kMicrosecond);

// One message each way: each receiver takes a DH step.
void BM_RatchetTurnOfDirection(benchmark::State& state) {
  Conversation c = start_conversation();
  const Bytes text(100, 0x61);
  for (auto _ : state) {
    auto there = ratchet::decrypt(c.bob, c.alice.encrypt(text, {}), {});
    auto back = ratchet::decrypt(c.alice, c.bob.encrypt(text, {}), {});
    benchmark::DoNotOptimize(there);
    benchmark::DoNotOptimize(back);
  }
}
BENCHMARK(BM_RatchetTurnOfDirection)->Unit(benchmark::kMicrosecond);

}  // namespace
