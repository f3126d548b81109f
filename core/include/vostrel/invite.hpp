#pragma once

// Invitations and friend requests: a one-way, signed invitation turned into a friendship with a
// hybrid X25519 + ML-KEM-768 agreement, without both parties being online together.

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
  Bytes to_bytes() const;
  // Any 1344 bytes; the signature is checked by `request_friend`.
  static std::optional<Invite> from_bytes(ByteView bytes);
};

// The inviter's private half. Not a wiping type: the caller decides how long it lives and where.
struct InviteSecret {
  PlainSecret32 x25519_secret{};  // as drawn, clamped only at each use
  Bytes dk;                       // 2400 bytes when well formed
  Bytes ek;                       // the invitation's encapsulation key, to rebuild the transcript
  Key32 rendezvous{};

  // The secrets in plain, as an ordinary byte string.
  Bytes to_bytes() const;
  static std::optional<InviteSecret> from_bytes(ByteView bytes);
};

struct FriendRequest {
  identity::PublicKey identity{};
  Key32 eph_pub{};
  Bytes ct;  // 1088 bytes when well formed
  identity::Signature signature{};

  Bytes to_bytes() const;
  static std::optional<FriendRequest> from_bytes(ByteView bytes);
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
std::pair<Invite, InviteSecret> create_invite(const identity::Identity& inviter);

// Absent when the invitation's signature does not verify under its own identity key or its
// encapsulation key is not 1184 bytes. Stops as `create_invite` does.
std::optional<RequestOutput> request_friend(const Invite& invitation,
                                            const identity::Identity& requester);

// Absent for a malformed secret or ciphertext and for a request whose signature does not cover
// this invitation's transcript. Only reads the secret: one invitation accepts any number of
// requests, each with its own key and root. Draws no randomness.
std::optional<AcceptOutput> accept_friend(const InviteSecret& secret,
                                          const identity::Identity& inviter,
                                          const FriendRequest& request);

// True when `accept` is the inviter's signature over this very transcript in the accepting role.
bool verify_accept(ByteView transcript, KeyView inviter_key, FixedView<kAcceptBytes> accept);

// The long-lived root, one-way from the session key.
PlainSecret32 pairwise_root(KeyView session_key);

// Where requests and acceptances of one invitation are left, and the key that seals them. Anyone
// holding the invitation can compute all three.
Key32 invite_req_loc(KeyView rendezvous);
Key32 invite_acc_loc(KeyView rendezvous);
PlainSecret32 invite_seal_key(KeyView rendezvous);

}  // namespace vostrel::invite
