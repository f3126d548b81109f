#pragma once

// Invitations and friend requests: a one-way, signed invitation turned into a friendship with a
// hybrid X25519 + ML-KEM-768 agreement, without both parties being online together.
//
// The short authentication string (`crypto::sas` of the session key) shows 32 bits, and this flow
// lets an active attacker grind it. One who hands the requester an invitation of its own learns,
// from its own `accept_friend`, the string the requester will see before it has to talk to the
// real inviter. `request_friend` gives the session key without the inviter, so the attacker then
// makes friend requests to the real invitation offline, each with a new ephemeral key, until one
// shows the same string. In a trial a 16-bit string took 108,099 tries at 11.8 microseconds each;
// 32 bits takes about 2^32 tries, some 14 core-hours at that rate. Matching strings therefore do
// not prove that no one is in between. Before `Contacts::mark_verified`, callers compare full
// identity-key fingerprints out of band (the requester its `RequestOutput::peer_id`, the inviter
// its `AcceptOutput::peer_id`, each against the other's own key), or pass the invitation itself
// over a channel the requester trusts: then no one can stand in between, since both signatures of
// the exchange cover both identity keys.

#include <optional>
#include <utility>

#include "vostrel/common.hpp"
#include "vostrel/identity.hpp"

namespace vostrel::invite {

inline constexpr std::size_t kInviteBytes = 1344;
inline constexpr std::size_t kInviteSecretBytes = 3648;
inline constexpr std::size_t kFriendRequestBytes = 1216;
inline constexpr std::size_t kAcceptBytes = 64;
inline constexpr std::size_t kTranscriptBytes = 2400;

// The public invitation. The rendezvous is not covered by the signature.
struct Invite {
  identity::PublicKey identity{};
  Key32 x25519_pub{};
  Bytes ek;  // 1184 bytes when well formed
  identity::Signature signature{};
  Key32 rendezvous{};

  // The fields in order, each at its current length.
  [[nodiscard]] Bytes to_bytes() const;
  // Any 1344 bytes; the signature is checked by `request_friend`.
  [[nodiscard]] static std::optional<Invite> from_bytes(ByteView bytes);
};

// The inviter's private half. Not a wiping type: the caller decides how long it lives and where.
struct InviteSecret {
  PlainSecret32 x25519_secret{};  // as drawn, clamped only at each use
  Bytes dk;                       // 2400 bytes when well formed
  Bytes ek;                       // the invitation's encapsulation key, to rebuild the transcript
  Key32 rendezvous{};

  // The secrets in plain, as an ordinary byte string.
  [[nodiscard]] Bytes to_bytes() const;
  [[nodiscard]] static std::optional<InviteSecret> from_bytes(ByteView bytes);
};

struct FriendRequest {
  identity::PublicKey identity{};
  Key32 eph_pub{};
  Bytes ct;  // 1088 bytes when well formed
  identity::Signature signature{};

  [[nodiscard]] Bytes to_bytes() const;
  [[nodiscard]] static std::optional<FriendRequest> from_bytes(ByteView bytes);
};

struct RequestOutput {
  FriendRequest request;
  Bytes transcript;  // kept to check the acceptance
  PlainSecret32 root{};
  PlainSecret32 session_key{};
  identity::PublicKey peer_id{};
};

struct AcceptOutput {
  identity::Signature accept{};  // travels alone, as its 64 bytes
  PlainSecret32 root{};
  PlainSecret32 session_key{};
  identity::PublicKey peer_id{};
};

// Stops with "OS CSPRNG" when the random source fails and with "signature operation failed" when
// signing fails.
[[nodiscard]] std::pair<Invite, InviteSecret> create_invite(const identity::Identity& inviter);

// Absent when the invitation's signature does not verify under its own identity key or its
// encapsulation key is not 1184 bytes. Stops as `create_invite` does.
[[nodiscard]] std::optional<RequestOutput> request_friend(const Invite& invitation,
                                                          const identity::Identity& requester);

// Absent for a malformed secret or ciphertext and for a request whose signature does not cover
// this invitation's transcript. Only reads the secret: one invitation accepts any number of
// requests, each with its own key and root. Draws no randomness.
[[nodiscard]] std::optional<AcceptOutput> accept_friend(const InviteSecret& secret,
                                                        const identity::Identity& inviter,
                                                        const FriendRequest& request);

// True when `accept` is the inviter's signature over this very transcript in the accepting role.
[[nodiscard]] bool verify_accept(ByteView transcript, KeyView inviter_key,
                                 FixedView<kAcceptBytes> accept);

// The long-lived root, one-way from the session key.
[[nodiscard]] PlainSecret32 pairwise_root(KeyView session_key);

// Where requests and acceptances of one invitation are left, and the key that seals them. Anyone
// holding the invitation can compute all three.
[[nodiscard]] Key32 invite_req_loc(KeyView rendezvous);
[[nodiscard]] Key32 invite_acc_loc(KeyView rendezvous);
[[nodiscard]] PlainSecret32 invite_seal_key(KeyView rendezvous);

}  // namespace vostrel::invite
