#include "vostrel/invite.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "vostrel/crypto.hpp"
#include "vostrel/labels.hpp"

using namespace vostrel;
using namespace vostrel::invite;
using vostrel::identity::Identity;
using vostrel::test::filled;
using vostrel::test::hex_array;

namespace {

RequestOutput must_request(const Invite& invitation, const Identity& requester) {
  auto out = request_friend(invitation, requester);
  if (!out) throw Panic("valid invite");
  return std::move(*out);
}

AcceptOutput must_accept(const InviteSecret& secret, const Identity& inviter,
                         const FriendRequest& request) {
  auto out = accept_friend(secret, inviter, request);
  if (!out) throw Panic("valid request");
  return *out;
}

// Alice invites, Bob requests.
struct Exchange {
  Identity alice = Identity::generate();
  Identity bob = Identity::generate();
  std::pair<Invite, InviteSecret> invitation = create_invite(alice);
  RequestOutput requested = must_request(invitation.first, bob);
};

// The invitation signing message, written out independently of the module.
Bytes invite_signing_message(const Invite& invitation) {
  Bytes message = vostrel::test::bytes_of(labels::kInvitePrekey);
  put_bytes(message, invitation.identity);
  put_bytes(message, invitation.x25519_pub);
  put_bytes(message, invitation.ek);
  return message;
}

}  // namespace

TEST(invite, async_friend_request_establishes_the_same_root_and_key) {
  const Identity alice = Identity::generate();
  const Identity bob = Identity::generate();
  const auto [invitation, secret] = create_invite(alice);
  const auto requested = request_friend(invitation, bob);
  ASSERT_TRUE(requested) << "valid invite";
  const auto accepted = accept_friend(secret, alice, requested->request);
  ASSERT_TRUE(accepted) << "valid request";
  ASSERT_EQ(requested->root, accepted->root) << "pairwise root agrees";
  ASSERT_EQ(requested->session_key, accepted->session_key) << "session key agrees";
  ASSERT_EQ(crypto::sas(requested->session_key), crypto::sas(accepted->session_key))
      << "SAS matches for out-of-band verification";
  ASSERT_EQ(requested->peer_id, alice.public_key()) << "Bob learned Alice";
  ASSERT_EQ(accepted->peer_id, bob.public_key()) << "Alice learned Bob";
  ASSERT_TRUE(verify_accept(requested->transcript, requested->peer_id, accepted->accept));
}

TEST(invite, forged_invite_prekey_signature_is_rejected) {
  const Identity alice = Identity::generate();
  const Identity bob = Identity::generate();
  const Identity mallory = Identity::generate();
  auto [invitation, secret] = create_invite(alice);
  invitation.identity = mallory.public_key();
  ASSERT_FALSE(request_friend(invitation, bob));
}

TEST(invite, tampered_request_signature_is_rejected) {
  Exchange ex;
  ex.requested.request.signature[0] ^= 0x01;
  ASSERT_FALSE(accept_friend(ex.invitation.second, ex.alice, ex.requested.request));
}

TEST(invite, tampered_accept_is_rejected) {
  const Exchange ex;
  AcceptOutput accepted = must_accept(ex.invitation.second, ex.alice, ex.requested.request);
  accepted.accept[0] ^= 0x01;
  ASSERT_FALSE(verify_accept(ex.requested.transcript, ex.requested.peer_id, accepted.accept));
}

TEST(invite, rendezvous_derivations_are_distinct_and_deterministic) {
  const Key32 rendezvous = filled<32>(0x72);
  const Key32 other = filled<32>(0x73);
  const Key32 req = invite_req_loc(rendezvous);
  const Key32 acc = invite_acc_loc(rendezvous);
  const Key32 seal_key = invite_seal_key(rendezvous);
  ASSERT_EQ(invite_req_loc(rendezvous), req) << "deterministic";
  ASSERT_NE(req, acc);
  ASSERT_NE(req, seal_key);
  ASSERT_NE(acc, seal_key);
  ASSERT_NE(invite_req_loc(other), req) << "rendezvous-dependent";
}

TEST(invite, serialization_roundtrips_and_rejects_bad_lengths) {
  const Exchange ex;
  const Bytes invite_bytes = ex.invitation.first.to_bytes();
  const Bytes secret_bytes = ex.invitation.second.to_bytes();
  const Bytes request_bytes = ex.requested.request.to_bytes();
  ASSERT_EQ(invite_bytes.size(), kInviteBytes);
  ASSERT_EQ(secret_bytes.size(), kInviteSecretBytes);
  ASSERT_EQ(request_bytes.size(), kFriendRequestBytes);

  const auto invitation = Invite::from_bytes(invite_bytes);
  const auto secret = InviteSecret::from_bytes(secret_bytes);
  const auto request = FriendRequest::from_bytes(request_bytes);
  ASSERT_TRUE(invitation && secret && request);
  EXPECT_EQ(invitation->to_bytes(), invite_bytes);
  EXPECT_EQ(secret->to_bytes(), secret_bytes);
  EXPECT_EQ(request->to_bytes(), request_bytes);

  const auto accepted_parsed_request = accept_friend(*secret, ex.alice, *request);
  ASSERT_TRUE(accepted_parsed_request);
  EXPECT_EQ(accepted_parsed_request->root, ex.requested.root);

  const auto second = request_friend(*invitation, ex.bob);
  ASSERT_TRUE(second) << "request on the parsed invitation";
  const auto accepted = accept_friend(*secret, ex.alice, second->request);
  ASSERT_TRUE(accepted) << "accept with the parsed secret";
  ASSERT_EQ(second->root, accepted->root);

  for (const Bytes* form : {&invite_bytes, &secret_bytes, &request_bytes}) {
    Bytes longer = *form;
    longer.push_back(0);
    const ByteView shorter = ByteView(*form).first(form->size() - 1);
    for (const ByteView bad : {shorter, ByteView(longer), ByteView()}) {
      EXPECT_FALSE(Invite::from_bytes(bad)) << "form of " << form->size() << ", " << bad.size();
      EXPECT_FALSE(InviteSecret::from_bytes(bad))
          << "form of " << form->size() << ", " << bad.size();
      EXPECT_FALSE(FriendRequest::from_bytes(bad))
          << "form of " << form->size() << ", " << bad.size();
    }
  }
}

TEST(invite, parsers_never_panic_on_arbitrary_bytes) {
  vostrel::test::XorShift rng(0x1A7E);
  const auto check = [&](std::size_t size, auto parse) {
    for (int round = 0; round < 300; ++round) {
      for (const std::size_t length :
           {size - 1, size, size + 1, static_cast<std::size_t>(rng.next() % (2 * size))}) {
        const Bytes input = rng.bytes(length);
        ASSERT_EQ(parse(input), length == size) << "form of " << size << ", length " << length;
      }
    }
  };
  check(kInviteBytes, [](const Bytes& b) {
    const auto v = Invite::from_bytes(b);
    return v.has_value() && v->to_bytes() == b;
  });
  check(kInviteSecretBytes, [](const Bytes& b) {
    const auto v = InviteSecret::from_bytes(b);
    return v.has_value() && v->to_bytes() == b;
  });
  check(kFriendRequestBytes, [](const Bytes& b) {
    const auto v = FriendRequest::from_bytes(b);
    return v.has_value() && v->to_bytes() == b;
  });
}

TEST(invite, request_for_another_invitation_of_the_same_inviter_is_refused) {
  const Exchange ex;
  const auto other = create_invite(ex.alice);
  EXPECT_FALSE(accept_friend(other.second, ex.alice, ex.requested.request));
  // Other bytes of the request are bound too.
  for (const auto change : {+[](FriendRequest& r) { r.identity[3] ^= 0x10; },
                            +[](FriendRequest& r) { r.eph_pub[0] ^= 0x02; },
                            +[](FriendRequest& r) { r.ct[500] ^= 0x80; }}) {
    FriendRequest changed = ex.requested.request;
    change(changed);
    EXPECT_FALSE(accept_friend(ex.invitation.second, ex.alice, changed));
  }
}

TEST(invite, correctly_signed_encapsulation_key_of_another_length_is_refused) {
  const Identity alice = Identity::generate();
  const Identity bob = Identity::generate();
  Invite invitation = create_invite(alice).first;
  for (const std::size_t length : {std::size_t{1183}, std::size_t{1185}, std::size_t{0}}) {
    invitation.ek.assign(length, 0x42);
    invitation.signature = alice.sign(invite_signing_message(invitation));
    EXPECT_FALSE(request_friend(invitation, bob)) << "encapsulation key of " << length;
  }
}

TEST(invite, malformed_secret_or_ciphertext_is_refused) {
  const Exchange ex;
  InviteSecret short_dk = ex.invitation.second;
  short_dk.dk.pop_back();
  EXPECT_FALSE(accept_friend(short_dk, ex.alice, ex.requested.request));
  FriendRequest long_ct = ex.requested.request;
  long_ct.ct.push_back(0);
  EXPECT_FALSE(accept_friend(ex.invitation.second, ex.alice, long_ct));
}

TEST(invite, two_requests_to_one_invitation_give_two_roots) {
  const Exchange ex;
  const RequestOutput again = must_request(ex.invitation.first, ex.bob);
  const AcceptOutput first = must_accept(ex.invitation.second, ex.alice, ex.requested.request);
  const AcceptOutput second = must_accept(ex.invitation.second, ex.alice, again.request);
  EXPECT_EQ(first.root, ex.requested.root);
  EXPECT_EQ(second.root, again.root);
  EXPECT_NE(first.root, second.root);
  EXPECT_NE(first.session_key, second.session_key);
  EXPECT_NE(first.root, first.session_key);
  EXPECT_FALSE(verify_accept(again.transcript, again.peer_id, first.accept));
}

TEST(invite, transcript_holds_both_sides_values_in_order) {
  const Exchange ex;
  const ByteView t(ex.requested.transcript);
  const FriendRequest& r = ex.requested.request;
  ASSERT_EQ(t.size(), kTranscriptBytes);
  EXPECT_TRUE(std::ranges::equal(t.subspan(0, 32), ex.alice.public_key()));
  EXPECT_TRUE(std::ranges::equal(t.subspan(32, 32), ex.bob.public_key()));
  EXPECT_TRUE(std::ranges::equal(t.subspan(64, 32), ex.invitation.first.x25519_pub));
  EXPECT_TRUE(std::ranges::equal(t.subspan(96, 32), r.eph_pub));
  EXPECT_TRUE(std::ranges::equal(t.subspan(128, 1184), ex.invitation.first.ek));
  EXPECT_TRUE(std::ranges::equal(t.subspan(1312, 1088), r.ct));
  Bytes signed_by_bob = vostrel::test::bytes_of(labels::kInviteTranscript);
  signed_by_bob.push_back(0x01);
  put_bytes(signed_by_bob, t);
  EXPECT_TRUE(identity::verify(ex.bob.public_key(), signed_by_bob, r.signature));
  EXPECT_TRUE(identity::verify(ex.alice.public_key(), invite_signing_message(ex.invitation.first),
                               ex.invitation.first.signature));
  EXPECT_EQ(ex.invitation.second.ek, ex.invitation.first.ek);
  EXPECT_EQ(ex.invitation.second.rendezvous, ex.invitation.first.rendezvous);
  EXPECT_EQ(crypto::x25519_public(ex.invitation.second.x25519_secret),
            ex.invitation.first.x25519_pub);
}

TEST(invite, derivations_match_known_answers) {
  // HMAC-SHA-256 computed independently over each label alone.
  const Key32 rendezvous = filled<32>(0x72);
  EXPECT_EQ(invite_req_loc(rendezvous),
            hex_array<32>("1880201ac227ad1babbd043bd9705dea41e162991703e3133f127d5fbc365baf"));
  EXPECT_EQ(invite_acc_loc(rendezvous),
            hex_array<32>("49dcea5e4d95d615d4e50a947364cd1befdb3309355631b4071c3a735e628a0b"));
  EXPECT_EQ(invite_seal_key(rendezvous),
            hex_array<32>("6377973a216fa6501a954d4b6f488ba8e4b1f826697155fea95afc4b9d24f820"));
  EXPECT_EQ(pairwise_root(filled<32>(0x33)),
            hex_array<32>("c73e2289879c77d22e53b53d816e734089d729f6667b39a81afce921bfee225e"));
}
