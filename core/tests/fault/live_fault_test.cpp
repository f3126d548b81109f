// Allocation failures in the live sessions: the ratchet on both sides of a conversation, the
// handshake's steps, plain and authenticated, and the wire frame's reads and writes.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fault_sweep.hpp"
#include "state_views.hpp"
#include "test_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/handshake.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/internal/state_copy.hpp"
#include "vostrel/ratchet.hpp"
#include "vostrel/wire.hpp"

using namespace vostrel;
using fault::FaultRun;
using fault::require;
using fault::Scenario;
using fault::sweep_all;
using test::bytes_of;

namespace {

// --- ratchet ---

using ratchet::Ratchet;
using ratchet::RatchetMessage;

const Key32 kRoot = test::filled<32>(0x5A);
const Bytes kAd = bytes_of("live fault sweep");

using test::snapshot;
using test::Snapshot;

// What a decrypt decides: all but the own key pair and what derives from it, which a DH step
// draws afresh.
Snapshot receiving_side(const Ratchet& r) {
  Snapshot s = snapshot(r);
  s.dh_secret = {};
  s.dh_public = {};
  s.root_key = {};
  s.send_chain.reset();
  return s;
}

struct Conversation {
  Ratchet alice;
  Ratchet bob;
};

Secret32 bob_secret() {
  return Secret32(test::filled<32>(0x42));
}

Conversation started() {
  return {Ratchet::init_sender(kRoot, crypto::x25519_public(bob_secret().view())),
          Ratchet::init_receiver(kRoot, bob_secret().view())};
}

RatchetMessage send(Ratchet& from, std::string_view text) {
  return from.encrypt(as_bytes(text), kAd);
}

void opens(Ratchet& to, const RatchetMessage& message, std::string_view text,
           std::string_view what) {
  require(ratchet::decrypt(to, message, kAd) == bytes_of(text), what);
}

// Whatever stopped before, both sides go on talking, turn after turn.
void conversation_goes_on(Ratchet& a, Ratchet& b) {
  opens(b, send(a, "on"), "on", "the next message");
  opens(a, send(b, "back"), "back", "the answer");
  const RatchetMessage late = send(a, "late");
  opens(b, send(a, "early"), "early", "a message past a late one");
  opens(b, late, "late", "the late message");
}

// The library's first use made: a sweep fails only the allocations of the call itself.
void warm_up() {
  Conversation c = started();
  opens(c.bob, send(c.alice, "warm"), "warm", "warm-up");
}

// An encrypt gives the message that an untouched copy of the sender seals; one that stops leaves
// the sender as it was.
void encrypts_cleanly(FaultRun& run, Ratchet& sender, Ratchet& receiver) {
  Ratchet twin = internal::clone(sender);
  const RatchetMessage expected = send(twin, "faulted");
  const Snapshot before = snapshot(sender);
  auto got = run.faulted([&] { return send(sender, "faulted"); });
  if (!got) {
    require(snapshot(sender) == before, "a stopped encrypt changed the sender");
    got = send(sender, "faulted");
  }
  require(*got == expected, "the message is the one an untouched sender seals");
  require(snapshot(sender) == snapshot(twin), "the sender moved on as its copy did");
  opens(receiver, *got, "faulted", "the receiver opens the message");
  conversation_goes_on(sender, receiver);
}

// A decrypt gives what an untouched copy of the receiver gives (a plaintext is never refused for
// want of memory) and leaves the receiver as that copy; one that stops leaves the receiver as it
// was.
void decrypts_cleanly(FaultRun& run, Ratchet& receiver, const RatchetMessage& message,
                      const std::optional<Bytes>& expected) {
  Ratchet twin = internal::clone(receiver);
  require(ratchet::decrypt(twin, message, kAd) == expected, "the fixture's message");
  const Snapshot before = snapshot(receiver);
  auto got = run.faulted([&] { return ratchet::decrypt(receiver, message, kAd); });
  if (!got) {
    require(snapshot(receiver) == before, "a stopped decrypt changed the receiver");
    got = ratchet::decrypt(receiver, message, kAd);
  }
  require(*got == expected, expected ? "refused or wrong plaintext" : "a forged message opened");
  require(receiving_side(receiver) == receiving_side(twin),
          "the receiver moved on otherwise than its copy");
}

// Alice has sent a0, a1, a2; Bob has opened a0 only.
struct LateMessages {
  Conversation c = started();
  RatchetMessage a0 = send(c.alice, "a0");
  RatchetMessage a1 = send(c.alice, "a1");
  RatchetMessage a2 = send(c.alice, "a2");

  LateMessages() { opens(c.bob, a0, "a0", "fixture"); }
};

// Bob has opened every other message of Alice's chain, so that his table of kept keys is one
// insert short of its load limit: one more key fits, two more make it grow.
struct KeysAtTheLimit {
  Conversation c = started();
  std::vector<std::pair<RatchetMessage, std::string>> unopened;

  KeysAtTheLimit() {
    const auto& kept = c.bob.skipped;
    do {
      const std::string skipped = "k" + std::to_string(unopened.size());
      unopened.emplace_back(send(c.alice, skipped), skipped);
      opens(c.bob, send(c.alice, "opened"), "opened", "fixture");
    } while (static_cast<float>(kept.size() + 2) <=
             kept.max_load_factor() * static_cast<float>(kept.bucket_count()));
  }

  // Each message whose key the fixture kept still opens.
  void kept_keys_open() {
    for (const auto& [message, text] : unopened) opens(c.bob, message, text, "a key kept before");
  }
};

}  // namespace

TEST(ratchet_faults, both_sides_of_a_conversation) {
  sweep_all({
      {"init_sender",
       [](FaultRun& run) {
         warm_up();
         Ratchet bob = Ratchet::init_receiver(kRoot, bob_secret().view());
         const Key32 bob_public = crypto::x25519_public(bob_secret().view());
         auto alice = run.faulted([&] { return Ratchet::init_sender(kRoot, bob_public); });
         if (!alice) alice = Ratchet::init_sender(kRoot, bob_public);
         conversation_goes_on(*alice, bob);
       }},
      {"encrypt, the sender's first message",
       [](FaultRun& run) {
         Conversation c = started();
         encrypts_cleanly(run, c.alice, c.bob);
       }},
      {"encrypt, on along a chain",
       [](FaultRun& run) {
         Conversation c = started();
         opens(c.bob, send(c.alice, "a0"), "a0", "fixture");
         encrypts_cleanly(run, c.alice, c.bob);
       }},
      {"encrypt, the receiver's answer after its turn",
       [](FaultRun& run) {
         Conversation c = started();
         opens(c.bob, send(c.alice, "a0"), "a0", "fixture");
         encrypts_cleanly(run, c.bob, c.alice);
       }},
      {"decrypt, the first message: a DH step",
       [](FaultRun& run) {
         Conversation c = started();
         decrypts_cleanly(run, c.bob, send(c.alice, "a0"), bytes_of("a0"));
         conversation_goes_on(c.bob, c.alice);
       }},
      {"decrypt, in order",
       [](FaultRun& run) {
         LateMessages x;
         opens(x.c.bob, x.a1, "a1", "fixture");
         decrypts_cleanly(run, x.c.bob, x.a2, bytes_of("a2"));
         conversation_goes_on(x.c.alice, x.c.bob);
       }},
      {"decrypt, out of order: keys kept",
       [](FaultRun& run) {
         LateMessages x;
         opens(x.c.bob, x.a2, "a2", "fixture");  // a1's key already kept
         const RatchetMessage a3 = send(x.c.alice, "a3");
         const RatchetMessage a4 = send(x.c.alice, "a4");
         decrypts_cleanly(run, x.c.bob, send(x.c.alice, "a5"), bytes_of("a5"));
         opens(x.c.bob, a4, "a4", "a key kept by the faulted call");
         opens(x.c.bob, x.a1, "a1", "the key kept before");
         opens(x.c.bob, a3, "a3", "another key kept by the faulted call");
         conversation_goes_on(x.c.bob, x.c.alice);
       }},
      {"decrypt, with a kept key",
       [](FaultRun& run) {
         LateMessages x;
         opens(x.c.bob, x.a2, "a2", "fixture");
         decrypts_cleanly(run, x.c.bob, x.a1, bytes_of("a1"));
         conversation_goes_on(x.c.bob, x.c.alice);
       }},
      {"decrypt, an answer after the peer's turn: a DH step",
       [](FaultRun& run) {
         LateMessages x;
         decrypts_cleanly(run, x.c.alice, send(x.c.bob, "b0"), bytes_of("b0"));
         opens(x.c.bob, x.a2, "a2", "a message sent before the turn");
         conversation_goes_on(x.c.alice, x.c.bob);
       }},
      {"decrypt, a DH step that keeps the rest of the previous chain",
       [](FaultRun& run) {
         LateMessages x;
         opens(x.c.alice, send(x.c.bob, "b0"), "b0", "fixture");
         decrypts_cleanly(run, x.c.bob, send(x.c.alice, "a3"), bytes_of("a3"));
         opens(x.c.bob, x.a2, "a2", "a key kept from the previous chain");
         opens(x.c.bob, x.a1, "a1", "another key kept from the previous chain");
         conversation_goes_on(x.c.bob, x.c.alice);
       }},
      // Room for the new keys is made before any moves into the table, which grows in the call.
      {"decrypt, keeping several keys beyond the table's load limit",
       [](FaultRun& run) {
         KeysAtTheLimit x;
         const std::size_t held = x.c.bob.skipped.size();
         const RatchetMessage a = send(x.c.alice, "late a");
         const RatchetMessage b = send(x.c.alice, "late b");
         const RatchetMessage c = send(x.c.alice, "late c");
         const std::size_t buckets = x.c.bob.skipped.bucket_count();
         decrypts_cleanly(run, x.c.bob, send(x.c.alice, "past three"), bytes_of("past three"));
         require(x.c.bob.skipped.size() == held + 3 && x.c.bob.skipped.bucket_count() > buckets,
                 "the table grew");
         opens(x.c.bob, b, "late b", "a key kept by the faulted call");
         opens(x.c.bob, c, "late c", "a key kept by the faulted call");
         opens(x.c.bob, a, "late a", "a key kept by the faulted call");
         x.kept_keys_open();
         conversation_goes_on(x.c.bob, x.c.alice);
       }},
      {"decrypt, a DH step that keeps keys of both chains beyond the load limit",
       [](FaultRun& run) {
         KeysAtTheLimit x;
         const RatchetMessage old_a = send(x.c.alice, "old a");
         const RatchetMessage old_b = send(x.c.alice, "old b");
         opens(x.c.alice, send(x.c.bob, "turn"), "turn", "fixture");
         const RatchetMessage new_a = send(x.c.alice, "new a");
         const RatchetMessage new_b = send(x.c.alice, "new b");
         const std::size_t buckets = x.c.bob.skipped.bucket_count();
         decrypts_cleanly(run, x.c.bob, send(x.c.alice, "new c"), bytes_of("new c"));
         require(x.c.bob.skipped.bucket_count() > buckets, "the table grew");
         opens(x.c.bob, old_b, "old b", "a key kept from the previous chain");
         opens(x.c.bob, new_a, "new a", "a key kept from the new chain");
         opens(x.c.bob, old_a, "old a", "a key kept from the previous chain");
         opens(x.c.bob, new_b, "new b", "a key kept from the new chain");
         x.kept_keys_open();
         conversation_goes_on(x.c.bob, x.c.alice);
       }},
      {"decrypt, a tampered message is refused",
       [](FaultRun& run) {
         LateMessages x;
         RatchetMessage tampered = x.a2;
         tampered.ciphertext[0] ^= 1;
         decrypts_cleanly(run, x.c.bob, tampered, std::nullopt);
         opens(x.c.bob, x.a2, "a2", "the genuine message");
         conversation_goes_on(x.c.bob, x.c.alice);
       }},
      {"decrypt, a message under a forged new key is refused",
       [](FaultRun& run) {
         LateMessages x;
         RatchetMessage forged = x.a2;
         forged.header.dh_public = crypto::x25519_public(test::filled<32>(0x17));
         decrypts_cleanly(run, x.c.bob, forged, std::nullopt);
         opens(x.c.bob, x.a2, "a2", "the genuine message");
         conversation_goes_on(x.c.bob, x.c.alice);
       }},
  });
}

namespace {

// --- handshake ---

using handshake::ResponderState;

ResponderState copy_state(const ResponderState& state) {
  return ResponderState{state.x25519_secret.clone(), state.ek, state.dk};
}

bool same_state(const ResponderState& a, const ResponderState& b) {
  return a.x25519_secret.bytes() == b.x25519_secret.bytes() && a.ek == b.ek && a.dk == b.dk;
}

bool same_key(const Secret32& a, const Secret32& b) {
  return a.bytes() == b.bytes();
}

// A finished state is spent: it finishes no second time.
void spent(ResponderState& state, const handshake::Reply& reply) {
  try {
    static_cast<void>(handshake::responder_finish(std::move(state), reply));
  } catch (const Panic&) {
    return;
  }
  fault::fail("a finished state finishes again");
}

struct PlainExchange {
  std::pair<ResponderState, handshake::Hello> started = handshake::responder_start();
  std::pair<handshake::Reply, Secret32> replied = handshake::initiator_reply(started.second);
};

struct AuthExchange {
  identity::Identity initiator = identity::Identity::generate();
  identity::Identity responder = identity::Identity::generate();
  std::pair<ResponderState, handshake::Hello> started = handshake::responder_start();
  handshake::InitiatorAuth replied = handshake::initiator_reply_auth(started.second, initiator);
};

// The responder's half of an authenticated exchange, checked against the initiator's.
void agrees(const AuthExchange& x, const std::optional<handshake::ResponderAuth>& finished) {
  require(finished.has_value(), "the initiator's signature was refused");
  require(same_key(finished->session_key, x.replied.session_key), "the session keys differ");
  require(finished->peer_id == x.initiator.public_key(), "the initiator's identity");
  require(handshake::initiator_verify_confirm(x.replied.transcript, finished->confirm) ==
              x.responder.public_key(),
          "the Confirm does not verify");
}

}  // namespace

TEST(handshake_faults, every_step_of_both_sides) {
  sweep_all({
      {"initiator_reply",
       [](FaultRun& run) {
         PlainExchange x;
         const handshake::Hello& hello = x.started.second;
         auto got = run.faulted([&] { return handshake::initiator_reply(hello); });
         if (!got) got = handshake::initiator_reply(hello);
         require(same_key(got->second,
                          handshake::responder_finish(copy_state(x.started.first), got->first)),
                 "the responder derives another key");
       }},
      {"responder_finish",
       [](FaultRun& run) {
         PlainExchange x;
         ResponderState& state = x.started.first;
         const handshake::Reply& reply = x.replied.first;
         const ResponderState before = copy_state(state);
         auto got =
             run.faulted([&] { return handshake::responder_finish(std::move(state), reply); });
         if (!got) {
           require(same_state(state, before), "a stopped finish changed the state");
           got = handshake::responder_finish(std::move(state), reply);
         }
         require(same_key(*got, x.replied.second), "the session keys differ");
         spent(state, reply);
       }},
      {"initiator_reply_auth",
       [](FaultRun& run) {
         AuthExchange x;
         const handshake::Hello& hello = x.started.second;
         auto got =
             run.faulted([&] { return handshake::initiator_reply_auth(hello, x.initiator); });
         if (!got) got = handshake::initiator_reply_auth(hello, x.initiator);
         x.replied = std::move(*got);
         agrees(x, handshake::responder_finish_auth(std::move(x.started.first), x.replied.areply,
                                                    x.responder));
       }},
      {"responder_finish_auth",
       [](FaultRun& run) {
         AuthExchange x;
         ResponderState& state = x.started.first;
         const ResponderState before = copy_state(state);
         const auto finish = [&] {
           return handshake::responder_finish_auth(std::move(state), x.replied.areply, x.responder);
         };
         auto got = run.faulted(finish);
         if (!got) {
           require(same_state(state, before), "a stopped finish changed the state");
           got = finish();
         }
         agrees(x, *got);
         require((*got)->ephemeral_secret.bytes() == before.x25519_secret.bytes(),
                 "the ephemeral secret handed on");
         spent(state, x.replied.areply.reply);
       }},
      {"responder_finish_auth, a forged signature is refused",
       [](FaultRun& run) {
         AuthExchange x;
         ResponderState& state = x.started.first;
         const ResponderState before = copy_state(state);
         handshake::AuthReply forged = x.replied.areply;
         forged.signature[0] ^= 1;
         auto got = run.faulted([&] {
           return handshake::responder_finish_auth(std::move(state), forged, x.responder);
         });
         if (got) {
           require(!got->has_value(), "a forged signature verified");
           spent(state, forged.reply);
           return;
         }
         require(same_state(state, before), "a stopped finish changed the state");
         agrees(x,
                handshake::responder_finish_auth(std::move(state), x.replied.areply, x.responder));
       }},
      {"initiator_verify_confirm",
       [](FaultRun& run) {
         AuthExchange x;
         const auto finished = handshake::responder_finish_auth(std::move(x.started.first),
                                                                x.replied.areply, x.responder);
         require(finished.has_value(), "fixture");
         const auto verify = [&] {
           return handshake::initiator_verify_confirm(x.replied.transcript, finished->confirm);
         };
         if (auto got = run.faulted(verify)) {
           require(*got == x.responder.public_key(), "a genuine Confirm was refused");
         }
         require(verify() == x.responder.public_key(), "the Confirm after the stop");
       }},
      {"initiator_verify_confirm, a tampered Confirm is refused",
       [](FaultRun& run) {
         AuthExchange x;
         auto finished = handshake::responder_finish_auth(std::move(x.started.first),
                                                          x.replied.areply, x.responder);
         require(finished.has_value(), "fixture");
         handshake::Confirm tampered = finished->confirm;
         tampered.signature[63] ^= 0x40;
         const auto verify = [&](const handshake::Confirm& confirm) {
           return handshake::initiator_verify_confirm(x.replied.transcript, confirm);
         };
         if (auto got = run.faulted([&] { return verify(tampered); })) {
           require(!got->has_value(), "a tampered Confirm verified");
         }
         require(!verify(tampered), "a tampered Confirm after the stop");
         require(verify(finished->confirm) == x.responder.public_key(), "the genuine Confirm");
       }},
  });
}

namespace {

// --- wire ---

Bytes framed(std::uint8_t kind, ByteView payload) {
  wire::MemorySink sink;
  require(wire::write_frame(sink, kind, payload).has_value(), "fixture frame");
  return sink.bytes();
}

Bytes joined(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  put_bytes(out, b);
  return out;
}

const Bytes kPayload(100, 0x5C);
const Bytes kNext = bytes_of("next");

// A read_frame gives what it gives with memory to spare, and one that stops leaves the source
// where it was.
void reads_cleanly(FaultRun& run, const Bytes& stream,
                   const std::expected<wire::Frame, wire::IoError>& expected,
                   std::size_t remaining_after) {
  wire::MemorySource source(stream);
  // Assigned rather than returned: g++ 12 sees a bogus free of a temporary in the other form.
  std::expected<wire::Frame, wire::IoError> got = wire::Frame{};
  if (!run.faulted([&] { got = wire::read_frame(source); })) {
    require(source.remaining() == stream.size(), "a stopped read moved the source");
    got = wire::read_frame(source);
  }
  require(got == expected, "the frame or error read");
  require(source.remaining() == remaining_after, "where the read left the source");
}

}  // namespace

TEST(wire_faults, frames_on_a_stream) {
  using wire::IoError;
  using wire::IoErrorKind;
  sweep_all({
      {"write_frame onto a sink that holds a frame",
       [](FaultRun& run) {
         wire::MemorySink sink;
         require(wire::write_frame(sink, 1, kNext).has_value(), "fixture");
         const Bytes before = sink.bytes();
         auto got = run.faulted([&] { return wire::write_frame(sink, 3, kPayload); });
         if (!got) {
           require(sink.bytes() == before, "a stopped write left part of a frame");
           got = wire::write_frame(sink, 3, kPayload);
         }
         require(got->has_value(), "the write failed");
         require(sink.bytes() == joined(before, framed(3, kPayload)), "the stream written");
       }},
      {"read_frame, a frame and the next",
       [](FaultRun& run) {
         const Bytes next = framed(4, kNext);
         reads_cleanly(run, joined(framed(3, kPayload), next), wire::Frame{3, kPayload},
                       next.size());
       }},
      {"read_frame, a wrong version",
       [](FaultRun& run) {
         reads_cleanly(
             run, test::hex("0903000000000000"),
             std::unexpected(IoError{IoErrorKind::InvalidData, "unsupported wire version"}), 2);
       }},
      {"read_frame, an oversized length",
       [](FaultRun& run) {
         reads_cleanly(run, test::hex("010300010001"),
                       std::unexpected(IoError{IoErrorKind::InvalidData, "frame exceeds size cap"}),
                       0);
       }},
      {"read_frame, a cut header",
       [](FaultRun& run) {
         reads_cleanly(
             run, test::hex("010300"),
             std::unexpected(IoError{IoErrorKind::UnexpectedEof, "failed to fill whole buffer"}),
             0);
       }},
      {"read_frame, a cut payload",
       [](FaultRun& run) {
         const Bytes whole = framed(3, kPayload);
         reads_cleanly(
             run, Bytes(whole.begin(), whole.end() - 50),
             std::unexpected(IoError{IoErrorKind::UnexpectedEof, "failed to fill whole buffer"}),
             0);
       }},
  });
}
