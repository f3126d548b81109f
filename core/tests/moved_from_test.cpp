// Values left behind by a move: every operation that would seal, sign, open, save or derive on the
// source stops, naming the type, and the moved-to value carries on with its peer.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <type_traits>

#include "test_support.hpp"
#include "vostrel/contacts.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/handshake.hpp"
#include "vostrel/identity.hpp"
#include "vostrel/internal/state_copy.hpp"
#include "vostrel/offline.hpp"
#include "vostrel/outbox.hpp"
#include "vostrel/ratchet.hpp"
#include "vostrel/relay.hpp"
#include "vostrel/sendchain.hpp"
#include "vostrel/store.hpp"

using namespace vostrel;
using vostrel::test::bytes_of;
using vostrel::test::filled;

namespace {

constexpr std::uint64_t kNow = 1'700'000'000;
const Key32 kRoot = filled<32>(0x3C);
const Key32 kSender = filled<32>(0x4D);
const Key32 kStorageKey = filled<32>(0x5E);

enum class How { Construct, Assign };

// The source ends up moved from and the result holds its old value. By assignment, the marked
// source first takes a value back and then hands it on again.
template <typename T>
T move_out(T& source, How how) {
  T target(std::move(source));
  if constexpr (std::is_move_assignable_v<T>) {
    if (how == How::Assign) {
      source = std::move(target);
      target = std::move(source);
    }
  }
  return target;
}

// The text of an opened message, or nothing when it was refused.
template <typename Result>
std::optional<std::string> text_of(const Result& result) {
  if (!result) return std::nullopt;
  return std::string(result->begin(), result->end());
}

class Stops {
 public:
  explicit Stops(std::string_view type)
      : expected_(std::string(type) + " used after it was moved from") {}

  void operator()(std::string_view operation, const std::function<void()>& use) const {
    try {
      use();
      ADD_FAILURE() << operation << " went ahead on the moved-from value";
    } catch (const Panic& stop) {
      EXPECT_EQ(std::string_view(stop.what()), expected_) << operation;
    }
  }

 private:
  std::string expected_;
};

struct Row {
  std::string_view type;
  void (*run)(How how, const Stops& stops);
};

void ratchet_row(How how, const Stops& stops) {
  using ratchet::Ratchet;
  const Secret32 bob_secret = random_secret32();
  Ratchet alice = Ratchet::init_sender(kRoot, crypto::x25519_public(bob_secret.view()));
  Ratchet bob = Ratchet::init_receiver(kRoot, bob_secret.view());
  ASSERT_EQ(text_of(decrypt(bob, alice.encrypt(bytes_of("hello"), {}), {})), "hello");
  const auto late = bob.encrypt(bytes_of("late"), {});
  const auto reply = bob.encrypt(bytes_of("reply"), {});
  ASSERT_EQ(text_of(decrypt(alice, reply, {})), "reply");  // keeps the key of "late"

  Ratchet moved = move_out(alice, how);
  stops("encrypt", [&] { (void)alice.encrypt(bytes_of("stale"), {}); });
  stops("decrypt", [&] { (void)decrypt(alice, late, {}); });
  stops("clone", [&] { (void)internal::clone(alice); });
  EXPECT_FALSE(alice.send_chain || alice.recv_chain || alice.remote_dh);
  EXPECT_EQ(alice.root_key, Key32{});
  EXPECT_EQ(alice.dh_secret.bytes(), Key32{});
  EXPECT_TRUE(alice.skipped.empty());

  EXPECT_EQ(text_of(decrypt(bob, moved.encrypt(bytes_of("after"), {}), {})), "after");
  EXPECT_EQ(text_of(decrypt(moved, late, {})), "late");
}

// Both ends of one symmetric chain, and a prekey mix to fold into them.
struct Chains {
  sendchain::SendChain tx{kRoot, kSender};
  sendchain::RecvChain rx{kRoot, kSender};
  HybridSecret mix{filled<32>(0x01), filled<32>(0x02)};
  ByteArray<16> bundle_id = filled<16>(0x03);
};

void send_chain_row(How how, const Stops& stops) {
  Chains c;
  ASSERT_EQ(text_of(c.rx.open(c.tx.seal(bytes_of("hello")))), "hello");

  sendchain::SendChain moved = move_out(c.tx, how);
  stops("seal", [&] { (void)c.tx.seal(bytes_of("stale")); });
  stops("mix_in", [&] { c.tx.mix_in(c.mix, c.bundle_id); });
  EXPECT_EQ(c.tx.chain_key().bytes(), Key32{});

  EXPECT_EQ(text_of(c.rx.open(moved.seal(bytes_of("after")))), "after");
  moved.mix_in(c.mix, c.bundle_id);
  c.rx.mix_in(c.mix, c.bundle_id);
  EXPECT_EQ(text_of(c.rx.open(moved.seal(bytes_of("healed")))), "healed");
}

void recv_chain_row(How how, const Stops& stops) {
  Chains c;
  const Bytes late = c.tx.seal(bytes_of("late"));
  ASSERT_EQ(text_of(c.rx.open(c.tx.seal(bytes_of("hello")))), "hello");  // keeps the key of "late"

  sendchain::RecvChain moved = move_out(c.rx, how);
  stops("open", [&] { (void)c.rx.open(late); });
  stops("mix_in", [&] { c.rx.mix_in(c.mix, c.bundle_id); });
  stops("clone", [&] { (void)internal::clone(c.rx); });
  EXPECT_EQ(c.rx.chain_key().bytes(), Key32{});
  EXPECT_TRUE(c.rx.skipped().empty());

  EXPECT_EQ(text_of(moved.open(late)), "late");
  EXPECT_EQ(text_of(moved.open(c.tx.seal(bytes_of("after")))), "after");
}

// One direction of offline delivery with a prekey published by the receiver.
struct OneWay {
  identity::Identity sender_id = identity::Identity::generate();
  identity::Identity receiver_id = identity::Identity::generate();
  offline::OfflineSender tx{kRoot, sender_id.public_key()};
  offline::OfflineReceiver rx{kRoot, sender_id.public_key()};
  prekey::PrekeyBundle bundle = rx.publish_prekeys(receiver_id, 1, kNow).at(0);
};

void offline_sender_row(How how, const Stops& stops) {
  OneWay d;
  ASSERT_EQ(text_of(offline::ingest(d.rx, d.tx.seal(bytes_of("hello")).value())), "hello");

  offline::OfflineSender moved = move_out(d.tx, how);
  stops("seal", [&] { (void)d.tx.seal(bytes_of("stale")); });
  stops("seal with a prekey", [&] { (void)d.tx.seal(bytes_of("stale"), &d.bundle); });

  const auto mixed = moved.seal(bytes_of("after"), &d.bundle);
  ASSERT_TRUE(mixed);
  EXPECT_EQ(text_of(offline::ingest(d.rx, *mixed)), "after");
}

void offline_receiver_row(How how, const Stops& stops) {
  OneWay d;
  const Bytes plain = d.tx.seal(bytes_of("plain")).value();
  const Bytes mixed = d.tx.seal(bytes_of("mixed"), &d.bundle).value();
  const SecretBytes record = offline::prekey_record(d.rx.prekeys().begin()->second);
  const ByteView records[] = {record.view()};

  offline::OfflineReceiver moved = move_out(d.rx, how);
  stops("ingest", [&] { (void)offline::ingest(d.rx, plain); });
  stops("publish_prekeys", [&] { (void)d.rx.publish_prekeys(d.receiver_id, 1, kNow); });
  stops("prune_prekeys", [&] { d.rx.prune_prekeys(kNow); });
  stops("import_prekeys", [&] { d.rx.import_prekeys(records); });
  EXPECT_TRUE(d.rx.prekeys().empty());

  EXPECT_EQ(text_of(offline::ingest(moved, plain)), "plain");
  EXPECT_EQ(text_of(offline::ingest(moved, mixed)), "mixed");
}

void offline_channel_row(How how, const Stops& stops) {
  using outbox::OfflineChannel;
  const identity::Identity a = identity::Identity::generate();
  const identity::Identity b = identity::Identity::generate();
  OfflineChannel alice(kRoot, a.public_key(), b.public_key());
  OfflineChannel bob(kRoot, b.public_key(), a.public_key());
  ASSERT_TRUE(outbox::queue(alice, bytes_of("hello")));
  ASSERT_EQ(bob.ingest_batch(alice.pending()), std::vector<Bytes>{bytes_of("hello")});
  ASSERT_TRUE(outbox::queue(bob, bytes_of("reply")));

  OfflineChannel moved = move_out(alice, how);
  stops("queue", [&] { (void)outbox::queue(alice, bytes_of("stale")); });
  stops("ingest_batch", [&] { (void)alice.ingest_batch(bob.pending()); });
  stops("snapshot", [&] { (void)alice.snapshot(); });
  EXPECT_TRUE(alice.outbox().empty());

  ASSERT_TRUE(outbox::queue(moved, bytes_of("after")));
  // "hello" is still pending, and the peer drops it as already opened.
  EXPECT_EQ(bob.ingest_batch(moved.pending()), std::vector<Bytes>{bytes_of("after")});
  EXPECT_EQ(moved.ingest_batch(bob.pending()), std::vector<Bytes>{bytes_of("reply")});
  const SecretBytes snapshot = moved.snapshot();
  EXPECT_TRUE(
      OfflineChannel::restore(kRoot, a.public_key(), b.public_key(), kNow, snapshot.view()));
}

void identity_row(How how, const Stops& stops) {
  identity::Identity owner = identity::Identity::generate();
  const identity::PublicKey key = owner.public_key();
  const Bytes message = bytes_of("signed");

  identity::Identity moved = move_out(owner, how);
  stops("public_key", [&] { (void)owner.public_key(); });
  stops("sign", [&] { (void)owner.sign(message); });
  stops("to_encrypted", [&] { (void)owner.to_encrypted(kStorageKey); });

  EXPECT_EQ(moved.public_key(), key);
  EXPECT_TRUE(identity::verify(key, message, moved.sign(message)));
  const auto loaded =
      identity::Identity::from_encrypted(kStorageKey, moved.to_encrypted(kStorageKey));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->public_key(), key);
}

void relay_row(How how, const Stops& stops) {
  using namespace vostrel::relay;
  const Key32 capability = filled<32>(0x6F);
  const MailboxId mailbox = filled<32>(0x70);
  const Bytes payload = bytes_of("payload");
  const auto build = [&](RelayOp op, ByteView body) {
    return build_request(op, capability, mailbox, kNow, body).value();
  };
  Relay relay(300, 1000, capability, kBuildRequestDifficulty);
  const RelayRequest deposit = build(RelayOp::Deposit, payload);
  ASSERT_TRUE(try_deposit(relay, deposit, payload, kNow));
  const RelayRequest peek = build(RelayOp::Peek, {});
  const RelayRequest pull = build(RelayOp::Pull, {});

  Relay moved = move_out(relay, how);
  // With its replay cache gone, the source would admit the deposit a second time.
  stops("check_request",
        [&] { (void)relay.check_request(RelayOp::Deposit, deposit, payload, kNow); });
  stops("try_deposit", [&] { (void)try_deposit(relay, deposit, payload, kNow); });
  stops("try_peek", [&] { (void)try_peek(relay, peek, kNow); });
  stops("try_pull", [&] { (void)try_pull(relay, pull, kNow); });
  stops("sweep", [&] { relay.sweep(kNow); });
  stops("export_entries", [&] { (void)relay.export_entries(); });
  stops("import", [&] { relay.import({}); });

  const auto replay = moved.check_request(RelayOp::Deposit, deposit, payload, kNow);
  ASSERT_FALSE(replay);
  EXPECT_EQ(replay.error(), RelayError::Replay);
  const auto pulled = try_pull(moved, pull, kNow);
  ASSERT_TRUE(pulled);
  EXPECT_EQ(*pulled, std::vector<Bytes>{payload});
}

void contacts_row(How how, const Stops& stops) {
  using contacts::Contacts;
  using contacts::PinStatus;
  const Key32 alice = filled<32>(0xA1);
  const Key32 mallory = filled<32>(0xBB);
  const Key32 root = filled<32>(0xC2);
  Contacts book;
  ASSERT_TRUE(book.observe("alice", alice));
  ASSERT_TRUE(book.establish_root("alice", root));

  Contacts moved = move_out(book, how);
  // An empty book would pin mallory's key as alice's on first sight.
  stops("observe", [&] { (void)book.observe("alice", mallory); });
  stops("mark_verified", [&] { (void)book.mark_verified("alice"); });
  stops("is_verified", [&] { (void)book.is_verified("alice"); });
  stops("establish_root", [&] { (void)book.establish_root("alice", mallory); });
  stops("root", [&] { (void)book.root("alice"); });
  stops("key", [&] { (void)book.key("alice"); });
  stops("rotate_identity", [&] { (void)book.rotate_identity("alice", mallory); });
  stops("to_encrypted", [&] { (void)book.to_encrypted(kStorageKey); });

  const auto seen = moved.observe("alice", mallory);
  ASSERT_TRUE(seen);
  EXPECT_EQ(*seen, PinStatus::Changed(alice));
  EXPECT_EQ(moved.root("alice"), root);
  const auto loaded = Contacts::from_encrypted(kStorageKey, moved.to_encrypted(kStorageKey));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->key("alice"), alice);
}

void message_log_row(How how, const Stops& stops) {
  using store::Direction;
  using store::MessageLog;
  MessageLog log;
  ASSERT_TRUE(log.append(Direction::Sent, 1, "hello"));

  MessageLog moved = move_out(log, how);
  stops("append", [&] { (void)log.append(Direction::Sent, 2, "stale"); });
  stops("to_encrypted", [&] { (void)log.to_encrypted(kStorageKey); });
  EXPECT_TRUE(log.entries().empty());

  ASSERT_TRUE(moved.append(Direction::Received, 2, "reply"));
  const auto loaded = MessageLog::from_encrypted(kStorageKey, moved.to_encrypted(kStorageKey));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->entries().size(), 2u);
  EXPECT_EQ(loaded->entries(), moved.entries());
}

void responder_state_row(How how, const Stops& stops) {
  using namespace vostrel::handshake;
  const identity::Identity initiator = identity::Identity::generate();
  const identity::Identity responder = identity::Identity::generate();
  auto [state, hello] = responder_start();
  const auto [reply, initiator_key] = initiator_reply(hello);
  const InitiatorAuth auth = initiator_reply_auth(hello, initiator);

  ResponderState moved = move_out(state, how);
  stops("responder_finish", [&] { (void)responder_finish(std::move(state), reply); });
  stops("responder_finish_auth",
        [&] { (void)responder_finish_auth(std::move(state), auth.areply, responder); });

  EXPECT_EQ(responder_finish(std::move(moved), reply).bytes(), initiator_key.bytes());
}

void sha256_row(How how, const Stops& stops) {
  crypto::Sha256 hash;
  hash.update(as_bytes("abc"));

  crypto::Sha256 moved = move_out(hash, how);  // not assignable: constructed either way
  stops("update", [&] { hash.update(as_bytes("stale")); });
  stops("finish", [&] { (void)hash.finish(); });

  moved.update(as_bytes("def"));
  EXPECT_EQ(moved.finish(), crypto::sha256({as_bytes("abcdef")}));
}

void hmac_key_row(How how, const Stops& stops) {
  crypto::HmacKey key(kRoot);
  const Key32 expected = crypto::hmac_sha256(kRoot, {as_bytes("message")});
  Key32 out{};

  crypto::HmacKey moved = move_out(key, how);
  stops("mac", [&] { (void)key.mac({as_bytes("message")}); });
  stops("mac_into", [&] { key.mac_into(out, {as_bytes("message")}); });
  stops("last_mac_into", [&] { key.last_mac_into(out, {as_bytes("message")}); });
  stops("rekey", [&] { key.rekey(kSender); });
  stops("hkdf_extract", [&] { crypto::hkdf_extract(key, {}, kSender); });
  stops("hkdf_expand", [&] { crypto::hkdf_expand(key, {}, out); });
  stops("copy", [&] { const crypto::HmacKey copy(key); });
  stops("copy assignment", [&] {
    crypto::HmacKey other(kSender);
    other = key;
  });

  EXPECT_EQ(moved.mac({as_bytes("message")}), expected);
  key = moved;  // assigned a key, the source is whole again
  EXPECT_EQ(key.mac({as_bytes("message")}), expected);
}

const Row kRows[] = {
    {"Ratchet", ratchet_row},
    {"SendChain", send_chain_row},
    {"RecvChain", recv_chain_row},
    {"OfflineSender", offline_sender_row},
    {"OfflineReceiver", offline_receiver_row},
    {"OfflineChannel", offline_channel_row},
    {"Identity", identity_row},
    {"Relay", relay_row},
    {"Contacts", contacts_row},
    {"MessageLog", message_log_row},
    {"ResponderState", responder_state_row},
    {"Sha256", sha256_row},
    {"HmacKey", hmac_key_row},
};

}  // namespace

TEST(moved_from, every_use_of_the_source_stops_and_the_moved_to_value_carries_on) {
  for (const How how : {How::Construct, How::Assign}) {
    for (const Row& row : kRows) {
      SCOPED_TRACE(std::string(row.type) +
                   (how == How::Construct ? " moved by construction" : " moved by assignment"));
      row.run(how, Stops(row.type));
    }
  }
}
