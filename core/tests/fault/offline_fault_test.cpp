// Allocation failures in offline delivery: the send chain, the envelopes, the prekey store and the
// outbox. A stop leaves every half exactly as it was; above all a sender's chain, since a chain
// that moved on without handing out its envelope can kill its direction for good.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fault_sweep.hpp"
#include "state_views.hpp"
#include "test_support.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/internal/state_copy.hpp"
#include "vostrel/offline.hpp"
#include "vostrel/outbox.hpp"
#include "vostrel/prekey.hpp"
#include "vostrel/sendchain.hpp"

using namespace vostrel;
using fault::FaultRun;
using fault::require;
using fault::Scenario;
using fault::sweep_all;
using identity::Identity;
using offline::OfflineReceiver;
using offline::OfflineSender;
using outbox::OfflineChannel;
using prekey::PrekeyBundle;
using sendchain::RecvChain;
using sendchain::SendChain;
using test::bytes_of;
using test::filled;

namespace {

constexpr std::uint64_t kNow = 1'700'000'000;
const Key32 kRoot = filled<32>(0x5A);
const Key32 kSender = filled<32>(0x5B);
const Bytes kMessage = bytes_of("sent while the peer was away");

Bytes message_at(std::size_t i) {
  return bytes_of("message " + std::to_string(i));
}

// The one faulted call of a run on state that `state_of` serialises whole. It returns the right
// answer, or it stops with the state as it was and then returns the right answer when called
// again. Either way the state ends as `after`, when that is known. The answer is handed on for
// the checks that follow.
template <class Call, class StateOf, class IsRight>
auto all_or_nothing(FaultRun& run, Call call, StateOf state_of, IsRight is_right,
                    const std::optional<Bytes>& after = std::nullopt) {
  const Bytes before = state_of();
  auto got = run.faulted(call);
  if (got) {
    require(is_right(*got), "a wrong answer from the faulted call");
  } else {
    require(state_of() == before, "a stop changed the state");
    got.emplace(call());
    require(is_right(*got), "a wrong answer after a stop");
  }
  if (after) require(state_of() == *after, "not the state a clean call leaves");
  return std::move(*got);
}

// A call on no state of its own.
template <class Call, class IsRight>
auto right_or_stopped(FaultRun& run, Call call, IsRight is_right) {
  return all_or_nothing(
      run, call, [] { return Bytes{}; }, is_right);
}

const auto kAnything = [](const auto&) { return true; };

// --- the send chain ---

Bytes state_of(const SendChain& chain) {
  Bytes out;
  put_bytes(out, chain.chain_key().view());
  put_be(out, chain.next());
  return out;
}

using test::state_of;

const HybridSecret kHybridSecret(filled<32>(0x0A), filled<32>(0x0B));
const auto kBundleId = filled<16>(0x0C);

// Frames 0 to kFrames - 1 of one chain, each carrying message_at(its counter).
constexpr std::size_t kFrames = 72;
const std::vector<Bytes>& chain_frames() {
  static const std::vector<Bytes> frames = [] {
    SendChain tx(kRoot, kSender);
    std::vector<Bytes> out;
    for (std::size_t i = 0; i < kFrames; ++i) out.push_back(tx.seal(message_at(i)));
    return out;
  }();
  return frames;
}

// A receiving chain that has opened `opened`, in that order.
RecvChain receiver_after(std::initializer_list<std::size_t> opened) {
  RecvChain rx(kRoot, kSender);
  for (const std::size_t i : opened) {
    require(rx.open(chain_frames()[i]) == message_at(i), "the fixture's frames open");
  }
  return rx;
}

// Opens frame `target` on a chain that opened `opened`; then every frame in `later` opens.
Scenario open_scenario(std::string_view what, std::initializer_list<std::size_t> opened,
                       std::size_t target, std::vector<std::size_t> later) {
  return {std::string(what), [opened, target, later](FaultRun& run) {
            RecvChain rx = receiver_after(opened);
            RecvChain clean = internal::clone(rx);
            require(clean.open(chain_frames()[target]) == message_at(target), "a clean open");
            all_or_nothing(
                run, [&] { return rx.open(chain_frames()[target]); }, [&] { return state_of(rx); },
                [&](const auto& message) { return message == message_at(target); },
                state_of(clean));
            for (const std::size_t i : later) {
              require(rx.open(chain_frames()[i]) == message_at(i), "a later frame");
            }
          }};
}

// --- offline envelopes ---

Bytes state_of(const OfflineSender& tx) {
  return state_of(tx.chain());
}

Bytes state_of(const OfflineReceiver& rx) {
  Bytes out = state_of(rx.chain());
  for (const auto& [id, secret] : rx.prekeys()) {
    put_bytes(out, offline::prekey_record(secret).view());
  }
  return out;
}

// The prekeys of one receiving half, published once; a receiver made from the records holds them.
struct PrekeyStore {
  Identity owner = Identity::generate();
  std::vector<PrekeyBundle> bundles;
  std::vector<SecretBytes> records;

  explicit PrekeyStore(std::size_t n) {
    OfflineReceiver source(kRoot, kSender);
    bundles = source.publish_prekeys(owner, n, kNow);
    for (const auto& bundle : bundles) {
      records.push_back(offline::prekey_record(source.prekeys().at(bundle.id)));
    }
  }
  std::vector<ByteView> views() const {
    std::vector<ByteView> out;
    for (const auto& record : records) out.push_back(record.view());
    return out;
  }
};

// One direction's envelopes, sealed once: a plain run, and a run that heals at envelope 1.
struct Envelopes {
  PrekeyStore store{2};
  std::vector<Bytes> plain;
  std::vector<Bytes> mixed;

  Envelopes() {
    OfflineSender tx(kRoot, kSender);
    for (std::size_t i = 0; i < 6; ++i) plain.push_back(*tx.seal(message_at(i)));
    OfflineSender healing(kRoot, kSender);
    mixed.push_back(*healing.seal(message_at(0)));
    mixed.push_back(*healing.seal(message_at(1), &store.bundles[0]));
    mixed.push_back(*healing.seal(message_at(2)));
  }

  // A receiver holding the store's prekeys that has ingested `ingested` of `run`, in that order.
  OfflineReceiver receiver(const std::vector<Bytes>& run,
                           std::initializer_list<std::size_t> ingested) const {
    OfflineReceiver rx(kRoot, kSender);
    const auto records = store.views();
    rx.import_prekeys(records);
    for (const std::size_t i : ingested) {
      require(offline::ingest(rx, run[i]) == message_at(i), "the fixture's envelopes open");
    }
    return rx;
  }
};

Scenario ingest_scenario(const Envelopes& sealed, std::string_view what,
                         const std::vector<Bytes> Envelopes::*run_of,
                         std::initializer_list<std::size_t> ingested, std::size_t target,
                         std::vector<std::size_t> later) {
  return {
      std::string(what), [&sealed, run_of, ingested, target, later](FaultRun& run) {
        const std::vector<Bytes>& envelopes = sealed.*run_of;
        OfflineReceiver rx = sealed.receiver(envelopes, ingested);
        OfflineReceiver clean = sealed.receiver(envelopes, ingested);
        require(offline::ingest(clean, envelopes[target]) == message_at(target), "a clean ingest");
        all_or_nothing(
            run, [&] { return offline::ingest(rx, envelopes[target]); },
            [&] { return state_of(rx); },
            [&](const auto& message) { return message == message_at(target); }, state_of(clean));
        for (const std::size_t i : later) {
          require(offline::ingest(rx, envelopes[i]) == message_at(i), "a later envelope");
        }
      }};
}

// --- the outbox ---

Bytes snapshot_bytes(const OfflineChannel& channel) {
  const SecretBytes snapshot = channel.snapshot();
  return Bytes(snapshot.view().begin(), snapshot.view().end());
}

// The snapshot and the kept keys, which it leaves out.
Bytes state_of(const OfflineChannel& channel) {
  Bytes out = snapshot_bytes(channel);
  put_bytes(out, state_of(channel.rx().chain()));
  return out;
}

const Key32 kAlice = filled<32>(0xA1);
const Key32 kBob = filled<32>(0xB0);

OfflineChannel alice() {
  return OfflineChannel(kRoot, kAlice, kBob);
}
OfflineChannel bob() {
  return OfflineChannel(kRoot, kBob, kAlice);
}

// Alice with two envelopes queued: the outbox is full to its capacity, so the next one grows it.
OfflineChannel alice_with_two_queued() {
  OfflineChannel channel = alice();
  for (std::size_t i = 0; i < 2; ++i) {
    require(outbox::queue(channel, message_at(i)), "the fixture's messages queue");
  }
  return channel;
}

std::optional<OfflineChannel> restored_bob(ByteView snapshot) {
  return OfflineChannel::restore(kRoot, kBob, kAlice, kNow, snapshot);
}

// Every pending message of `from` reaches `to`, in order, and a reply the other way too.
void channels_still_talk(OfflineChannel& from, OfflineChannel& to,
                         const std::vector<Bytes>& expected) {
  require(to.ingest_batch(from.pending()) == expected, "the pending messages arrive");
  require(outbox::queue(to, kMessage), "a reply queues");
  require(from.ingest_batch(to.pending()) == std::vector<Bytes>{kMessage}, "the reply arrives");
}

}  // namespace

TEST(sendchain_faults, seal_and_open) {
  sweep_all({
      {"SendChain seal",
       [](FaultRun& run) {
         SendChain tx(kRoot, kSender);
         RecvChain rx(kRoot, kSender);
         require(rx.open(tx.seal(message_at(0))) == message_at(0), "the first frame");
         SendChain clean = SendChain::from_stored(tx.chain_key().view(), tx.next());
         const Bytes expected = clean.seal(kMessage);
         const Bytes frame = all_or_nothing(
             run, [&] { return tx.seal(kMessage); }, [&] { return state_of(tx); },
             [&](const Bytes& got) { return got == expected; }, state_of(clean));
         require(rx.open(frame) == kMessage, "the peer opens the frame");
         require(rx.open(tx.seal(message_at(2))) == message_at(2), "the next frame");
       }},
      {"SendChain mix_in",
       [](FaultRun& run) {
         SendChain tx(kRoot, kSender);
         RecvChain rx = receiver_after({});
         require(rx.open(tx.seal(message_at(0))) == message_at(0), "the first frame");
         SendChain clean = SendChain::from_stored(tx.chain_key().view(), tx.next());
         clean.mix_in(kHybridSecret, kBundleId);
         all_or_nothing(
             run,
             [&] {
               tx.mix_in(kHybridSecret, kBundleId);
               return true;
             },
             [&] { return state_of(tx); }, kAnything, state_of(clean));
         rx.mix_in(kHybridSecret, kBundleId);
         require(rx.open(tx.seal(kMessage)) == kMessage, "the peer opens the mixed chain");
       }},
      {"RecvChain mix_in",
       [](FaultRun& run) {
         SendChain tx(kRoot, kSender);
         RecvChain rx = receiver_after({0, 2});
         RecvChain clean = internal::clone(rx);
         clean.mix_in(kHybridSecret, kBundleId);
         all_or_nothing(
             run,
             [&] {
               rx.mix_in(kHybridSecret, kBundleId);
               return true;
             },
             [&] { return state_of(rx); }, kAnything, state_of(clean));
         require(rx.open(chain_frames()[1]) == message_at(1), "a kept key outlives the mix");
       }},
      open_scenario("RecvChain open in order", {0}, 1, {2}),
      open_scenario("RecvChain open 64 ahead", {0}, 65, {1, 64, 66}),
      open_scenario("RecvChain open 64 ahead of kept keys", {0, 3}, 68, {1, 2, 67, 69}),
      open_scenario("RecvChain open a kept key", {0, 5}, 2, {1, 3, 4, 6}),
  });
}

TEST(offline_faults, seal_and_ingest) {
  const Envelopes sealed;
  sweep_all({
      {"OfflineSender seal, plain",
       [&sealed](FaultRun& run) {
         OfflineSender tx(kRoot, kSender);
         static_cast<void>(*tx.seal(message_at(0)));
         OfflineSender clean =
             OfflineSender::restore(kRoot, kSender, tx.chain().chain_key().view(), 1);
         const Bytes expected = *clean.seal(message_at(1));
         const auto envelope = all_or_nothing(
             run, [&] { return tx.seal(message_at(1)); }, [&] { return state_of(tx); },
             [&](const auto& got) { return got == expected; }, state_of(clean));
         OfflineReceiver rx = sealed.receiver(sealed.plain, {0});
         require(offline::ingest(rx, *envelope) == message_at(1), "the peer ingests it");
         require(offline::ingest(rx, *tx.seal(message_at(2))) == message_at(2), "the next one");
       }},
      // A chain left mixed by a stop would hold a secret no receiver ever learns.
      {"OfflineSender seal, mixed",
       [&sealed](FaultRun& run) {
         OfflineSender tx(kRoot, kSender);
         static_cast<void>(*tx.seal(message_at(0)));
         const PrekeyBundle& bundle = sealed.store.bundles[1];
         const auto envelope = all_or_nothing(
             run, [&] { return tx.seal(message_at(1), &bundle); }, [&] { return state_of(tx); },
             [](const auto& got) { return got.has_value(); });
         OfflineReceiver rx = sealed.receiver(sealed.plain, {0});
         require(offline::ingest(rx, *envelope) == message_at(1), "the peer ingests it");
         require(offline::ingest(rx, *tx.seal(message_at(2))) == message_at(2),
                 "the direction lives on");
       }},
      ingest_scenario(sealed, "ingest plain, in order", &Envelopes::plain, {0}, 1, {2}),
      ingest_scenario(sealed, "ingest plain, ahead", &Envelopes::plain, {0}, 4, {1, 3, 5}),
      ingest_scenario(sealed, "ingest plain, a kept key", &Envelopes::plain, {0, 4}, 2, {1, 3, 5}),
      ingest_scenario(sealed, "ingest mixed", &Envelopes::mixed, {0}, 1, {2}),
  });
}

TEST(prekey_faults, publication_import_and_use) {
  const PrekeyStore store(2);
  const Key32 seal_key = offline::prekey_seal_key(kRoot, store.owner.public_key());
  const Bytes sealed_bundle = offline::seal_bundle(seal_key, store.bundles[0]);
  sweep_all({
      {"publish_prekeys",
       [&store](FaultRun& run) {
         OfflineReceiver rx(kRoot, kSender);
         const auto records = store.views();
         rx.import_prekeys(std::span(records).first(1));
         const auto bundles = all_or_nothing(
             run, [&] { return rx.publish_prekeys(store.owner, 2, kNow); },
             [&] { return state_of(rx); },
             [&](const std::vector<PrekeyBundle>& got) {
               if (got.size() != 2 || rx.prekeys().size() != 3) return false;
               for (const auto& bundle : got) {
                 if (!bundle.verify(store.owner.public_key(), kNow) ||
                     !rx.prekeys().contains(bundle.id)) {
                   return false;
                 }
               }
               return true;
             });
         OfflineSender tx(kRoot, kSender);
         require(offline::ingest(rx, *tx.seal(kMessage, &bundles[1])) == kMessage,
                 "a published prekey heals");
       }},
      {"import_prekeys",
       [&store](FaultRun& run) {
         // One record replaces a stored prekey of its id, one is new, one has the wrong length.
         OfflineReceiver rx(kRoot, kSender);
         const auto records = store.views();
         rx.import_prekeys(std::span(records).first(1));
         Bytes later_expiry(records[0].begin(), records[0].end());
         store_be(later_expiry.data() + 16, kNow + 2 * offline::PREKEY_TTL);
         const Bytes short_record(records[1].begin(), records[1].end() - 1);
         const std::vector<ByteView> imported = {later_expiry, records[1], short_record};
         OfflineReceiver clean(kRoot, kSender);
         clean.import_prekeys(std::span(records).first(1));
         clean.import_prekeys(imported);
         all_or_nothing(
             run,
             [&] {
               rx.import_prekeys(imported);
               return true;
             },
             [&] { return state_of(rx); }, kAnything, state_of(clean));
         rx.prune_prekeys(kNow + offline::PREKEY_TTL);
         require(rx.prekeys().size() == 1, "the replaced prekey outlives the other");
         OfflineSender tx(kRoot, kSender);
         require(offline::ingest(rx, *tx.seal(kMessage, &store.bundles[0])) == kMessage,
                 "an imported prekey heals");
       }},
      {"PrekeyBundle generate",
       [&store](FaultRun& run) {
         const auto generated = right_or_stopped(
             run, [&] { return PrekeyBundle::generate(store.owner, kNow + 1); },
             [&](const auto& got) { return got.second.verify(store.owner.public_key(), kNow); });
         const auto mix = prekey::sender_mix(generated.second);
         require(prekey::receiver_mix(generated.first, mix->header)->bytes() == mix->secret.bytes(),
                 "the generated halves agree");
       }},
      {"PrekeyBundle verify",
       [&store](FaultRun& run) {
         right_or_stopped(
             run, [&] { return store.bundles[0].verify(store.owner.public_key(), kNow); },
             [](bool valid) { return valid; });
       }},
      {"sender_mix",
       [&store](FaultRun& run) {
         OfflineReceiver rx(kRoot, kSender);
         const auto records = store.views();
         rx.import_prekeys(records);
         const auto mix = right_or_stopped(
             run, [&] { return prekey::sender_mix(store.bundles[0]); },
             [](const auto& got) { return got.has_value(); });
         const auto& secret = rx.prekeys().at(store.bundles[0].id);
         require(prekey::receiver_mix(secret, mix->header)->bytes() == mix->secret.bytes(),
                 "both sides agree");
       }},
      {"seal_bundle",
       [&](FaultRun& run) {
         right_or_stopped(
             run, [&] { return offline::seal_bundle(seal_key, store.bundles[0]); },
             [&](const Bytes& got) { return got == sealed_bundle; });
       }},
      {"open_bundle",
       [&](FaultRun& run) {
         right_or_stopped(
             run, [&] { return offline::open_bundle(seal_key, sealed_bundle); },
             [&](const auto& got) { return got == store.bundles[0]; });
       }},
  });
  fault::expect_allocation_free({
      {"receiver_mix",
       [&store](FaultRun& run) {
         OfflineReceiver rx(kRoot, kSender);
         const auto records = store.views();
         rx.import_prekeys(records);
         const auto mix = prekey::sender_mix(store.bundles[0]);
         const auto& secret = rx.prekeys().at(store.bundles[0].id);
         right_or_stopped(
             run, [&] { return prekey::receiver_mix(secret, mix->header); },
             [&](const auto& got) { return got && got->bytes() == mix->secret.bytes(); });
       }},
      {"prune_prekeys",
       [&store](FaultRun& run) {
         OfflineReceiver rx(kRoot, kSender);
         const auto records = store.views();
         rx.import_prekeys(records);
         require(run.faulted([&] { rx.prune_prekeys(kNow + offline::PREKEY_TTL); }), "prune stops");
         require(rx.prekeys().empty(), "expired prekeys stay");
       }},
  });
}

TEST(outbox_faults, queue_ack_snapshot_restore) {
  const PrekeyStore store(1);
  sweep_all({
      {"queue plain",
       [](FaultRun& run) {
         OfflineChannel from = alice_with_two_queued();
         OfflineChannel clean = alice_with_two_queued();
         require(outbox::queue(clean, kMessage), "a clean queue");
         all_or_nothing(
             run, [&] { return outbox::queue(from, kMessage); }, [&] { return state_of(from); },
             [](bool queued) { return queued; }, state_of(clean));
         OfflineChannel to = bob();
         channels_still_talk(from, to, {message_at(0), message_at(1), kMessage});
       }},
      {"queue mixed",
       [&store](FaultRun& run) {
         OfflineChannel from = alice_with_two_queued();
         OfflineChannel to = bob();
         const auto records = store.views();
         to.rx().import_prekeys(records);
         all_or_nothing(
             run, [&] { return outbox::queue(from, kMessage, &store.bundles[0]); },
             [&] { return state_of(from); }, [](bool queued) { return queued; });
         require(from.outbox().size() == 3, "one entry more");
         channels_still_talk(from, to, {message_at(0), message_at(1), kMessage});
         require(to.rx().prekeys().empty(), "the prekey is spent");
       }},
      {"pending",
       [](FaultRun& run) {
         const OfflineChannel from = alice_with_two_queued();
         const std::vector<Bytes> expected = from.pending();
         all_or_nothing(
             run, [&] { return from.pending(); }, [&] { return state_of(from); },
             [&](const auto& got) { return got == expected; }, state_of(from));
       }},
      {"snapshot",
       [&store](FaultRun& run) {
         OfflineChannel channel = alice_with_two_queued();
         const auto records = store.views();
         channel.rx().import_prekeys(records);
         const Bytes expected = snapshot_bytes(channel);
         all_or_nothing(
             run, [&] { return channel.snapshot(); }, [&] { return state_of(channel); },
             [&](const SecretBytes& got) {
               return std::ranges::equal(got.view(), ByteView(expected));
             },
             state_of(channel));
       }},
      {"restore",
       [&store](FaultRun& run) {
         OfflineChannel from = alice_with_two_queued();
         OfflineChannel to = bob();
         const auto records = store.views();
         to.rx().import_prekeys(records);
         const Bytes snapshot = snapshot_bytes(to);
         auto restored = right_or_stopped(
             run, [&] { return restored_bob(snapshot); },
             [&](const auto& got) { return got && snapshot_bytes(*got) == snapshot; });
         channels_still_talk(from, *restored, {message_at(0), message_at(1)});
       }},
      {"ingest_batch",
       [&store](FaultRun& run) {
         OfflineChannel from = alice_with_two_queued();
         require(outbox::queue(from, message_at(2), &store.bundles[0]), "a mixed envelope");
         require(outbox::queue(from, message_at(3)), "a plain one after it");
         std::vector<Bytes> blobs = from.pending();
         blobs.push_back(blobs[0]);          // a replay
         blobs.push_back(Bytes(280, 0x00));  // and junk
         // The second envelope opened ahead of the rest, so that the batch also spends a kept key.
         const auto receiver = [&] {
           OfflineChannel channel = bob();
           const auto records = store.views();
           channel.rx().import_prekeys(records);
           require(channel.ingest_batch(std::vector<Bytes>{blobs[1]}) ==
                       std::vector<Bytes>{message_at(1)},
                   "the second envelope");
           return channel;
         };
         OfflineChannel to = receiver();
         OfflineChannel clean = receiver();
         const std::vector<Bytes> expected = {message_at(0), message_at(2), message_at(3)};
         require(clean.ingest_batch(blobs) == expected, "a clean batch");
         all_or_nothing(
             run, [&] { return to.ingest_batch(blobs); }, [&] { return state_of(to); },
             [&](const auto& got) { return got == expected; }, state_of(clean));
         require(to.rx().chain().skipped().empty(), "a kept key left over");
         require(outbox::queue(from, kMessage), "the next message queues");
         require(to.ingest_batch(from.pending()) == std::vector<Bytes>{kMessage},
                 "the next message arrives");
       }},
  });
  fault::expect_allocation_free({
      {"ack",
       [](FaultRun& run) {
         OfflineChannel channel = alice_with_two_queued();
         require(run.faulted([&] { channel.ack(0); }), "ack stops");
         require(channel.outbox().size() == 1 && channel.outbox()[0].seq == 1, "the wrong entry");
       }},
  });
}
