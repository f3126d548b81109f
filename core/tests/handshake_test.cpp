#include "vostrel/handshake.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <string>
#include <type_traits>

#include "test_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/ratchet.hpp"

using namespace vostrel;
using namespace vostrel::handshake;
using vostrel::identity::Identity;
using vostrel::test::bytes_of;

namespace {

constexpr crypto::Nonce12 kZeroNonce{};

// A second responder state with the same secrets, for trying several replies against one Hello.
ResponderState copy_state(const ResponderState& state) {
  return ResponderState{state.x25519_secret.clone(), state.ek, state.dk};
}

bool keys_equal(const Secret32& a, const Secret32& b) {
  return a.bytes() == b.bytes();
}

// A clean authenticated exchange, kept whole so that its parts can be altered.
struct AuthExchange {
  Identity initiator = Identity::generate();
  Identity responder = Identity::generate();
  std::pair<ResponderState, Hello> started = responder_start();
  InitiatorAuth initiator_side = initiator_reply_auth(started.second, initiator);
};

}  // namespace

// --- plain handshake ---

TEST(handshake, hybrid_handshake_agrees_and_carries_a_message) {
  auto [state, hello] = responder_start();
  auto [reply, initiator_key] = initiator_reply(hello);
  const Secret32 responder_key = responder_finish(std::move(state), reply);
  ASSERT_TRUE(keys_equal(initiator_key, responder_key)) << "both sides agree on the session key";

  const Bytes text = bytes_of("hello over a post-quantum channel");
  ASSERT_EQ(text.size(), 33u);
  const Bytes sealed = crypto::seal(initiator_key.view(), kZeroNonce, as_bytes("vostrel/v1"), text);
  const auto opened =
      crypto::open(responder_key.view(), kZeroNonce, as_bytes("vostrel/v1"), sealed);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, text);
}

TEST(handshake, independent_handshakes_yield_independent_keys) {
  auto [state1, hello1] = responder_start();
  auto [reply1, key1] = initiator_reply(hello1);
  const Secret32 finished1 = responder_finish(std::move(state1), reply1);
  auto [state2, hello2] = responder_start();
  auto [reply2, key2] = initiator_reply(hello2);
  ASSERT_FALSE(keys_equal(key1, key2)) << "fresh ephemeral keys give unrelated session keys";
}

TEST(handshake, answering_one_hello_twice_gives_different_replies_and_keys) {
  auto [state, hello] = responder_start();
  auto [reply1, key1] = initiator_reply(hello);
  auto [reply2, key2] = initiator_reply(hello);
  EXPECT_NE(reply1, reply2);
  EXPECT_FALSE(keys_equal(key1, key2));
  EXPECT_TRUE(keys_equal(key2, responder_finish(copy_state(state), reply2)));
  EXPECT_TRUE(keys_equal(key1, responder_finish(std::move(state), reply1)));
}

TEST(handshake, changed_reply_gives_a_differing_key_without_error) {
  auto [state, hello] = responder_start();
  const auto [reply, initiator_key] = initiator_reply(hello);
  // Offsets in the reply's byte form: the ciphertext's ends and middle, the X25519 key's ends.
  for (const std::size_t offset : {std::size_t{0}, std::size_t{544}, std::size_t{1087},
                                   std::size_t{1088}, std::size_t{1119}}) {
    auto bytes = reply.to_bytes();
    bytes[offset] ^= 0x01;
    const Reply changed = *Reply::from_bytes(bytes);
    EXPECT_FALSE(keys_equal(initiator_key, responder_finish(copy_state(state), changed)))
        << "offset " << offset;
  }
}

// Neither the secret nor the ML-KEM decapsulation key stays in the caller's state once it is
// consumed, whichever way the exchange ended, nor in a state that was moved from.
TEST(handshake, a_consumed_state_keeps_no_key) {
  static const pqkem::DecapsulationKey kNoKey{};
  const auto holds_no_key = [](const ResponderState& state) {
    return state.dk == kNoKey && state.x25519_secret.bytes() == Key32{};
  };
  AuthExchange plain;
  ResponderState& finished = plain.started.first;
  const auto [reply, initiator_key] = initiator_reply(plain.started.second);
  ASSERT_NE(finished.dk, kNoKey);
  EXPECT_TRUE(keys_equal(responder_finish(std::move(finished), reply), initiator_key));
  EXPECT_TRUE(holds_no_key(finished)) << "responder_finish";

  AuthExchange accepted;
  ASSERT_TRUE(responder_finish_auth(std::move(accepted.started.first),
                                    accepted.initiator_side.areply, accepted.responder));
  EXPECT_TRUE(holds_no_key(accepted.started.first)) << "responder_finish_auth, accepted";

  AuthExchange refused;
  refused.initiator_side.areply.signature[0] ^= 1;
  ASSERT_FALSE(responder_finish_auth(std::move(refused.started.first),
                                     refused.initiator_side.areply, refused.responder));
  EXPECT_TRUE(holds_no_key(refused.started.first)) << "responder_finish_auth, refused";

  AuthExchange moved;
  ResponderState taken = std::move(moved.started.first);
  EXPECT_TRUE(holds_no_key(moved.started.first)) << "moved from";
  EXPECT_NE(taken.dk, kNoKey);
  auto [assigned_from, hello] = responder_start();
  taken = std::move(assigned_from);
  EXPECT_TRUE(holds_no_key(assigned_from)) << "moved from by assignment";
  EXPECT_EQ(taken.ek, hello.ek);
}

// A released state leaves neither key in the memory it held.
TEST(handshake, a_released_state_leaves_no_key) {
  static_assert(std::is_standard_layout_v<ResponderState>, "the keys are found by their offsets");
  alignas(ResponderState) unsigned char storage[sizeof(ResponderState)];
  const auto zero_at = [&](std::size_t offset, std::size_t length) {
    return std::all_of(storage + offset, storage + offset + length,
                       [](unsigned char b) { return b == 0; });
  };
  auto* state = new (storage) ResponderState(responder_start().first);
  ASSERT_FALSE(zero_at(offsetof(ResponderState, dk), pqkem::kDecapsulationKeyBytes));
  state->~ResponderState();
  EXPECT_TRUE(zero_at(offsetof(ResponderState, x25519_secret), Secret32::size()));
  EXPECT_TRUE(zero_at(offsetof(ResponderState, dk), pqkem::kDecapsulationKeyBytes));
}

TEST(handshake, byte_forms_round_trip_and_take_exactly_their_size) {
  auto [state, hello] = responder_start();
  const auto [reply, initiator_key] = initiator_reply(hello);

  const auto hello_bytes = hello.to_bytes();
  ASSERT_EQ(hello_bytes.size(), 1216u);
  EXPECT_TRUE(
      std::equal(hello.x25519_public.begin(), hello.x25519_public.end(), hello_bytes.begin()));
  EXPECT_EQ(Hello::from_bytes(hello_bytes), hello);
  const auto reply_bytes = reply.to_bytes();
  ASSERT_EQ(reply_bytes.size(), 1120u);
  EXPECT_TRUE(std::equal(reply.x25519_public.begin(), reply.x25519_public.end(),
                         reply_bytes.begin() + 1088));
  const auto decoded = Reply::from_bytes(reply_bytes);
  ASSERT_EQ(decoded, reply);
  EXPECT_TRUE(keys_equal(initiator_key, responder_finish(std::move(state), *decoded)));

  EXPECT_FALSE(Hello::from_bytes(ByteView(hello_bytes).first(1215)));
  EXPECT_FALSE(Reply::from_bytes(ByteView(reply_bytes).first(1119)));
  Bytes longer_hello(hello_bytes.begin(), hello_bytes.end());
  longer_hello.push_back(0);
  Bytes longer_reply(reply_bytes.begin(), reply_bytes.end());
  longer_reply.push_back(0);
  EXPECT_FALSE(Hello::from_bytes(longer_hello));
  EXPECT_FALSE(Reply::from_bytes(longer_reply));
}

// --- authenticated handshake ---

TEST(handshake, authenticated_handshake_agrees_and_verifies_identities) {
  const Identity initiator = Identity::generate();
  const Identity responder = Identity::generate();
  auto [state, hello] = responder_start();
  const InitiatorAuth initiator_side = initiator_reply_auth(hello, initiator);
  const auto responder_side =
      responder_finish_auth(std::move(state), initiator_side.areply, responder);
  ASSERT_TRUE(responder_side.has_value()) << "initiator's identity verifies";
  const auto learnt = initiator_verify_confirm(initiator_side.transcript, responder_side->confirm);
  ASSERT_TRUE(learnt.has_value()) << "responder's identity verifies";
  ASSERT_TRUE(keys_equal(initiator_side.session_key, responder_side->session_key))
      << "both sides agree on the session key";
  ASSERT_EQ(responder_side->peer_id, initiator.public_key())
      << "responder learns initiator's identity";
  ASSERT_EQ(*learnt, responder.public_key()) << "initiator learns responder's identity";
}

TEST(handshake, tampered_initiator_signature_is_rejected) {
  const Identity initiator = Identity::generate();
  const Identity responder = Identity::generate();
  auto [state, hello] = responder_start();
  InitiatorAuth initiator_side = initiator_reply_auth(hello, initiator);
  initiator_side.areply.signature[0] ^= 1;
  ASSERT_FALSE(responder_finish_auth(std::move(state), initiator_side.areply, responder));
}

TEST(handshake, forged_initiator_identity_is_rejected) {
  const Identity initiator = Identity::generate();
  const Identity responder = Identity::generate();
  const Identity outsider = Identity::generate();
  auto [state, hello] = responder_start();
  InitiatorAuth initiator_side = initiator_reply_auth(hello, initiator);
  initiator_side.areply.identity = outsider.public_key();
  ASSERT_FALSE(responder_finish_auth(std::move(state), initiator_side.areply, responder));
}

TEST(handshake, tampered_responder_confirm_is_rejected) {
  const Identity initiator = Identity::generate();
  const Identity responder = Identity::generate();
  auto [state, hello] = responder_start();
  const InitiatorAuth initiator_side = initiator_reply_auth(hello, initiator);
  auto responder_side = responder_finish_auth(std::move(state), initiator_side.areply, responder);
  ASSERT_TRUE(responder_side.has_value());
  responder_side->confirm.signature[0] ^= 1;
  ASSERT_FALSE(initiator_verify_confirm(initiator_side.transcript, responder_side->confirm));
}

TEST(handshake, auth_byte_forms_round_trip_in_field_order) {
  AuthExchange x;
  const AuthReply& areply = x.initiator_side.areply;
  const auto bytes = areply.to_bytes();
  ASSERT_EQ(bytes.size(), 1216u);
  EXPECT_TRUE(std::equal(areply.signature.begin(), areply.signature.end(), bytes.begin()));
  const auto reply_bytes = areply.reply.to_bytes();
  EXPECT_TRUE(std::equal(reply_bytes.begin(), reply_bytes.end(), bytes.begin() + 64));
  EXPECT_TRUE(std::equal(areply.identity.begin(), areply.identity.end(), bytes.begin() + 1184));
  EXPECT_EQ(AuthReply::from_bytes(bytes), areply);

  auto responder_side =
      responder_finish_auth(std::move(x.started.first), *AuthReply::from_bytes(bytes), x.responder);
  ASSERT_TRUE(responder_side.has_value());
  const auto confirm_bytes = responder_side->confirm.to_bytes();
  ASSERT_EQ(confirm_bytes.size(), 96u);
  EXPECT_TRUE(std::equal(x.responder.public_key().begin(), x.responder.public_key().end(),
                         confirm_bytes.begin() + 64));
  EXPECT_EQ(Confirm::from_bytes(confirm_bytes), responder_side->confirm);

  Bytes longer(bytes.begin(), bytes.end());
  longer.push_back(0);
  EXPECT_FALSE(AuthReply::from_bytes(longer));
  Bytes longer_confirm(confirm_bytes.begin(), confirm_bytes.end());
  longer_confirm.push_back(0);
  EXPECT_FALSE(Confirm::from_bytes(longer_confirm));
}

TEST(handshake, transcript_and_ephemeral_secret_are_as_sent) {
  AuthExchange x;
  const Hello& hello = x.started.second;
  const Reply& reply = x.initiator_side.areply.reply;
  const Bytes expected = [&] {
    Bytes t;
    put_bytes(t, hello.x25519_public);
    put_bytes(t, reply.x25519_public);
    put_bytes(t, hello.ek);
    put_bytes(t, reply.ct);
    return t;
  }();
  ASSERT_EQ(expected.size(), 2336u);
  EXPECT_EQ(x.initiator_side.transcript, expected);
  const Key32 secret = x.started.first.x25519_secret.bytes();
  auto responder_side =
      responder_finish_auth(std::move(x.started.first), x.initiator_side.areply, x.responder);
  ASSERT_TRUE(responder_side.has_value());
  EXPECT_EQ(responder_side->ephemeral_secret.bytes(), secret);
}

TEST(handshake, any_flipped_bit_of_an_auth_reply_is_refused) {
  AuthExchange x;
  const auto bytes = x.initiator_side.areply.to_bytes();
  // Signature, ciphertext and initiator X25519 key inside the reply, identity.
  for (const std::size_t offset :
       {std::size_t{0}, std::size_t{63}, std::size_t{64}, std::size_t{700}, std::size_t{1151},
        std::size_t{1152}, std::size_t{1183}, std::size_t{1184}, std::size_t{1215}}) {
    for (const std::uint8_t bit : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
      auto changed = bytes;
      changed[offset] ^= bit;
      EXPECT_FALSE(responder_finish_auth(copy_state(x.started.first),
                                         *AuthReply::from_bytes(changed), x.responder))
          << "offset " << offset << " bit " << int{bit};
    }
  }
  EXPECT_TRUE(
      responder_finish_auth(std::move(x.started.first), x.initiator_side.areply, x.responder));
}

TEST(handshake, any_flipped_bit_of_a_confirm_is_refused) {
  AuthExchange x;
  const auto responder_side =
      responder_finish_auth(std::move(x.started.first), x.initiator_side.areply, x.responder);
  ASSERT_TRUE(responder_side.has_value());
  const auto bytes = responder_side->confirm.to_bytes();
  for (const std::size_t offset :
       {std::size_t{0}, std::size_t{31}, std::size_t{63}, std::size_t{64}, std::size_t{95}}) {
    for (const std::uint8_t bit : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
      auto changed = bytes;
      changed[offset] ^= bit;
      EXPECT_FALSE(
          initiator_verify_confirm(x.initiator_side.transcript, *Confirm::from_bytes(changed)))
          << "offset " << offset << " bit " << int{bit};
    }
  }
}

TEST(handshake, role_bytes_keep_the_two_signatures_apart) {
  AuthExchange x;
  const auto responder_side =
      responder_finish_auth(copy_state(x.started.first), x.initiator_side.areply, x.responder);
  ASSERT_TRUE(responder_side.has_value());

  // The responder's signature over the same transcript, presented as the initiator's.
  AuthReply as_initiator = x.initiator_side.areply;
  as_initiator.signature = responder_side->confirm.signature;
  as_initiator.identity = x.responder.public_key();
  EXPECT_FALSE(responder_finish_auth(std::move(x.started.first), as_initiator, x.responder));

  // The initiator's signature presented as a Confirm.
  const Confirm as_responder{x.initiator_side.areply.signature, x.initiator.public_key()};
  EXPECT_FALSE(initiator_verify_confirm(x.initiator_side.transcript, as_responder));
}

TEST(handshake, confirm_from_another_exchange_is_refused) {
  AuthExchange first;
  AuthExchange second;
  second.responder = std::move(first.responder);
  const auto other = responder_finish_auth(std::move(second.started.first),
                                           second.initiator_side.areply, second.responder);
  ASSERT_TRUE(other.has_value());
  EXPECT_FALSE(initiator_verify_confirm(first.initiator_side.transcript, other->confirm));
}

// The signatures cover the four ephemeral values only, so anyone can sign a genuine transcript
// again under its own identity. Binding both identity keys into the associated data shows it.
TEST(handshake, a_re_signed_transcript_is_an_unknown_key_share_unless_identities_are_bound) {
  AuthExchange x;
  const Identity third = Identity::generate();
  const auto signed_as = [&](std::uint8_t role) {
    Bytes message(kAuthLabel.begin(), kAuthLabel.end());
    message.push_back(role);
    put_bytes(message, x.initiator_side.transcript);
    return third.sign(message);
  };
  const Hello hello = x.started.second;
  const AuthReply re_signed{signed_as(kInitiatorRole), x.initiator_side.areply.reply,
                            third.public_key()};
  const auto responder_side =
      responder_finish_auth(std::move(x.started.first), re_signed, x.responder);
  ASSERT_TRUE(responder_side.has_value());
  EXPECT_EQ(responder_side->peer_id, third.public_key());
  EXPECT_TRUE(keys_equal(responder_side->session_key, x.initiator_side.session_key))
      << "the key is shared with the real initiator";
  const Confirm re_confirmed{signed_as(kResponderRole), third.public_key()};
  EXPECT_EQ(initiator_verify_confirm(x.initiator_side.transcript, re_confirmed), third.public_key())
      << "the Confirm can be signed again the same way";

  const auto bound = [](const identity::PublicKey& initiator,
                        const identity::PublicKey& responder) {
    Bytes ad(initiator.begin(), initiator.end());
    put_bytes(ad, responder);
    return ad;
  };
  const Bytes as_sent = bound(x.initiator.public_key(), x.responder.public_key());
  const Bytes as_believed = bound(responder_side->peer_id, x.responder.public_key());
  auto initiator =
      ratchet::Ratchet::init_sender(x.initiator_side.session_key.view(), hello.x25519_public);
  auto responder = ratchet::Ratchet::init_receiver(responder_side->session_key.view(),
                                                   responder_side->ephemeral_secret.view());
  const auto message = initiator.encrypt(as_bytes("from the initiator"), as_sent);
  EXPECT_FALSE(ratchet::decrypt(responder, message, as_believed).has_value());
  EXPECT_EQ(ratchet::decrypt(responder, message, as_sent), bytes_of("from the initiator"));
}

// --- seeding the ratchet ---

TEST(handshake, ratchet_seeded_from_handshake_carries_a_conversation) {
  auto [state, hello] = responder_start();
  auto [reply, initiator_key] = initiator_reply(hello);
  const Secret32 responder_secret = state.x25519_secret.clone();
  const Secret32 responder_key = responder_finish(std::move(state), reply);
  ASSERT_TRUE(keys_equal(initiator_key, responder_key)) << "session keys agree";

  auto initiator = ratchet::Ratchet::init_sender(initiator_key.view(), hello.x25519_public);
  auto responder = ratchet::Ratchet::init_receiver(responder_key.view(), responder_secret.view());
  const ByteView ad = as_bytes("chat");
  const auto carry = [&](ratchet::Ratchet& from, ratchet::Ratchet& to, const std::string& text) {
    const auto message = from.encrypt(as_bytes(text), ad);
    const auto opened = ratchet::decrypt(to, message, ad);
    ASSERT_TRUE(opened.has_value()) << text;
    EXPECT_EQ(*opened, bytes_of(text));
  };
  carry(initiator, responder, "hi from the initiator");
  carry(responder, initiator, "hi back from the responder");
  for (int turn = 0; turn < 10; ++turn) {
    carry(initiator, responder, "a" + std::to_string(turn));
    carry(responder, initiator, "b" + std::to_string(turn));
  }
}

TEST(handshake, ratchet_seeded_from_authenticated_handshake_opens) {
  AuthExchange x;
  const Hello hello = x.started.second;
  const auto responder_side =
      responder_finish_auth(std::move(x.started.first), x.initiator_side.areply, x.responder);
  ASSERT_TRUE(responder_side.has_value());
  auto initiator =
      ratchet::Ratchet::init_sender(x.initiator_side.session_key.view(), hello.x25519_public);
  auto responder = ratchet::Ratchet::init_receiver(responder_side->session_key.view(),
                                                   responder_side->ephemeral_secret.view());
  const auto message = initiator.encrypt(as_bytes("first"), {});
  EXPECT_EQ(ratchet::decrypt(responder, message, {}), bytes_of("first"));
}
